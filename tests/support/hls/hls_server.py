#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A local live HLS radio over HTTPS for tests, benchmarks and the demo.

Serves /liveradio/<id>/playlist.m3u8 as a sliding live playlist of short ADTS
AAC segments holding a sine tone whose frequency depends on the channel id, on
127.0.0.1 with a certificate from a test CA made on first use. Faults are
switched at run time through a plain-HTTP control port (see README.md).
Standard library only; segments come from gst-launch-1.0, keys from openssl.
"""

import argparse
import fcntl
import http.server
import json
import math
import os
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import zlib

FAULTS = ("none", "refuse", "drop", "stall", "garbage", "404", "500", "403", "wrongcert", "redirect")


def tone_frequency(channel_id):
    """Each channel sounds different: 330 Hz to 1270 Hz in 20 Hz steps."""
    return 330 + (zlib.crc32(channel_id.encode()) % 48) * 20


RATE, FRAME = 48000, 1024  # AAC frames of 1024 samples


def shift_ts(data, ticks, times):
    """Moves every PTS, DTS and PCR of an MPEG-TS recording on by ticks (90 kHz)
    and continuity counters on as if the recording had been sent times before."""
    out = bytearray(data)
    payloads = {}
    for i in range(0, len(out) - 187, 188):
        pid = ((out[i + 1] & 0x1F) << 8) | out[i + 2]
        if out[i + 3] & 0x10:
            payloads[pid] = payloads.get(pid, 0) + 1
    for i in range(0, len(out) - 187, 188):
        pid = ((out[i + 1] & 0x1F) << 8) | out[i + 2]
        afc = (out[i + 3] >> 4) & 3
        if afc & 1:
            cc = (out[i + 3] + times * payloads[pid]) & 0x0F
            out[i + 3] = (out[i + 3] & 0xF0) | cc
        off = i + 4
        if afc & 2:
            length = out[i + 4]
            if length and out[i + 5] & 0x10:
                b = out[i + 6:i + 12]
                base = (b[0] << 25) | (b[1] << 17) | (b[2] << 9) | (b[3] << 1) | (b[4] >> 7)
                base = (base + ticks) % (1 << 33)
                out[i + 6:i + 10] = (base >> 1).to_bytes(4, "big")
                out[i + 10] = ((base & 1) << 7) | (b[4] & 0x7F)
            off = i + 5 + length
        if out[i + 1] & 0x40 and out[off:off + 3] == b"\0\0\1" and out[off + 3] >= 0xC0:
            flags = out[off + 7] >> 6
            for k in range(2 if flags == 3 else 1 if flags == 2 else 0):
                at = off + 9 + 5 * k
                h = out[at:at + 5]
                ts = ((h[0] >> 1) & 7) << 30 | h[1] << 22 | (h[2] >> 1) << 15 | h[3] << 7 | h[4] >> 1
                ts = (ts + ticks) % (1 << 33)
                out[at] = (h[0] & 0xF1) | ((ts >> 29) & 0x0E)
                out[at + 1] = (ts >> 22) & 0xFF
                out[at + 2] = ((ts >> 14) & 0xFE) | 1
                out[at + 3] = (ts >> 7) & 0xFF
                out[at + 4] = ((ts << 1) & 0xFE) | 1
    return bytes(out)


def run(argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_ca(directory):
    """The test CA in directory/ca.pem (+ key), made once and shared by
    concurrent servers under a file lock, so a build can trust a fixed path."""
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        ca, key = os.path.join(directory, "ca.pem"), os.path.join(directory, "ca.key")
        if not (os.path.exists(ca) and os.path.exists(key)):
            run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                 "-subj", "/CN=OrvoMenu Test CA", "-keyout", key + ".tmp", "-out", ca + ".tmp",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
            os.rename(key + ".tmp", key)
            os.rename(ca + ".tmp", ca)
        return ca, key


def make_leaf(work, name, ca, ca_key):
    """A server certificate for 127.0.0.1 and localhost signed by ca."""
    key, csr, crt, ext = (os.path.join(work, name + s) for s in (".key", ".csr", ".pem", ".ext"))
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n")
    run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
         "-keyout", key, "-out", csr])
    run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
         "-days", "30", "-extfile", ext, "-out", crt])
    return crt, key


class Radio:
    """Shared state: the clock of the live stream, segments, faults, counters."""

    def __init__(self, args):
        self.args = args
        self.work = args.work_dir
        self.frames = max(1, round(args.segment_duration * RATE / FRAME))
        self.duration = self.frames * FRAME / RATE
        # On the air for a while already: the playlist is full from the start,
        # as a real live stream's is.
        self.start = time.monotonic() - args.window * self.duration
        self.lock = threading.Lock()
        self.segments = {}
        self.faults = {}  # channel id or "*" -> fault name
        self.counts = {}
        self.connections = set()
        self.fault_changed = threading.Condition(self.lock)

    def fault_for(self, channel):
        with self.lock:
            return self.faults.get(channel, self.faults.get("*", "none"))

    def count(self, key):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + 1

    def segment(self, channel):
        """The channel's one recorded segment (MPEG-TS, AAC): made once."""
        with self.lock:
            data = self.segments.get(channel)
        if data is not None:
            return data
        path = os.path.join(self.work, "seg-%s.ts" % channel)
        run(["gst-launch-1.0", "-q", "audiotestsrc", "wave=sine", "volume=0.5",
             "freq=%d" % tone_frequency(channel), "num-buffers=%d" % self.frames,
             "samplesperbuffer=%d" % FRAME, "!", "audio/x-raw,rate=%d,channels=2" % RATE,
             "!", "avenc_aac", "bitrate=128000", "!", "aacparse", "!", "mpegtsmux", "!",
             "filesink", "location=" + path])
        with open(path, "rb") as f:
            data = f.read()
        with self.lock:
            self.segments[channel] = data
        return data

    def numbered_segment(self, channel, n):
        """Segment n: the recording with its clock moved on by n segments, so
        timestamps and continuity counters run on as in a real live stream."""
        return shift_ts(self.segment(channel), n * self.frames * FRAME * 90000 // RATE, n)

    def live_edge(self):
        """Sequence number of the newest complete segment."""
        return self.args.first_sequence + int((time.monotonic() - self.start) / self.duration)

    def playlist(self, channel):
        newest = self.live_edge()
        oldest = max(self.args.first_sequence, newest - self.args.window + 1)
        d = self.duration
        lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:%d" % math.ceil(d),
                 "#EXT-X-MEDIA-SEQUENCE:%d" % oldest]
        for n in range(oldest, newest + 1):
            lines += ["#EXTINF:%.3f," % d, "seg%d.ts" % n]
        return ("\n".join(lines) + "\n").encode()

    def in_window(self, n):
        newest = self.live_edge()
        return newest - self.args.window - 2 < n <= newest + 1


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OrvoTestRadio/1"

    def log_message(self, *args):
        if self.server.radio.args.verbose:
            super().log_message(*args)

    def setup(self):
        super().setup()
        with self.server.radio.lock:
            self.server.radio.connections.add(self.connection)

    def finish(self):
        try:
            super().finish()
        finally:
            with self.server.radio.lock:
                self.server.radio.connections.discard(self.connection)

    def reply(self, status, body=b"", ctype="text/plain", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-cache")
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        radio = self.server.radio
        parts = urllib.parse.urlsplit(self.path).path.split("/")
        # ['', 'liveradio', id, file]
        if len(parts) != 4 or parts[1] != "liveradio" or not parts[2].isalnum():
            return self.reply(404, b"not found\n")
        channel, name = parts[2], parts[3]
        plain = self.server.plain
        kind = "plain" if plain else ("playlist" if name == "playlist.m3u8" else "segment")
        radio.count("%s:%s" % (channel, kind))
        fault = "none" if plain else radio.fault_for(channel)
        if fault == "refuse":
            self.close_connection = True
            return self.connection.close()
        if fault in ("404", "500", "403"):
            return self.reply(int(fault), b"fault\n")
        if fault == "redirect":
            target = "http://127.0.0.1:%d%s" % (radio.plain_port, self.path)
            return self.reply(302, b"", headers=[("Location", target)])
        if name == "playlist.m3u8":
            return self.reply(200, radio.playlist(channel), "application/vnd.apple.mpegurl")
        if not (name.startswith("seg") and name.endswith(".ts") and name[3:-3].isdigit()):
            return self.reply(404, b"not found\n")
        if not radio.in_window(int(name[3:-3])):
            return self.reply(404, b"gone\n")
        data = radio.numbered_segment(channel, int(name[3:-3]))
        if fault == "garbage":
            data = bytes((i * 7919 + 13) & 0xFF for i in range(len(data)))
        if fault in ("drop", "stall"):
            self.send_response(200)
            self.send_header("Content-Type", "video/mp2t")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[: len(data) // 3])
            self.wfile.flush()
            if fault == "stall":
                with radio.lock:
                    radio.fault_changed.wait_for(lambda: radio.faults.get(channel, radio.faults.get("*")) != "stall")
            self.close_connection = True
            return
        self.reply(200, data, "video/mp2t")


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # clients that hang up mid-reply are expected here


class TlsServer(ThreadingServer):
    """Wraps each accepted socket with the certificate that the current fault
    asks for, so switching to a wrong certificate affects new connections."""

    def get_request(self):
        sock, addr = self.socket.accept()
        ctx = self.wrong_ctx if self.radio.fault_for("*") == "wrongcert" else self.good_ctx
        return ctx.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def finish_request(self, request, client_address):
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


class ControlHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        radio = self.server.radio
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path == "/fault":
            mode, channel = query.get("mode", "none"), query.get("channel", "*")
            if mode not in FAULTS:
                return self.answer(400, {"error": "unknown fault"})
            self.server.set_fault(channel, mode)
            return self.answer(200, {"channel": channel, "mode": mode})
        if url.path == "/stats":
            with radio.lock:
                return self.answer(200, dict(radio.counts))
        if url.path == "/reset-stats":
            with radio.lock:
                radio.counts.clear()
            return self.answer(200, {})
        self.answer(404, {"error": "unknown"})

    def answer(self, status, obj):
        body = (json.dumps(obj) + "\n").encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    # Ends with whoever started it, also when that process was killed.
    parent = os.getppid()
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port", type=int, default=0, help="HTTPS port (0: any free one)")
    p.add_argument("--ca-dir", required=True, help="folder of the test CA (made when missing)")
    p.add_argument("--work-dir", required=True, help="folder for certificates and segments")
    p.add_argument("--segment-duration", type=float, default=1.0)
    p.add_argument("--window", type=int, default=6, help="segments in the live playlist")
    p.add_argument("--first-sequence", type=int, default=100)
    p.add_argument("--fault", default="none", choices=FAULTS, help="fault of every channel at start")
    p.add_argument("--channels", default="", help="comma-separated ids whose segments are made at start")
    p.add_argument("--verbose", action="store_true")
    args = p.parse_args()
    os.makedirs(args.work_dir, exist_ok=True)

    ca, ca_key = make_ca(args.ca_dir)
    good = make_leaf(args.work_dir, "server", ca, ca_key)
    other_ca, other_key = make_ca(os.path.join(args.work_dir, "other-ca"))
    wrong = make_leaf(args.work_dir, "wrong", other_ca, other_key)

    radio = Radio(args)
    radio.faults["*"] = args.fault
    for channel in filter(None, args.channels.split(",")):
        radio.segment(channel)

    tls = TlsServer(("127.0.0.1", args.port), Handler, bind_and_activate=True)
    tls.radio, tls.plain = radio, False
    tls.good_ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.good_ctx.load_cert_chain(*good)
    tls.wrong_ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.wrong_ctx.load_cert_chain(*wrong)
    port = tls.server_address[1]

    plain = ThreadingServer(("127.0.0.1", 0), Handler)
    plain.radio, plain.plain = radio, True
    radio.plain_port = plain.server_address[1]

    control = ThreadingServer(("127.0.0.1", 0), ControlHandler)
    control.radio = radio

    serving = {"tls": tls}
    serving_lock = threading.Lock()

    def serve(server):
        server.serve_forever(poll_interval=0.05)

    def set_fault(channel, mode):
        with radio.lock:
            radio.faults[channel] = mode
            radio.fault_changed.notify_all()
            # New faults apply to new connections: drop the kept-alive ones.
            for conn in list(radio.connections):
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        refusing = radio.fault_for("*") == "refuse"
        with serving_lock:
            if refusing and serving["tls"] is not None:
                # Nothing listens while refusing: connections are refused.
                serving["tls"].shutdown()
                serving["tls"].server_close()
                serving["tls"] = None
            elif not refusing and serving["tls"] is None:
                again = TlsServer(("127.0.0.1", port), Handler)
                again.radio, again.plain = radio, False
                again.good_ctx, again.wrong_ctx = tls.good_ctx, tls.wrong_ctx
                serving["tls"] = again
                threading.Thread(target=serve, args=(again,), daemon=True).start()

    control.set_fault = set_fault
    for server in (tls, plain, control):
        threading.Thread(target=serve, args=(server,), daemon=True).start()
    if args.fault == "refuse":
        radio.faults["*"] = "none"
        set_fault("*", "refuse")

    print("READY %d %d %s %d" % (port, control.server_address[1], ca, radio.plain_port), flush=True)
    try:
        while os.getppid() == parent:
            time.sleep(0.5)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
