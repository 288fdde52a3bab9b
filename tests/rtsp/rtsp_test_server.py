#!/usr/bin/env python3
"""A small scriptable RTSP server for the tests. It stands in for video-management systems:
chosen GET_PARAMETER replies, RTP packets with chosen timestamps and header extensions, RTCP
sender reports with chosen NTP times, 401 challenges, stalls, disconnects, slow replies, slow media
and malformed replies.

It listens on 127.0.0.1 only, prints its port on the first line of stdout, serves RTP interleaved
over the RTSP connection from an H.264 Annex B file, writes what it received to --log and stops by
itself after --max-seconds."""
import argparse
import hashlib
import os
import socket
import struct
import sys
import threading
import time

from annexb import read_nal_units

args = None
log_lock = threading.Lock()


def log(text):
    if not args.log:
        return
    with log_lock:
        with open(args.log, "a") as f:
            f.write(text + "\n")


def read_access_units(path):
    """Access units: the NAL units up to and including each picture's slice."""
    nals = read_nal_units(path)
    units, current = [], []
    for nal in nals:
        current.append(nal)
        if 1 <= (nal[0] & 0x1F) <= 5:
            units.append(current)
            current = []
    return units


class Connection:
    def __init__(self, sock, index):
        self.sock = sock
        self.index = index
        self.send_lock = threading.Lock()
        self.session = "%08d" % (12345678 + index)
        self.playing = False
        self.closed = False
        self.seq = 1000
        self.get_parameter_count = 0
        self.nonce = "nonce%d" % index
        self.stall = threading.Event()
        self.frames_sent = 0

    def send(self, data, after=None):
        """Sends `data` whole; `after` runs while no other send can come between."""
        with self.send_lock:
            if self.closed:
                return
            try:
                self.sock.sendall(data)
            except OSError:
                self.closed = True
            if after:
                after()

    def reply(self, cseq, status="200 OK", headers=None, body=b"", after=None):
        text = "RTSP/1.0 %s\r\nCSeq: %s\r\n" % (status, cseq)
        for h in headers or []:
            text += h + "\r\n"
        if body:
            text += "Content-Length: %d\r\n" % len(body)
        self.send(text.encode() + b"\r\n" + body, after)

    # ---- authentication
    def check_auth(self, method, uri, headers):
        if args.auth == "none":
            return True
        value = headers.get("authorization", "")
        ok = False
        if args.auth == "basic" and value.startswith("Basic "):
            import base64
            ok = base64.b64decode(value[6:]).decode() == "%s:%s" % (args.user, args.password)
        elif args.auth.startswith("digest") and value.startswith("Digest "):
            params = {}
            for part in value[7:].split(","):
                if "=" in part:
                    k, v = part.strip().split("=", 1)
                    params[k.strip()] = v.strip().strip('"')
            md5 = lambda s: hashlib.md5(s.encode()).hexdigest()
            ha1 = md5("%s:%s:%s" % (args.user, "TestRealm", args.password))
            ha2 = md5("%s:%s" % (method, params.get("uri", "")))
            if args.auth == "digest-qop":
                expected = md5("%s:%s:%s:%s:auth:%s" % (ha1, self.nonce, params.get("nc", ""),
                                                         params.get("cnonce", ""), ha2))
            else:
                expected = md5("%s:%s:%s" % (ha1, self.nonce, ha2))
            ok = params.get("response") == expected and params.get("username") == args.user
        log("AUTH %s %s" % (method, "OK" if ok else "FAIL"))
        return ok

    def challenge(self, cseq):
        if args.auth == "basic":
            h = ['WWW-Authenticate: Basic realm="TestRealm"']
        elif args.auth == "digest":
            h = ['WWW-Authenticate: Digest realm="TestRealm", nonce="%s"' % self.nonce]
        else:
            h = ['WWW-Authenticate: Basic realm="TestRealm"',
                 'WWW-Authenticate: Digest realm="TestRealm", nonce="%s", qop="auth", algorithm=MD5' % self.nonce]
        self.reply(cseq, "401 Unauthorized", h)

    # ---- media
    def rtp_packet(self, payload, ts, marker, extension=None):
        first = 0x80 | (0x10 if extension is not None else 0)
        header = struct.pack("!BBHII", first, (0x80 if marker else 0) | 96, self.seq & 0xFFFF, ts & 0xFFFFFFFF,
                             0x11223344 + self.index)
        self.seq += 1
        if extension is not None:
            header += extension
        return header + payload

    def interleaved(self, channel, packet):
        return struct.pack("!cBH", b"$", channel, len(packet)) + packet

    def sender_report(self, ntp, ts):
        return struct.pack("!BBHIIIIII", 0x80, 200, 6, 0x11223344 + self.index, ntp >> 32, ntp & 0xFFFFFFFF,
                           ts & 0xFFFFFFFF, 0, 0)

    def stream(self):
        units = read_access_units(args.h264)
        step = 90000 // args.fps
        start = time.monotonic()
        total = args.frames if args.loop else min(args.frames, len(units))
        for n in range(total):
            unit = units[n % len(units)]
            if self.closed or not self.playing:
                return
            if args.stall_after is not None and n == args.stall_after:
                log("STALL")
                self.stall.wait(args.max_seconds)
                return
            if args.close_after is not None and n == args.close_after:
                log("CLOSE")
                self.closed = True
                self.sock.shutdown(socket.SHUT_RDWR)
                return
            ts = args.rtp_ts_start + n * step
            if args.sr_ntp is not None and n % args.sr_every == 0:
                seconds = args.sr_ntp + n / args.fps
                ntp = (int(seconds) << 32) | int((seconds - int(seconds)) * (1 << 32))
                self.send(self.interleaved(1, self.sender_report(ntp, ts)))
                log("SR %d %d %d" % (n, ntp, ts & 0xFFFFFFFF))
            extension = None
            if args.ext_time is not None:
                value = args.ext_time + n * 400000
                extension = struct.pack("!HHiHHQ", 0x4000, 4, 1, 0x4001, 0, value)
            chunks = bytearray()
            for k, nal in enumerate(unit):
                last = k == len(unit) - 1
                if len(nal) <= 1400:
                    chunks += self.interleaved(0, self.rtp_packet(nal, ts, last, extension))
                else:
                    head, body = nal[0], nal[1:]
                    pieces = [body[i:i + 1400] for i in range(0, len(body), 1400)]
                    for p, piece in enumerate(pieces):
                        fu_ind = (head & 0xE0) | 28
                        fu_hdr = (head & 0x1F) | (0x80 if p == 0 else 0) | (0x40 if p == len(pieces) - 1 else 0)
                        chunks += self.interleaved(0, self.rtp_packet(bytes([fu_ind, fu_hdr]) + piece, ts,
                                                                      last and p == len(pieces) - 1, extension))
                if args.malformed == "short-rtp":
                    chunks += self.interleaved(0, b"\x80\x60\x00\x01\x00\x00")
            if args.malformed == "refused-payloads":
                # Payloads FFmpeg's H.264 depacketizer refuses: MTAP16, an undefined type, nothing,
                # an FU-A without data, a STAP-A whose unit runs past the packet.
                for bad in (b"\x7a\x00\x00\x00", b"\x7e\x00", b"", b"\x7c\x85", b"\x78\x00\x10\x65"):
                    chunks += self.interleaved(0, self.rtp_packet(bad, ts, False, extension))
            self.send(bytes(chunks), lambda: setattr(self, "frames_sent", n + 1))
            log("FRAME %d %d" % (n, ts & 0xFFFFFFFF))
            if args.fps_pace:
                delay = start + (n + 1) * args.fps_pace / args.fps - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        log("END")
        if args.bye:
            bye = struct.pack("!BBHI", 0x81, 203, 1, 0x11223344 + self.index)
            self.send(self.interleaved(1, bye))

    # ---- requests
    def handle(self, method, uri, headers, body):
        cseq = headers.get("cseq", "0")
        log("REQ %s %s %s" % (method, uri, "auth" if "authorization" in headers else "noauth"))
        if args.reply_delay and args.delay_method in ("", method):
            log("DELAY %s" % method)
            time.sleep(args.reply_delay)
        if method != "OPTIONS" and not self.check_auth(method, uri, headers) and args.auth != "none":
            self.challenge(cseq)
            return
        if method == "OPTIONS":
            if args.auth != "none" and args.auth_options and not self.check_auth(method, uri, headers):
                self.challenge(cseq)
                return
            self.reply(cseq, headers=["Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER"])
        elif method == "DESCRIBE":
            sdp = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Test\r\nt=0 0\r\na=control:*\r\n"
                   "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1\r\n"
                   "a=control:trackID=1\r\n").encode()
            if args.malformed == "status":
                self.send(b"RTSP/1.0 2x0 OK\r\nCSeq: " + cseq.encode() + b"\r\n\r\n")
            elif args.malformed == "header":
                self.send(b"RTSP/1.0 200 OK\r\nCSeq: " + cseq.encode() + b"\r\nThis line has no colon\r\n\r\n")
            elif args.malformed == "sdp":
                self.reply(cseq, headers=["Content-Type: application/sdp"], body=b"this is not a description")
            elif args.malformed == "huge-body":
                self.send(b"RTSP/1.0 200 OK\r\nCSeq: " + cseq.encode() + b"\r\nContent-Length: 50000000\r\n\r\nv=0")
            elif args.malformed == "huge-head":
                self.send(b"RTSP/1.0 200 OK\r\nCSeq: " + cseq.encode() + b"\r\nX-Long: " + b"a" * 40000)
            elif args.malformed == "no-reply":
                pass
            else:
                self.reply(cseq, headers=["Content-Base: %s/" % args.base if args.base else
                                          "Content-Base: rtsp://127.0.0.1:%d/stream/" % args.port,
                                          "Content-Type: application/sdp"], body=sdp)
        elif method == "SETUP":
            transport = headers.get("transport", "")
            if "RTP/AVP/TCP" not in transport:
                self.reply(cseq, "461 Unsupported Transport")
                return
            session = self.session + (";timeout=%d" % args.session_timeout if args.session_timeout else "")
            self.reply(cseq, headers=["Session: " + session, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1"])
        elif method == "PLAY":
            self.reply(cseq, headers=["Session: " + self.session, "Range: %s" % args.play_range,
                                      "RTP-Info: url=trackID=1;seq=1000;rtptime=%d" % args.rtp_ts_start])
            if not self.playing:
                self.playing = True
                threading.Thread(target=self.stream, daemon=True).start()
        elif method == "GET_PARAMETER":
            self.get_parameter_count += 1
            if args.gp_no_reply or self.get_parameter_count < args.gp_reply_from:
                log("GP-IGNORED %d" % self.get_parameter_count)
                return
            h = ["Session: " + self.session]
            if args.gp_range:
                h.append("Range: " + args.gp_range)
            body = args.gp_body.encode().decode("unicode_escape").encode("latin-1") if args.gp_body else b""
            if body:
                h.append("Content-Type: text/parameters")
            # The frame sent next follows the reply on the connection.
            self.reply(cseq, headers=h, body=body, after=lambda: log("GP-REPLY next %d" % self.frames_sent))
        elif method == "TEARDOWN":
            self.reply(cseq, headers=["Session: " + self.session])
            self.playing = False
            log("TEARDOWN")
        else:
            self.reply(cseq, "501 Not Implemented")

    def run(self):
        buf = b""
        try:
            while not self.closed:
                try:
                    chunk = self.sock.recv(65536)
                except OSError:
                    break
                if not chunk:
                    break
                buf += chunk
                while True:
                    if buf.startswith(b"$"):
                        if len(buf) < 4:
                            break
                        length = struct.unpack("!H", buf[2:4])[0]
                        if len(buf) < 4 + length:
                            break
                        packet = buf[4:4 + length]
                        log("RTCP-IN ch%d len%d pt%d" % (buf[1], length, packet[1] if len(packet) > 1 else -1))
                        buf = buf[4 + length:]
                        continue
                    end = buf.find(b"\r\n\r\n")
                    if end < 0:
                        break
                    head = buf[:end].decode("latin-1").split("\r\n")
                    headers = {}
                    for line in head[1:]:
                        if ":" in line:
                            k, v = line.split(":", 1)
                            headers[k.strip().lower()] = v.strip()
                    length = int(headers.get("content-length", "0"))
                    if len(buf) < end + 4 + length:
                        break
                    body = buf[end + 4:end + 4 + length]
                    buf = buf[end + 4 + length:]
                    parts = head[0].split(" ")
                    self.handle(parts[0], parts[1] if len(parts) > 1 else "", headers, body)
        finally:
            log("DISCONNECT %d" % self.index)
            self.closed = True
            self.stall.set()
            try:
                self.sock.close()
            except OSError:
                pass


def main():
    global args
    p = argparse.ArgumentParser()
    p.add_argument("--h264", required=True)
    p.add_argument("--fps", type=int, default=25)
    p.add_argument("--fps-pace", type=float, default=1)  # wall time per frame in frame times; 0: no pacing
    p.add_argument("--frames", type=int, default=1000000)
    p.add_argument("--loop", type=int, default=0)
    p.add_argument("--rtp-ts-start", type=int, default=90000)
    p.add_argument("--sr-ntp", type=float, default=None)
    p.add_argument("--sr-every", type=int, default=25)
    p.add_argument("--ext-time", type=int, default=None)
    p.add_argument("--auth", choices=["none", "basic", "digest", "digest-qop"], default="none")
    p.add_argument("--auth-options", type=int, default=0)
    p.add_argument("--user", default="user")
    p.add_argument("--password", default="secret")
    p.add_argument("--gp-range", default="")
    p.add_argument("--gp-body", default="")
    p.add_argument("--gp-no-reply", type=int, default=0)
    p.add_argument("--gp-reply-from", type=int, default=1)
    p.add_argument("--play-range", default="npt=0.000-")
    p.add_argument("--session-timeout", type=int, default=0)
    p.add_argument("--stall-after", type=int, default=None)
    p.add_argument("--close-after", type=int, default=None)
    p.add_argument("--malformed", default="")
    p.add_argument("--reply-delay", type=float, default=0)  # seconds before each reply ...
    p.add_argument("--delay-method", default="")  # ... or only before the replies to this method
    p.add_argument("--bye", type=int, default=1)
    p.add_argument("--base", default="")
    p.add_argument("--log", default="")
    p.add_argument("--max-seconds", type=float, default=30)
    p.add_argument("--port", type=int, default=0)
    args = p.parse_args()

    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", args.port))
    server.listen(8)
    args.port = server.getsockname()[1]
    print(args.port, flush=True)
    deadline = time.monotonic() + args.max_seconds
    server.settimeout(0.2)
    index = 0
    while time.monotonic() < deadline:
        try:
            sock, _ = server.accept()
        except socket.timeout:
            continue
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        index += 1
        log("CONNECT %d" % index)
        threading.Thread(target=Connection(sock, index).run, daemon=True).start()
    os._exit(0)


if __name__ == "__main__":
    main()
