#!/usr/bin/python3
"""A scriptable RTSP server standing in for a video-management system in the tests.

Serves one H.264 video track (RTP over the RTSP connection, interleaved channels 0/1) made from
an Annex B file, with the server-side times a test chooses: the first RTP timestamp (so that the
32-bit clock can wrap mid-stream), RTCP sender reports with chosen NTP times, RTP header
extensions carrying Dvtel times, and chosen GET_PARAMETER replies (silent for the first N
requests, or always). Listens on 127.0.0.1 only and exits by itself after --lifetime seconds or
when its clients are gone.

Prints "PORT <n>" on stdout once it listens.
"""

import argparse
import base64
import json
import os
import select
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "rtsp"))
from annexb import read_nal_units  # noqa: E402

NTP_UNIX_OFFSET = 2208988800


def read_access_units(path):
    """Splits an Annex B stream written with access-unit delimiters into access units (lists of NAL
    units without start codes, delimiters dropped)."""
    nals = read_nal_units(path)
    units = []
    current = []
    for nal in nals:
        if nal[0] & 0x1F == 9:
            if current:
                units.append(current)
            current = []
        else:
            current.append(nal)
    if current:
        units.append(current)
    return units


class Session:
    stats_file = ""
    all_stats = []

    def __init__(self, conn, cfg, units, sps, pps, stats):
        self.conn = conn
        self.cfg = cfg
        self.units = units
        self.sps = sps
        self.pps = pps
        self.stats = stats
        self.lock = threading.Lock()
        self.playing = threading.Event()
        self.closed = threading.Event()
        self.session_id = "12345678"
        self.get_parameter_count = 0

    def send(self, data):
        with self.lock:
            self.conn.sendall(data)

    def send_interleaved(self, channel, payload):
        self.send(b"$" + bytes([channel]) + struct.pack(">H", len(payload)) + payload)

    # ---- RTSP requests ---------------------------------------------------------------------
    def reply(self, cseq, status="200 OK", headers=None, body=b""):
        lines = ["RTSP/1.0 " + status, "CSeq: " + cseq]
        for k, v in (headers or []):
            lines.append(k + ": " + v)
        if body:
            lines.append("Content-Length: %d" % len(body))
        text = ("\r\n".join(lines) + "\r\n\r\n").encode() + body
        self.send(text)

    def sdp(self, host, port):
        sprop = base64.b64encode(self.sps).decode() + "," + base64.b64encode(self.pps).decode()
        profile = self.sps[1:4].hex()
        return ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=VMS stand-in\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                "a=control:*\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                "a=fmtp:96 packetization-mode=1;profile-level-id=%s;sprop-parameter-sets=%s\r\n"
                "a=control:trackID=0\r\n" % (profile, sprop)).encode()

    def handle(self, method, url, headers, body):
        cseq = headers.get("cseq", "0")
        self.stats["methods"].append(method)
        self.handle_request(method, url, headers, cseq)
        if Session.stats_file:
            with open(Session.stats_file + ".tmp", "w") as f:
                json.dump(Session.all_stats, f)
            os.replace(Session.stats_file + ".tmp", Session.stats_file)

    def handle_request(self, method, url, headers, cseq):
        if method == "OPTIONS":
            self.reply(cseq, headers=[("Public", "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER, TEARDOWN")])
        elif method == "DESCRIBE":
            base = url if url.endswith("/") else url + "/"
            self.reply(cseq, headers=[("Content-Base", base), ("Content-Type", "application/sdp")],
                       body=self.sdp("127.0.0.1", 0))
        elif method == "SETUP":
            transport = headers.get("transport", "")
            if "interleaved" not in transport and "TCP" not in transport:
                self.reply(cseq, "461 Unsupported Transport")
                return
            self.reply(cseq, headers=[("Session", self.session_id + ";timeout=60"),
                                      ("Transport", "RTP/AVP/TCP;unicast;interleaved=0-1;ssrc=%08X" % self.cfg["ssrc"])])
        elif method == "PLAY":
            self.reply(cseq, headers=[("Session", self.session_id), ("Range", "npt=0.000-"),
                                      ("RTP-Info", "url=trackID=0;seq=1;rtptime=%d" % self.cfg["ts0"])])
            self.playing.set()
        elif method == "GET_PARAMETER":
            self.get_parameter_count += 1
            self.stats["get_parameter"] = self.get_parameter_count
            gp = self.cfg.get("get_parameter", {})
            if gp.get("silent") or self.get_parameter_count <= gp.get("silent_first", 0):
                return
            extra = [(k, v) for k, v in gp.get("headers", [])]
            text = gp.get("body", "").encode()
            self.reply(cseq, headers=[("Session", self.session_id)] + extra +
                       ([("Content-Type", "text/parameters")] if text else []), body=text)
        elif method == "TEARDOWN":
            self.reply(cseq, headers=[("Session", self.session_id)])
            self.closed.set()
        else:
            self.reply(cseq, "501 Not Implemented")

    def reader(self):
        buf = b""
        try:
            while not self.closed.is_set():
                ready, _, _ = select.select([self.conn], [], [], 0.5)
                if not ready:
                    continue
                chunk = self.conn.recv(65536)
                if not chunk:
                    break
                buf += chunk
                while True:
                    if buf.startswith(b"$"):
                        if len(buf) < 4:
                            break
                        n = struct.unpack(">H", buf[2:4])[0]
                        if len(buf) < 4 + n:
                            break
                        buf = buf[4 + n:]  # receiver reports from the client
                        continue
                    end = buf.find(b"\r\n\r\n")
                    if end < 0:
                        break
                    head = buf[:end].decode("utf-8", "replace").split("\r\n")
                    headers = {}
                    for line in head[1:]:
                        if ":" in line:
                            k, v = line.split(":", 1)
                            headers[k.strip().lower()] = v.strip()
                    length = int(headers.get("content-length", "0") or 0)
                    if len(buf) < end + 4 + length:
                        break
                    body = buf[end + 4:end + 4 + length]
                    buf = buf[end + 4 + length:]
                    parts = head[0].split(" ")
                    self.handle(parts[0], parts[1] if len(parts) > 1 else "", headers, body)
        except OSError:
            pass
        self.closed.set()

    # ---- media -----------------------------------------------------------------------------
    def rtp_packets(self, unit, ts, seq, ext_time):
        """RTP packets (bytes) of one access unit; FU-A beyond 1200 bytes."""
        payloads = []
        for nal in unit:
            if len(nal) <= 1200:
                payloads.append(nal)
                continue
            header = nal[0]
            fu_indicator = (header & 0xE0) | 28
            rest = nal[1:]
            first = True
            while rest:
                part, rest = rest[:1200], rest[1200:]
                fu_header = header & 0x1F
                if first:
                    fu_header |= 0x80
                if not rest:
                    fu_header |= 0x40
                payloads.append(bytes([fu_indicator, fu_header]) + part)
                first = False
        packets = []
        for i, payload in enumerate(payloads):
            marker = 0x80 if i == len(payloads) - 1 else 0
            x = 0x10 if ext_time is not None else 0
            header = struct.pack(">BBHII", 0x80 | x, marker | 96, seq & 0xFFFF, ts & 0xFFFFFFFF, self.cfg["ssrc"])
            if ext_time is not None:
                # Profile 0x4000, 4 words: entry count 1, tag 0x4001 (+2 bytes), 64-bit time.
                header += struct.pack(">HHiHHQ", 0x4000, 4, 1, 0x4001, 0, ext_time)
            packets.append(header + payload)
            seq += 1
        return packets, seq

    def sender_report(self, ntp, rtp, packets, octets):
        return struct.pack(">BBHIIIIII", 0x80, 200, 6, self.cfg["ssrc"], (ntp >> 32) & 0xFFFFFFFF,
                           ntp & 0xFFFFFFFF, rtp & 0xFFFFFFFF, packets, octets)

    def stream(self):
        if not self.playing.wait(self.cfg["lifetime"]):
            return
        cfg = self.cfg
        sr = cfg.get("sender_report")
        dvtel = cfg.get("dvtel")
        seq = 1
        sent_packets = 0
        octets = 0
        try:
            for k in range(cfg["frames"]):
                if self.closed.is_set():
                    return
                ts = (cfg["ts0"] + cfg["step"] * k) & 0xFFFFFFFF
                if sr and k % sr.get("every", 25) == 0:
                    # Every report repeats one mapping: NTP time sr.ntp is the RTP time of frame sr.frame.
                    sr_rtp = (cfg["ts0"] + cfg["step"] * sr.get("frame", 0)) & 0xFFFFFFFF
                    self.send_interleaved(1, self.sender_report(sr["ntp"], sr_rtp, sent_packets, octets))
                ext = None
                if dvtel:
                    ext = dvtel["base"] + dvtel["step"] * k
                packets, seq = self.rtp_packets(self.units[k % len(self.units)], ts, seq, ext)
                for p in packets:
                    self.send_interleaved(0, p)
                    sent_packets += 1
                    octets += len(p) - 12
                self.stats["frames_sent"] = k + 1
                if cfg["pace_ms"] > 0:
                    time.sleep(cfg["pace_ms"] / 1000.0)
            # Stay until the client goes, bounded by the lifetime.
            self.closed.wait(cfg["lifetime"])
        except OSError:
            pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--h264", required=True)
    ap.add_argument("--config", default="{}", help="JSON object, see the keys read below")
    ap.add_argument("--stats", default="", help="file that receives the request counts of each session")
    args = ap.parse_args()
    cfg = {"frames": 60, "ts0": 0, "step": 3600, "ssrc": 0x1234ABCD, "pace_ms": 4, "lifetime": 40}
    cfg.update(json.loads(args.config))

    Session.stats_file = args.stats
    units = read_access_units(args.h264)
    sps = pps = b""
    for unit in units:
        for nal in unit:
            if nal[0] & 0x1F == 7 and not sps:
                sps = nal
            if nal[0] & 0x1F == 8 and not pps:
                pps = nal

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    listener.settimeout(0.2)
    print("PORT %d" % listener.getsockname()[1], flush=True)

    deadline = time.monotonic() + cfg["lifetime"]
    sessions = []
    served = False
    while time.monotonic() < deadline:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            if served and all(s.closed.is_set() for s in sessions):
                break
            continue
        conn.settimeout(None)
        stats = {"methods": [], "get_parameter": 0, "frames_sent": 0}
        Session.all_stats.append(stats)
        s = Session(conn, cfg, units, sps, pps, stats)
        sessions.append(s)
        served = True
        threading.Thread(target=s.reader, daemon=True).start()
        threading.Thread(target=s.stream, daemon=True).start()
    for s in sessions:
        s.closed.set()
        try:
            s.conn.close()
        except OSError:
            pass
    for i, s in enumerate(sessions):
        sys.stderr.write("session %d: %s\n" % (i, json.dumps(s.stats)))


if __name__ == "__main__":
    main()
