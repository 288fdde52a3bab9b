#!/usr/bin/python3
"""Time to first frame and frames lost at the open, for RTSP clients of the stand-in
video-management-system server (tests/vms/vms_rtsp_server.py).

Each client gets a server of its own with the same stream configuration. The client's stdout is
line-buffered (stdbuf -oL); the first frame is the first line that carries a picture digest, timed
from the start of the client process on the monotonic clock. Frames lost at the open are the frames
the server sent after PLAY (its stats) less the frames the client delivered.

  rtsp_open_clients.py --h264 FILE --config JSON --digests FILE --client NAME CMD... [--client NAME CMD...]

CMD may hold @URL@, replaced by the server's address. Prints one tab-separated line per client:
name, first-frame seconds (or "-"), frames delivered, frames sent, lost, digests, exit status.
"""

import argparse
import json
import os
import select
import subprocess
import sys
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
SERVER = os.path.join(ROOT, "tests", "vms", "vms_rtsp_server.py")
CLIENT_SECONDS = 30  # a client still running then is stopped


def frame_digest(line):
    """The picture digest of one output line: ruvar --json frame records and framemd5 rows."""
    line = line.strip()
    if line.startswith("{"):
        try:
            record = json.loads(line)
        except ValueError:
            return None
        return record.get("md5")
    if line and not line.startswith("#") and line.count(",") >= 5:
        return line.rsplit(",", 1)[1].strip()
    return None


def start_server(h264, config, stats):
    server = subprocess.Popen(["/usr/bin/python3", SERVER, "--h264", h264, "--config", config, "--stats", stats],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([server.stdout], [], [], 15)
    line = server.stdout.readline().decode() if ready else ""
    if not line.startswith("PORT "):
        server.kill()
        server.wait()
        sys.exit("the stand-in server did not start")
    return server, int(line.split()[1])


def run_client(command, log):
    """(first-frame seconds or None, digests, exit status) of one client run."""
    start = time.monotonic()
    child = subprocess.Popen(["stdbuf", "-oL"] + command, stdout=subprocess.PIPE, stderr=log,
                             stdin=subprocess.DEVNULL)
    first = None
    digests = []
    pending = b""
    deadline = start + CLIENT_SECONDS
    fd = child.stdout.fileno()
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            child.kill()
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 65536)
        now = time.monotonic()
        if not chunk:
            break
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            digest = frame_digest(line.decode("utf-8", "replace"))
            if digest:
                if first is None:
                    first = now - start
                digests.append(digest)
    try:
        status = child.wait(5)
    except subprocess.TimeoutExpired:
        child.kill()
        status = child.wait()
    return first, digests, status


def digest_match(digests, source):
    if not digests:
        return "none"
    n = len(digests)
    if digests == source[:n]:
        return "first %d" % n
    for s in range(1, len(source) - n + 1):
        if digests == source[s:s + n]:
            return "frames %d-%d" % (s, s + n - 1)
    return "differ"


def main():
    # The client commands hold options of their own: each runs from its --client to the next.
    argv = sys.argv[1:]
    first_client = argv.index("--client") if "--client" in argv else len(argv)
    clients = []
    for token in argv[first_client:]:
        if token == "--client":
            clients.append([])
        else:
            clients[-1].append(token)
    ap = argparse.ArgumentParser()
    ap.add_argument("--h264", required=True)
    ap.add_argument("--config", required=True)
    ap.add_argument("--digests", required=True, help="the source pictures' digests, one a line")
    args = ap.parse_args(argv[:first_client])
    if not clients or any(len(c) < 2 for c in clients):
        ap.error("each --client needs a name and a command")
    source = [line.strip() for line in open(args.digests) if line.strip()]

    work = tempfile.mkdtemp(prefix="rtsp-open.")
    for n, (name, *command) in enumerate(clients):
        stats = os.path.join(work, "stats%d.json" % n)
        server, port = start_server(args.h264, args.config, stats)
        url = "rtsp://127.0.0.1:%d/vms/stream" % port
        with open(os.path.join(work, "client%d.log" % n), "w") as log:
            first, digests, status = run_client([c.replace("@URL@", url) for c in command], log)
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        try:
            sent = json.load(open(stats))[-1]["frames_sent"]
        except (OSError, ValueError, IndexError, KeyError):
            sent = 0
        print("%s\t%s\t%d\t%d\t%d\t%s\t%d" % (name, "%.3f" % first if first is not None else "-", len(digests), sent,
                                              sent - len(digests), digest_match(digests, source), status), flush=True)
    for f in os.listdir(work):
        os.remove(os.path.join(work, f))
    os.rmdir(work)


if __name__ == "__main__":
    main()
