#!/usr/bin/python3
"""GStreamer's RTSP server for the tests: serves one launch line on 127.0.0.1, prints the port
it listens on, and stops by itself after --max-seconds.

--record FILE: the times the server writes, one line each as it sends them: "rtp TS NTP" for
each new RTP timestamp of the element named pay0 (NTP: the 64-bit time of its ONVIF replay header
extension, 0xABAC, or "-" without one) and "sr NTP RTP" for each RTCP sender report."""
import argparse
import struct
import sys
import threading

import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
gi.require_version("GstRtsp", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


class Recorder:
    def __init__(self, path):
        self.out = open(path, "w")
        self.lock = threading.Lock()
        self.last_ts = None

    def write(self, line):
        with self.lock:
            self.out.write(line + "\n")
            self.out.flush()

    @staticmethod
    def buffers(info):
        if info.type & Gst.PadProbeType.BUFFER_LIST:
            items = info.get_buffer_list()
            return [items.get(i) for i in range(items.length())]
        return [info.get_buffer()]

    def on_rtp(self, pad, info):
        for buf in self.buffers(info):
            d = buf.extract_dup(0, buf.get_size())
            ts = struct.unpack(">I", d[4:8])[0]
            if ts == self.last_ts:
                continue
            self.last_ts = ts
            ext = 12 + 4 * (d[0] & 0x0F)
            ntp = "-"
            if d[0] & 0x10 and len(d) >= ext + 12 and struct.unpack(">H", d[ext:ext + 2])[0] == 0xABAC:
                ntp = str(struct.unpack(">Q", d[ext + 4:ext + 12])[0])
            self.write("rtp %d %s" % (ts, ntp))
        return Gst.PadProbeReturn.OK

    def on_rtcp(self, pad, info):
        for buf in self.buffers(info):
            d = buf.extract_dup(0, buf.get_size())
            at = 0
            while at + 20 <= len(d):
                if d[at + 1] == 200:
                    self.write("sr %d %d" % struct.unpack(">QI", d[at + 8:at + 20]))
                at += (struct.unpack(">H", d[at + 2:at + 4])[0] + 1) * 4
        return Gst.PadProbeReturn.OK

    def on_prepared(self, media):
        it = media.get_element().get_parent().iterate_recurse()
        while True:
            res, element = it.next()
            if res != Gst.IteratorResult.OK:
                break
            if element.get_factory() and element.get_factory().get_name() == "rtpbin":
                for pad in element.srcpads:
                    if pad.get_name().startswith("send_rtcp_src"):
                        pad.add_probe(Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST, self.on_rtcp)

    def on_configure(self, factory, media):
        pay = media.get_element().get_by_name("pay0")
        pay.get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST, self.on_rtp)
        media.connect("prepared", self.on_prepared)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launch", required=True)
    parser.add_argument("--mount", default="/test")
    parser.add_argument("--auth", choices=["none", "basic", "digest"], default="none")
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--protocols", choices=["all", "tcp", "udp"], default="all")
    parser.add_argument("--max-seconds", type=float, default=60)
    parser.add_argument("--record", default="")
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service("0")
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(args.launch)
    factory.set_shared(False)
    if args.record:
        factory.connect("media-configure", Recorder(args.record).on_configure)
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
