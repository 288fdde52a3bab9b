#!/usr/bin/python3
"""The scriptable RTSP server of the tests: it stands in for a video-management system and for a
camera or network that misbehaves. Listens on 127.0.0.1 only, prints "PORT <n>" once it listens and
exits by itself after the lifetime or when its clients are gone.

It serves one H.264 track made from an Annex B file (split on access-unit delimiters; with --pts the
units are in decode order with their presentation indices, for B-frames), over RTP on the RTSP
connection (channels 0/1) or UDP unicast, with the server-side times a test chooses.

--config keys (JSON object; defaults in main()):
  frames, ts0, step, ssrc, pace_ms, lifetime   access units sent after PLAY (the file repeats), first
      RTP timestamp (the 32-bit clock may wrap mid-stream), RTP clock units per presentation frame,
      SSRC, milliseconds between frames, seconds the server lives
  clock_rate              the RTP clock rate the session description names (90000)
  port                    the port to listen on (0: a free one)
  transports              those SETUP accepts, of "tcp" and "udp"; others are answered 461
  session_timeout         seconds announced in SETUP's Session header
  expire                  the session ends once playing and no request came for session_timeout s
  sender_report {ntp, frame, every, first, first_ms}   every `every` frames from the `first`-th
                          sent on, an RTCP sender report saying that NTP time `ntp` is the RTP time
                          of presentation frame `frame`; with first_ms, the first report goes out
                          that long after PLAY instead (then every `every` frames after frame 0)
  drift_ppm               the RTP clock runs this much fast against the NTP clock: frame p is at
                          RTP time ts0 + round(step * p * (1 + drift_ppm / 1e6)), and each sender
                          report pairs the NTP time of the next frame sent (ntp + (p - frame) *
                          step / clock_rate s) with its RTP time
  dvtel {base, step}      an RTP header extension on every packet of access unit j with the time
                          base + step * (presentation index of j)
  bye, bye_delay_ms       an RTCP BYE right after the last frame, or this long after it
  get_parameter           the GET_PARAMETER replies, which go out between two access units:
      silent, silent_first    no reply at all, or none to the first N requests
      headers, body           [[name, value], ...] and a text/parameters body added to each reply
      next_frame_range {base_us, us_per_frame}   "Range: clock=YYYYMMDDTHHMMSS.ffffffZ-" naming
                              base_us + us_per_frame * p (microseconds since 1970), p the
                              presentation index of the next unit sent (one past the last at the end)
      delay_ms                each reply held this long while the stream goes on
      seetec {ms0, ms_per_frame, pair}   "SeeTecTimestamp: <ms>\r\nLastRTPTimestamp: <rtp>" in the body:
                              the time (ms0 + ms_per_frame * q) and RTP time of presentation frame q,
                              q being frame 0 (pair "first"), the frame sent last ("last") or the
                              next frame sent ("next")
  udp_gap_ms              over UDP, the pause before the first RTP packet after a GET_PARAMETER reply
  impair {seed, drop, duplicate, reorder_ms, burst_every, burst_ms}   over UDP, the RTP packets
                          pass a relay stage that drops each with probability `drop`, sends it
                          twice with probability `duplicate`, holds it up to `reorder_ms` (later
                          packets overtake it) and, every `burst_every` packets, holds a burst for
                          `burst_ms`; random.Random(seed) decides, so a run repeats exactly
  auth {scheme, user, password, options}   credentials asked for: "basic", "digest" or
                          "digest-qop" (Basic and Digest with qop=auth offered); OPTIONS too when
                          `options`
  reply_delay_ms, delay_method   each reply (or only the replies to that method) held this long
  stall_after, close_after, reset_after, teardown_after   after this many frames no more media:
                          the connection stays open, is closed without a goodbye, is reset (TCP
                          RST), or the server ends the stream with a TEARDOWN request of its own
  malformed               "status", "huge-head", "no-reply": the DESCRIBE reply so broken;
                          "short-rtp": an RTP packet shorter than its header after each frame;
                          "refused-payloads": payloads a depacketizer refuses after each frame

--stats: a JSON list, one object per session: methods (the requests in order), get_parameter (how
many), frames_sent, named_frames (the p of each next_frame_range reply), replies (for each
GET_PARAMETER reply, the access units sent before it), transport, bye_sent, auth ("METHOD OK" or
"METHOD FAIL" per check), rtcp_in (packet types the client sent), stalled, expired, impaired_frames
(the presentation indices of the frames that lost a packet or had one held in a burst). Written
before the reply or frame that it counts goes out.
"""

import argparse
import base64
import datetime
import hashlib
import json
import os
import random
import select
import socket
import struct
import sys
import threading
import time

NTP_UNIX_OFFSET = 2208988800
EPOCH = datetime.datetime(1970, 1, 1)
REALM = "TestRealm"


def read_access_units(path):
    """Splits an Annex B stream written with access-unit delimiters into access units (lists of NAL
    units without start codes, delimiters dropped; the zero byte of a four-byte start code taken
    off the unit before it)."""
    units = []
    for nal in open(path, "rb").read().split(b"\x00\x00\x01")[1:]:
        nal = nal.rstrip(b"\x00")
        if nal and (nal[0] & 0x1F == 9 or not units):
            units.append([])
        if nal and nal[0] & 0x1F != 9:
            units[-1].append(nal)
    return [unit for unit in units if unit]


def read_presentation_indices(path, count):
    """The presentation index of each access unit, in decode order, from FFmpeg's framecrc of the
    stream copied (one line per packet in decode order, its pts the third field)."""
    pts = [int(line.split(",")[2]) for line in open(path) if line.strip() and not line.startswith("#")]
    if len(pts) != count or len(set(pts)) != count:
        sys.exit("%s: %d distinct presentation times for %d access units" % (path, len(set(pts)), count))
    ranked = sorted(pts)
    return [ranked.index(p) for p in pts]


def clock_text(us):
    """"YYYYMMDDTHHMMSS.ffffffZ" of `us` microseconds since 1970 (UTC)."""
    t = EPOCH + datetime.timedelta(microseconds=us)
    return t.strftime("%Y%m%dT%H%M%S") + ".%06dZ" % t.microsecond


def parse_transport(header):
    """The acceptable choices of a SETUP Transport header, in the client's order of preference:
    ("tcp", None) for RTP on the connection, ("udp", (rtp port, rtcp port)) for UDP unicast."""
    choices = []
    for alternative in header.split(","):
        params = [p.strip() for p in alternative.split(";") if p.strip()]
        if not params:
            continue
        proto = params[0].upper()
        names = {}
        for p in params[1:]:
            k, _, v = p.partition("=")
            names[k.strip().lower()] = v.strip()
        if proto.endswith("/TCP") or "interleaved" in names:
            choices.append(("tcp", None))
        elif proto in ("RTP/AVP", "RTP/AVP/UDP") and "client_port" in names and "multicast" not in names:
            ports = names["client_port"].split("-")
            try:
                rtp = int(ports[0])
                rtcp = int(ports[1]) if len(ports) > 1 and ports[1] else rtp + 1
            except ValueError:
                continue
            choices.append(("udp", (rtp, rtcp)))
    return choices


def udp_port_pair(host):
    """Two UDP sockets bound to host on an even port and the odd port above it."""
    for _ in range(200):
        rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rtp.bind((host, 0))
        port = rtp.getsockname()[1]
        if port % 2 == 0 and port < 65535:
            rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                rtcp.bind((host, port + 1))
                return rtp, rtcp
            except OSError:
                rtcp.close()
        rtp.close()
    raise OSError("no free UDP port pair")


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


class Session:
    stats_file = ""
    all_stats = []
    stats_lock = threading.Lock()

    def __init__(self, conn, index, cfg, units, pres, sps, pps, stats):
        self.conn = conn
        self.cfg = cfg
        self.units = units
        self.pres = pres
        self.sps = sps
        self.pps = pps
        self.stats = stats
        # Guards the RTSP connection's bytes (replies and interleaved packets).
        self.lock = threading.Lock()
        # Held while one access unit's packets go out: GET_PARAMETER replies fall between units.
        self.unit_lock = threading.Lock()
        self.playing = threading.Event()
        self.closed = threading.Event()
        self.session_id = "%08d" % (12345678 + index)
        self.nonce = "nonce%d" % index
        self.get_parameter_count = 0
        self.transport = None
        self.udp = None  # (rtp socket, rtcp socket, client rtp address, client rtcp address)
        self.next_unit = 0  # decode index of the next access unit to send
        self.gap_until = 0.0  # monotonic time before which no RTP packet goes out (UDP)
        impair = cfg.get("impair")
        self.impair = dict(impair, rng=random.Random(impair.get("seed", 1)), held=[], count=0,
                           burst_until=0.0, frame=0) if impair else None

    # ---- sending ---------------------------------------------------------------------------
    def send(self, data):
        with self.lock:
            self.conn.sendall(data)

    def send_interleaved(self, channel, payload):
        self.send(b"$" + bytes([channel]) + struct.pack(">H", len(payload)) + payload)

    def send_udp(self, sock, address, payload):
        try:
            sock.sendto(payload, address)
        except ConnectionRefusedError:
            pass  # the client's port is not open (yet, or any more): a lost datagram

    def send_rtp(self, packet, channel=0):
        """RTP (channel 0) or RTCP (channel 1) over the transport SETUP chose."""
        if self.transport == "udp":
            self.send_udp(self.udp[channel], self.udp[2 + channel], packet)
        else:
            self.send_interleaved(channel, packet)

    def impair_enqueue(self, packet):
        im, now = self.impair, time.monotonic()
        im["count"] += 1
        if im.get("burst_every") and im["count"] % im["burst_every"] == 0:
            im["burst_until"] = now + im.get("burst_ms", 100) / 1000.0
        rng = im["rng"]
        dropped = rng.random() < im.get("drop", 0)
        if dropped or now < im["burst_until"]:
            with Session.stats_lock:
                frames = self.stats.setdefault("impaired_frames", [])
                if im["frame"] not in frames:
                    frames.append(im["frame"])
        if not dropped:
            due = max(now, im["burst_until"]) + rng.random() * im.get("reorder_ms", 0) / 1000.0
            im["held"] += [(due, packet)] * (2 if rng.random() < im.get("duplicate", 0) else 1)

    def flush_impaired(self, now=None):
        held = self.impair["held"] if self.impair else []
        held.sort(key=lambda e: e[0])
        while held and (now is None or held[0][0] <= now):
            self.send_udp(self.udp[0], self.udp[2], held.pop(0)[1])

    def send_rtcp(self, packet):
        self.send_rtp(packet, 1)

    def write_stats(self):
        if not Session.stats_file:
            return
        with Session.stats_lock:
            with open(Session.stats_file + ".tmp", "w") as f:
                json.dump(Session.all_stats, f)
            os.replace(Session.stats_file + ".tmp", Session.stats_file)

    def set_stat(self, key, value):
        with Session.stats_lock:
            self.stats[key] = value

    def add_stat(self, key, value):
        with Session.stats_lock:
            self.stats[key].append(value)

    def rtp_time(self, p):
        """RTP time of presentation frame p (32 bits)."""
        ticks = self.cfg["step"] * p
        if self.cfg.get("drift_ppm"):
            ticks = int(round(ticks * (1 + self.cfg["drift_ppm"] / 1e6)))
        return (self.cfg["ts0"] + ticks) & 0xFFFFFFFF

    def report(self, p, packets, octets):
        """The sender report sent before presentation frame p: the configured mapping, or with a
        drifting clock the NTP and RTP times of frame p."""
        sr = self.cfg["sender_report"]
        frame = sr.get("frame", 0)
        if not self.cfg.get("drift_ppm"):
            return self.sender_report(sr["ntp"], self.rtp_time(frame), packets, octets)
        rate = self.cfg.get("clock_rate", 90000)
        ntp = sr["ntp"] + ((p - frame) * self.cfg["step"] * (1 << 32) + rate // 2) // rate
        return self.sender_report(ntp, self.rtp_time(p), packets, octets)

    def presentation_index(self, k):
        """Presentation index of the k-th access unit sent: the file repeats, each time after all
        frames of the times before."""
        n = len(self.units)
        return (k // n) * n + self.pres[k % n]

    # ---- RTSP requests ---------------------------------------------------------------------
    def reply(self, cseq, status="200 OK", headers=None, body=b""):
        lines = ["RTSP/1.0 " + status, "CSeq: " + cseq]
        for k, v in (headers or []):
            lines.append(k + ": " + v)
        if body:
            lines.append("Content-Length: %d" % len(body))
        self.send(("\r\n".join(lines) + "\r\n\r\n").encode() + body)

    def sdp(self):
        sprop = base64.b64encode(self.sps).decode() + "," + base64.b64encode(self.pps).decode()
        profile = self.sps[1:4].hex()
        return ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=VMS stand-in\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                "a=control:*\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/%d\r\n"
                "a=fmtp:96 packetization-mode=1;profile-level-id=%s;sprop-parameter-sets=%s\r\n"
                "a=control:trackID=0\r\n" % (self.cfg.get("clock_rate", 90000), profile, sprop)).encode()

    def authorized(self, method, headers):
        """Checks the credentials of a request against the configured ones; records the check."""
        auth = self.cfg["auth"]
        value = headers.get("authorization", "")
        ok = False
        if value.startswith("Basic "):
            try:
                ok = base64.b64decode(value[6:]).decode() == "%s:%s" % (auth["user"], auth["password"])
            except ValueError:
                ok = False
        elif value.startswith("Digest ") and auth["scheme"].startswith("digest"):
            p = {}
            for part in value[7:].split(","):
                k, _, v = part.strip().partition("=")
                p[k.strip()] = v.strip().strip('"')
            ha1 = md5("%s:%s:%s" % (auth["user"], REALM, auth["password"]))
            ha2 = md5("%s:%s" % (method, p.get("uri", "")))
            if auth["scheme"] == "digest-qop":
                expected = md5("%s:%s:%s:%s:auth:%s" % (ha1, self.nonce, p.get("nc", ""), p.get("cnonce", ""), ha2))
            else:
                expected = md5("%s:%s:%s" % (ha1, self.nonce, ha2))
            ok = p.get("response") == expected and p.get("username") == auth["user"]
        self.add_stat("auth", "%s %s" % (method, "OK" if ok else "FAIL"))
        return ok

    def challenge(self, cseq):
        basic = 'Basic realm="%s"' % REALM
        digest = 'Digest realm="%s", nonce="%s"' % (REALM, self.nonce)
        offers = {"basic": [basic], "digest": [digest],
                  "digest-qop": [basic, digest + ', qop="auth", algorithm=MD5']}[self.cfg["auth"]["scheme"]]
        self.reply(cseq, "401 Unauthorized", [("WWW-Authenticate", offer) for offer in offers])

    def handle(self, method, url, headers):
        self.base_url = url
        cseq = headers.get("cseq", "0")
        self.add_stat("methods", method)
        self.write_stats()
        delay = self.cfg.get("reply_delay_ms", 0)
        if delay > 0 and self.cfg.get("delay_method", "") in ("", method):
            if self.closed.wait(delay / 1000.0):
                return
        auth = self.cfg.get("auth")
        if auth and (method != "OPTIONS" or auth.get("options")) and not self.authorized(method, headers):
            self.write_stats()
            self.challenge(cseq)
            return
        self.handle_request(method, url, headers, cseq)
        self.write_stats()

    def describe(self, url, cseq):
        broken = self.cfg.get("malformed", "")
        c = cseq.encode()
        if broken == "status":
            self.send(b"RTSP/1.0 2x0 OK\r\nCSeq: " + c + b"\r\n\r\n")
        elif broken == "huge-head":
            self.send(b"RTSP/1.0 200 OK\r\nCSeq: " + c + b"\r\nX-Long: " + b"a" * 40000)
        elif broken != "no-reply":
            base = url if url.endswith("/") else url + "/"
            self.reply(cseq, headers=[("Content-Base", base), ("Content-Type", "application/sdp")], body=self.sdp())

    def setup(self, headers, cseq):
        accepted = self.cfg.get("transports", ["tcp", "udp"])
        choices = [c for c in parse_transport(headers.get("transport", "")) if c[0] in accepted]
        if not choices:
            self.reply(cseq, "461 Unsupported Transport")
            return
        kind, ports = choices[0]
        if self.udp:
            for s in self.udp[:2]:
                s.close()
            self.udp = None
        ssrc = "ssrc=%08X" % self.cfg["ssrc"]
        if kind == "tcp":
            transport = "RTP/AVP/TCP;unicast;interleaved=0-1;" + ssrc
        else:
            rtp, rtcp = udp_port_pair("127.0.0.1")
            peer = self.conn.getpeername()[0]
            self.udp = (rtp, rtcp, (peer, ports[0]), (peer, ports[1]))
            transport = "RTP/AVP;unicast;client_port=%d-%d;server_port=%d-%d;%s" % (
                ports[0], ports[1], rtp.getsockname()[1], rtcp.getsockname()[1], ssrc)
            threading.Thread(target=self.udp_drain, daemon=True).start()
        self.transport = kind
        self.set_stat("transport", kind)
        self.reply(cseq, headers=[("Session", "%s;timeout=%d" % (self.session_id, self.cfg["session_timeout"])),
                                  ("Transport", transport)])

    def get_parameter(self, cseq):
        self.get_parameter_count += 1
        self.set_stat("get_parameter", self.get_parameter_count)
        self.write_stats()
        gp = self.cfg.get("get_parameter", {})
        if gp.get("silent") or self.get_parameter_count <= gp.get("silent_first", 0):
            return
        if gp.get("delay_ms", 0) > 0:
            # Held while the stream goes on; the position below is the one at sending time.
            self.closed.wait(gp["delay_ms"] / 1000.0)
        extra = [(k, v) for k, v in gp.get("headers", [])]
        text = gp.get("body", "").encode()
        with self.unit_lock:
            st = gp.get("seetec")
            if st is not None:
                q = {"first": 0, "last": self.presentation_index(max(self.next_unit - 1, 0)),
                     "next": self.presentation_index(self.next_unit)}[st.get("pair", "first")]
                text += ("SeeTecTimestamp: %d\r\nLastRTPTimestamp: %d\r\n" % (
                    st["ms0"] + st["ms_per_frame"] * q, self.rtp_time(q))).encode()
            range_header = []
            nfr = gp.get("next_frame_range")
            if nfr is not None:
                if self.next_unit < self.cfg["frames"]:
                    p = self.presentation_index(self.next_unit)
                else:
                    p = max(self.presentation_index(k) for k in range(self.cfg["frames"])) + 1 \
                        if self.cfg["frames"] > 0 else 0
                us = nfr["base_us"] + nfr["us_per_frame"] * p
                range_header = [("Range", "clock=" + clock_text(us) + "-")]
                self.add_stat("named_frames", p)
            self.add_stat("replies", self.next_unit)
            self.write_stats()
            self.reply(cseq, headers=[("Session", self.session_id)] + range_header + extra +
                       ([("Content-Type", "text/parameters")] if text else []), body=text)
            if self.transport == "udp":
                self.gap_until = time.monotonic() + self.cfg.get("udp_gap_ms", 200) / 1000.0

    def handle_request(self, method, url, headers, cseq):
        if method == "OPTIONS":
            self.reply(cseq, headers=[("Public", "OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER, TEARDOWN")])
        elif method == "DESCRIBE":
            self.describe(url, cseq)
        elif method == "SETUP":
            self.setup(headers, cseq)
        elif method == "PLAY":
            self.reply(cseq, headers=[("Session", self.session_id), ("Range", "npt=0.000-"),
                                      ("RTP-Info", "url=trackID=0;seq=1;rtptime=%d" % self.cfg["ts0"])])
            self.playing.set()
        elif method == "GET_PARAMETER":
            self.get_parameter(cseq)
        elif method == "TEARDOWN":
            self.reply(cseq, headers=[("Session", self.session_id)])
            self.closed.set()
        else:
            self.reply(cseq, "501 Not Implemented")

    def note_rtcp(self, packet):
        if len(packet) > 1:
            self.add_stat("rtcp_in", packet[1])

    def reader(self):
        buf = b""
        last_request = time.monotonic()
        try:
            while not self.closed.is_set():
                ready, _, _ = select.select([self.conn], [], [], 0.2)
                if (self.cfg.get("expire") and self.playing.is_set()
                        and time.monotonic() - last_request > self.cfg["session_timeout"]):
                    self.set_stat("expired", True)
                    self.write_stats()
                    self.conn.shutdown(socket.SHUT_RDWR)
                    break
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
                        if buf[1] % 2 == 1:
                            self.note_rtcp(buf[4:4 + n])
                        buf = buf[4 + n:]
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
                    buf = buf[end + 4 + length:]
                    parts = head[0].split(" ")
                    last_request = time.monotonic()
                    self.handle(parts[0], parts[1] if len(parts) > 1 else "", headers)
        except OSError:
            pass
        self.closed.set()
        self.write_stats()

    def udp_drain(self):
        """Reads what the client sends to the server ports (receiver reports, the first packets
        that open its firewall)."""
        socks = [self.udp[0], self.udp[1]]
        try:
            while not self.closed.is_set():
                ready, _, _ = select.select(socks, [], [], 0.5)
                for s in ready:
                    try:
                        data = s.recv(65536)
                        if s is socks[1]:
                            self.note_rtcp(data)
                    except (BlockingIOError, ConnectionRefusedError):
                        pass
        except (OSError, ValueError):
            pass

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
        real = len(payloads)
        broken = self.cfg.get("malformed", "")
        if broken == "refused-payloads":
            # After the frame: MTAP16, an undefined type, nothing, an FU-A without data, a STAP-A
            # whose unit runs past the packet.
            payloads += [b"\x7a\x00\x00\x00", b"\x7e\x00", b"", b"\x7c\x85", b"\x78\x00\x10\x65"]
        packets = []
        for i, payload in enumerate(payloads):
            marker = 0x80 if i == real - 1 else 0
            x = 0x10 if ext_time is not None else 0
            header = struct.pack(">BBHII", 0x80 | x, marker | 96, seq & 0xFFFF, ts & 0xFFFFFFFF, self.cfg["ssrc"])
            if ext_time is not None:
                # Profile 0x4000, 4 words: entry count 1, tag 0x4001 (+2 bytes), 64-bit time.
                header += struct.pack(">HHiHHQ", 0x4000, 4, 1, 0x4001, 0, ext_time)
            packets.append(header + payload)
            seq += 1
        if broken == "short-rtp":
            packets.append(b"\x80\x60\x00\x01\x00\x00")
        return packets, seq

    def sender_report(self, ntp, rtp, packets, octets):
        return struct.pack(">BBHIIIIII", 0x80, 200, 6, self.cfg["ssrc"], (ntp >> 32) & 0xFFFFFFFF,
                           ntp & 0xFFFFFFFF, rtp & 0xFFFFFFFF, packets, octets)

    def bye(self, packets, octets):
        """The RTCP packet ending the stream: the configured sender report (its usual mapping) and a
        BYE, or the BYE alone when the stream has no sender reports (FFmpeg's reader gives up on a
        compound packet at a receiver report, before the BYE). The BYE gives a reason: FFmpeg drops
        RTP and RTCP packets under 12 bytes."""
        reason = b"end of stream"
        text = bytes([len(reason)]) + reason
        text += b"\0" * (-len(text) % 4)
        bye = struct.pack(">BBHI", 0x81, 203, 1 + len(text) // 4, self.cfg["ssrc"]) + text
        sr = self.cfg.get("sender_report")
        if not sr:
            return bye
        return self.report(self.presentation_index(max(self.next_unit - 1, 0)), packets, octets) + bye

    def wait_gap(self):
        """Takes the unit lock once no gap after a GET_PARAMETER reply is pending; False when the
        session closed meanwhile."""
        while True:
            self.unit_lock.acquire()
            wait = self.gap_until - time.monotonic()
            if wait <= 0:
                return True
            self.unit_lock.release()
            if self.closed.wait(wait):
                return False

    def stream(self):
        if not self.playing.wait(self.cfg["lifetime"]):
            return
        cfg = self.cfg
        sr = cfg.get("sender_report")
        dvtel = cfg.get("dvtel")
        pace = cfg["pace_ms"] / 1000.0
        seq = 1
        sent_packets = 0
        octets = 0
        due = time.monotonic()
        if sr and "first_ms" in sr:
            # The first report after a delay of its own, the stream going on meanwhile.
            def first_report():
                if not self.closed.wait(sr["first_ms"] / 1000.0):
                    with self.unit_lock:
                        self.send_rtcp(self.report(self.presentation_index(self.next_unit), sent_packets, octets))
            threading.Thread(target=first_report, daemon=True).start()
        try:
            for k in range(cfg["frames"]):
                if self.closed.is_set():
                    return
                if k == cfg.get("stall_after"):
                    self.set_stat("stalled", True)
                    self.write_stats()
                    self.closed.wait(cfg["lifetime"])
                    return
                if k == cfg.get("close_after"):
                    self.conn.shutdown(socket.SHUT_RDWR)
                    return
                if k == cfg.get("reset_after"):
                    self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    self.conn.close()
                    return
                if k == cfg.get("teardown_after"):
                    self.send(("TEARDOWN %s RTSP/1.0\r\nCSeq: 1\r\nSession: %s\r\n\r\n"
                               % (self.base_url, self.session_id)).encode())
                    self.closed.wait(cfg["lifetime"])
                    return
                # Frames go out at their pace from PLAY on; a frame that leaves late (after the gap
                # that follows a reply) moves the later ones back rather than bursting them out.
                if pace > 0 and self.closed.wait(max(0.0, due - time.monotonic())):
                    return
                if not self.wait_gap():
                    return
                start = time.monotonic()
                try:
                    p = self.presentation_index(k)
                    if self.impair:
                        self.impair["frame"] = p
                    ts = self.rtp_time(p)
                    first = sr.get("first", 0) if sr else 0
                    if sr and k >= first and (k - first) % sr.get("every", 25) == 0 and \
                            ("first_ms" not in sr or k > 0):
                        # Every report repeats one mapping: NTP time sr.ntp is the RTP time of
                        # (presentation) frame sr.frame (with a drifting clock, see report()).
                        self.send_rtcp(self.report(p, sent_packets, octets))
                    ext = dvtel["base"] + dvtel["step"] * p if dvtel else None
                    packets, seq = self.rtp_packets(self.units[k % len(self.units)], ts, seq, ext)
                    # The account is written before the frame goes out: a client that has read
                    # the last frame finds it complete.
                    last = k + 1 == cfg["frames"] and cfg.get("bye") and cfg.get("bye_delay_ms", 0) <= 0
                    self.set_stat("frames_sent", k + 1)
                    if last:
                        self.set_stat("bye_sent", True)
                    impaired = self.impair and self.transport == "udp"
                    if impaired:
                        for packet in packets:
                            self.impair_enqueue(packet)
                    self.write_stats()
                    for packet in packets:
                        if not impaired:
                            self.send_rtp(packet)
                        sent_packets += 1
                        octets += len(packet) - 12
                    if impaired:
                        self.flush_impaired(time.monotonic())
                    self.next_unit = k + 1
                    if last:
                        self.flush_impaired()
                        self.send_rtcp(self.bye(sent_packets, octets))
                finally:
                    self.unit_lock.release()
                due = max(due, start) + pace
            if cfg["frames"] > 0 and cfg.get("bye") and cfg.get("bye_delay_ms", 0) > 0:
                if self.closed.wait(cfg["bye_delay_ms"] / 1000.0):
                    return
                self.set_stat("bye_sent", True)
                self.write_stats()
                self.flush_impaired()
                self.send_rtcp(self.bye(sent_packets, octets))
            # Stay until the client goes, bounded by the lifetime.
            self.closed.wait(cfg["lifetime"])
        except OSError:
            pass

    def close(self):
        self.closed.set()
        for s in [self.conn] + (list(self.udp[:2]) if self.udp else []):
            try:
                s.close()
            except OSError:
                pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--h264", required=True)
    ap.add_argument("--pts", default="",
                    help="FFmpeg's framecrc of --h264 copied: the packets' presentation times")
    ap.add_argument("--config", default="{}", help="JSON object, see the keys above")
    ap.add_argument("--stats", default="", help="file that receives the counts of each session, see above")
    args = ap.parse_args()
    cfg = {"frames": 60, "ts0": 0, "step": 3600, "ssrc": 0x1234ABCD, "pace_ms": 4, "lifetime": 40, "port": 0,
           "transports": ["tcp", "udp"], "bye": False, "udp_gap_ms": 200, "session_timeout": 60}
    cfg.update(json.loads(args.config))

    Session.stats_file = args.stats
    units = read_access_units(args.h264)
    pres = read_presentation_indices(args.pts, len(units)) if args.pts else list(range(len(units)))
    nals = [nal for unit in units for nal in unit]
    sps = next((nal for nal in nals if nal[0] & 0x1F == 7), b"")
    pps = next((nal for nal in nals if nal[0] & 0x1F == 8), b"")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", cfg["port"]))
    listener.listen(16)
    listener.settimeout(0.2)
    print("PORT %d" % listener.getsockname()[1], flush=True)

    deadline = time.monotonic() + cfg["lifetime"]
    sessions = []
    while time.monotonic() < deadline:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            if sessions and all(s.closed.is_set() for s in sessions):
                break
            continue
        conn.settimeout(None)
        # Small interleaved packets and replies go out at once, not after the client's delayed ACK.
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        stats = {"methods": [], "get_parameter": 0, "frames_sent": 0, "named_frames": [], "replies": [],
                 "transport": None, "bye_sent": False, "auth": [], "rtcp_in": [], "stalled": False,
                 "expired": False}
        with Session.stats_lock:
            Session.all_stats.append(stats)
        s = Session(conn, len(sessions), cfg, units, pres, sps, pps, stats)
        sessions.append(s)
        s.write_stats()
        threading.Thread(target=s.reader, daemon=True).start()
        threading.Thread(target=s.stream, daemon=True).start()
    for s in sessions:
        s.close()
    for i, s in enumerate(sessions):
        sys.stderr.write("session %d: %s\n" % (i, json.dumps(s.stats)))


if __name__ == "__main__":
    main()
