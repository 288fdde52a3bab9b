#!/usr/bin/python3
"""GStreamer's RTSP server for the tests: serves one launch line on 127.0.0.1, prints the port
it listens on, and stops by itself after --max-seconds."""
import argparse
import sys

import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
gi.require_version("GstRtsp", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launch", required=True)
    parser.add_argument("--mount", default="/test")
    parser.add_argument("--auth", choices=["none", "basic", "digest"], default="none")
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--protocols", choices=["all", "tcp", "udp"], default="all")
    parser.add_argument("--max-seconds", type=float, default=60)
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service("0")
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(args.launch)
    factory.set_shared(False)
    protocols = {
        "all": GstRtsp.RTSPLowerTrans.TCP | GstRtsp.RTSPLowerTrans.UDP,
        "tcp": GstRtsp.RTSPLowerTrans.TCP,
        "udp": GstRtsp.RTSPLowerTrans.UDP,
    }[args.protocols]
    factory.set_protocols(protocols)
    if args.auth != "none":
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "user")
        if args.auth == "basic":
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
        else:
            auth.add_digest(args.user, args.password, token)
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        server.set_auth(auth)
        factory.add_role_from_structure(Gst.Structure.from_string(
            "user, media.factory.access=(boolean)true, media.factory.construct=(boolean)true")[0])
    server.get_mount_points().add_factory(args.mount, factory)
    if server.attach(None) == 0:
        print("ERROR attach", flush=True)
        return 1
    print(server.get_bound_port(), flush=True)
    loop = GLib.MainLoop()
    GLib.timeout_add(int(args.max_seconds * 1000), loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
