#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The bundled demo radio: a local live HLS stream per channel over HTTPS (see README.md)."""

import argparse
import fcntl
import functools
import hashlib
import http.server
import math
import os
import re
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
import zlib

# Per-channel settings and their values (None: a whole number >= 0).
SETTINGS = {"format": ("ts", "fmp4", "aac", "mp3"), "master": ("0", "1"), "key": ("none", "aes", "aes-seq"),
            "discontinuity": None, "origins": None}
DEFAULTS = {"format": "ts", "master": "0", "key": "none", "discontinuity": "0", "origins": "1"}
ORIGIN_LEAD = 20  # segments each further origin is ahead of the first
EXTENSIONS = {"ts": "ts", "fmp4": "m4s", "aac": "aac", "mp3": "mp3"}
FORMAT_OF = {v: k for k, v in EXTENSIONS.items()}
SEGMENT = re.compile(r"seg(\d+)\.(%s)" % "|".join(FORMAT_OF))
CONTENT_TYPES = {"ts": "video/mp2t", "fmp4": "video/iso.segment", "aac": "audio/aac", "mp3": "audio/mpeg"}
# The video variant comes first and the low one before the high one, so "take the first" is caught.
VARIANTS = (("video", 2000000, "avc1.64001f,%s"), ("lo", 64000, "%s"), ("hi", 192000, "%s"))
VARIANT_FILES = {name + ".m3u8": name for name, _, _ in VARIANTS}
PLAYLIST_TYPE = "application/vnd.apple.mpegurl"
FIRST_SEQUENCE = 100
RATE, FRAME, MP3_FRAME = 48000, 1024, 1152  # AAC frames of 1024 samples, MP3 ones of 1152
MP3_KBPS = (0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320)
MP3_RATES = (44100, 48000, 32000)


def tone_frequency(channel_id):
    return 330 + (zlib.crc32(channel_id.encode()) % 48) * 20


def shift_ts(data, ticks, times):
    """Moves PTS, DTS and PCR on by ticks (90 kHz), continuity counters as if sent `times` before."""
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
            out[i + 3] = (out[i + 3] & 0xF0) | ((out[i + 3] + times * payloads[pid]) & 0x0F)
        off = i + 4
        if afc & 2:
            length = out[i + 4]
            if length and out[i + 5] & 0x10:
                b = out[i + 6:i + 12]
                base = ((b[0] << 25) | (b[1] << 17) | (b[2] << 9) | (b[3] << 1) | (b[4] >> 7)) + ticks
                out[i + 6:i + 10] = ((base % (1 << 33)) >> 1).to_bytes(4, "big")
                out[i + 10] = ((base & 1) << 7) | (b[4] & 0x7F)
            off = i + 5 + length
        if out[i + 1] & 0x40 and out[off:off + 3] == b"\0\0\1" and out[off + 3] >= 0xC0:
            flags = out[off + 7] >> 6
            for at in range(off + 9, off + 9 + 5 * {3: 2, 2: 1}.get(flags, 0), 5):
                h = out[at:at + 5]
                ts = ((h[0] >> 1) & 7) << 30 | h[1] << 22 | (h[2] >> 1) << 15 | h[3] << 7 | h[4] >> 1
                ts = (ts + ticks) % (1 << 33)
                out[at:at + 5] = bytes(((h[0] & 0xF1) | ((ts >> 29) & 0x0E), (ts >> 22) & 0xFF,
                                        ((ts >> 14) & 0xFE) | 1, (ts >> 7) & 0xFF, ((ts << 1) & 0xFE) | 1))
    return bytes(out)


def frames_of(data, size_of):
    frames, i = [], 0
    while i + 7 <= len(data) and data[i] == 0xFF and (size := size_of(data[i:i + 7])):
        frames.append(data[i:i + size])
        i += size
    return frames


def adts_size(h):
    return h[1] & 0xF6 == 0xF0 and ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5)


def mp3_size(h):  # MPEG-1 Layer III, as lamemp3enc writes it at 48 kHz
    return h[1] & 0xFE == 0xFA and 144000 * MP3_KBPS[h[2] >> 4] // MP3_RATES[(h[2] >> 2) & 3] + ((h[2] >> 1) & 1)


def syncsafe(n):
    return bytes(((n >> s) & 0x7F) for s in (21, 14, 7, 0))


def id3_timestamp(pts):  # the tag that opens a packed-audio segment (RFC 8216 section 3.4)
    data = b"com.apple.streaming.transportStreamTimestamp\0" + struct.pack(">Q", pts % (1 << 33))
    frame = b"PRIV" + syncsafe(len(data)) + b"\0\0" + data
    return b"ID3\x04\x00\x00" + syncsafe(len(frame)) + frame


def mp4_boxes(data):
    """The top-level boxes of an MP4 file by type."""
    boxes, i = {}, 0
    while i + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[i:i + 8])
        boxes[kind], i = data[i:i + size], i + size
    return boxes


def mp4_fragment(boxes, sequence, decode_time):
    """The recording's one moof + mdat, numbered `sequence`, starting at `decode_time` (48 kHz)."""
    moof = bytearray(boxes[b"moof"])
    at = moof.find(b"mfhd") + 8
    moof[at:at + 4] = struct.pack(">I", sequence % (1 << 32))
    at = moof.find(b"tfdt") + 4
    bits = 64 if moof[at] == 1 else 32  # by the box's version
    moof[at + 4:at + 4 + bits // 8] = (decode_time % (1 << bits)).to_bytes(bits // 8, "big")
    return bytes(moof) + boxes[b"mdat"]


def run(argv, data=None):
    return subprocess.run(argv, check=True, input=data, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout


def make_ca(directory):
    """The test CA in directory/ca.pem (+ key), made once under a file lock, so a build can trust a fixed path."""
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


def server_context(work, name, ca, ca_key):  # TLS with a certificate for 127.0.0.1 and localhost from that CA
    key, csr, crt, ext = (os.path.join(work, name + s) for s in (".key", ".csr", ".pem", ".ext"))
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n")
    run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", csr])
    run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
         "-days", "30", "-extfile", ext, "-out", crt])
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(crt, key)
    return context


def channel_secret(kind, channel):
    return hashlib.md5(kind + b":" + channel.encode()).digest()


class Radio:
    """The live clock, the recordings, each channel's settings and the two servers."""

    def __init__(self, args, handler):
        self.args, self.parent = args, os.getppid()
        # Listening comes first, so that a taken port fails at once, in one line.
        try:
            self.https = TlsServer(("127.0.0.1", args.port), handler)
            self.plain = ThreadingServer(("127.0.0.1", 0), handler)
        except OSError as error:
            sys.exit("radio: cannot listen on 127.0.0.1:%d: %s" % (args.port, error.strerror or error))
        self.https_port = self.https.server_address[1]
        os.makedirs(args.work_dir, exist_ok=True)
        self.ca, ca_key = make_ca(args.ca_dir)
        self.tls = server_context(args.work_dir, "server", self.ca, ca_key)
        self.frames = max(1, round(args.segment_duration * RATE / FRAME))
        self.samples = self.frames * FRAME  # per segment, on the shared schedule
        self.duration = self.samples / RATE
        # MP3 frames do not fit the schedule: segment n holds frames
        # [n * samples // 1152, (n + 1) * samples // 1152), which repeats
        # after mp3_period segments (mp3_cycle frames).
        self.mp3_period = MP3_FRAME // math.gcd(self.samples, MP3_FRAME)
        self.mp3_cycle = self.mp3_period * self.samples // MP3_FRAME
        # On the air for a while already: the playlist is full from the start.
        self.start = time.monotonic() - args.window * self.duration
        self.lock = threading.Lock()
        self.making = threading.RLock()
        self.recordings = {}  # by (channel, kind)
        self.settings = {"*": dict(DEFAULTS)}  # channel id or "*" -> {name: value}
        self.turns = {}  # playlist requests so far, by channel

    def origins(self, channel):
        return max(1, int(self.setting(channel, "origins")))

    def serve(self, server):  # in a thread of its own
        server.radio = self
        threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True).start()
        return server

    def context(self):  # what a new HTTPS connection is served with
        return self.tls

    def run(self):
        # Ends with whoever started it, also when that process was killed.
        while os.getppid() == self.parent:
            time.sleep(0.5)

    def setting(self, channel, name):
        with self.lock:
            return self.settings.get(channel, {}).get(name, self.settings["*"][name])

    def configure(self, channel, values):  # {name: value} for a channel or "*"; False when one is not a setting
        if not all(name in SETTINGS and (value in SETTINGS[name] if SETTINGS[name] else value.isdigit())
                   for name, value in values.items()):
            return False
        with self.lock:
            self.settings.setdefault(channel, {}).update(values)
        return True

    def recording(self, channel, kind):
        """The tone once per kind: "adts" (a segment's AAC frames), "ts" or "mp4" (those muxed), "mp3" (a cycle)."""
        with self.making:
            if (channel, kind) not in self.recordings:
                self.recordings[(channel, kind)] = self.record(channel, kind)
            return self.recordings[(channel, kind)]

    def record(self, channel, kind):
        tone = ["gst-launch-1.0", "-q", "audiotestsrc", "wave=sine", "volume=0.5",
                "freq=%d" % tone_frequency(channel), "!", "audio/x-raw,rate=%d,channels=2" % RATE, "!"]
        out = ["!", "fdsink", "fd=1"]
        if kind in ("ts", "mp4"):
            mux = ["mpegtsmux"] if kind == "ts" else ["mp4mux", "fragment-duration=3600000", "streamable=true"]
            muxed = run(["gst-launch-1.0", "-q", "fdsrc", "fd=0", "!", "aacparse", "!"] + mux + out,
                        b"".join(self.recording(channel, "adts")))
            return muxed if kind == "ts" else mp4_boxes(muxed)
        if kind == "adts":
            # The encoder's first frame is mostly its start-up delay: skip it.
            tone[4:4] = ["num-buffers=%d" % (self.frames + 2), "samplesperbuffer=%d" % FRAME]
            encoded = run(tone + ["avenc_aac", "bitrate=128000", "!", "aacparse", "!", "audio/mpeg,stream-format=adts"]
                          + out)
            frames = frames_of(encoded, adts_size)[1:self.frames + 1]
            assert len(frames) == self.frames, "short AAC recording"
            return frames
        # MP3 keeps a bit reservoir across frames, so the cycle is cut from
        # one continuous encoding: the stream only jumps where it starts over.
        tone[4:4] = ["num-buffers=%d" % (self.mp3_cycle + 6), "samplesperbuffer=%d" % MP3_FRAME]
        encoded = run(tone + ["lamemp3enc", "target=bitrate", "bitrate=128", "cbr=true", "!", "mpegaudioparse"] + out)
        frames = frames_of(encoded, mp3_size)[2:self.mp3_cycle + 2]
        assert len(frames) == self.mp3_cycle, "short MP3 recording"
        return frames

    @staticmethod
    def splices(n, every):  # how many came up to segment n: one every `every` segments after the first
        return max(0, n // every - FIRST_SEQUENCE // every) if every else 0

    @staticmethod
    def is_splice(n, every):
        return every > 0 and n % every == 0 and n > FIRST_SEQUENCE

    def timing(self, fmt, n, every):
        """(first sample, samples) of segment n at 48 kHz; a splice jumps ten hours, forward and back in turn."""
        jump = 36000 * RATE if self.splices(n, every) % 2 else 0
        if fmt != "mp3":
            return jump + n * self.samples, self.samples
        first, end = (i * self.samples // MP3_FRAME for i in (n, n + 1))
        return jump + first * MP3_FRAME, (end - first) * MP3_FRAME

    @functools.lru_cache(maxsize=256)
    def segment(self, channel, fmt, n, every, key):
        first = self.timing(fmt, n, every)[0]
        pts = first * 90000 // RATE
        if fmt == "ts":
            data = shift_ts(self.recording(channel, "ts"), pts, n)
        elif fmt == "fmp4":
            data = mp4_fragment(self.recording(channel, "mp4"), n, first)
        elif fmt == "aac":
            data = id3_timestamp(pts) + b"".join(self.recording(channel, "adts"))
        else:
            p = n % self.mp3_period
            cut = slice(p * self.samples // MP3_FRAME, (p + 1) * self.samples // MP3_FRAME)
            data = id3_timestamp(pts) + b"".join(self.recording(channel, "mp3")[cut])
        if key == "none":
            return data
        iv = channel_secret(b"iv", channel) if key == "aes" else n.to_bytes(16, "big")
        return run(["openssl", "enc", "-aes-128-cbc", "-K", channel_secret(b"key", channel).hex(), "-iv", iv.hex()],
                   data)

    def live_edge(self):  # the newest complete segment
        return FIRST_SEQUENCE + int((time.monotonic() - self.start) / self.duration)

    def master_playlist(self, channel):
        codec = "mp4a.40.34" if self.setting(channel, "format") == "mp3" else "mp4a.40.2"
        lines = ["#EXTM3U", "#EXT-X-VERSION:3"]
        for name, bandwidth, codecs in VARIANTS:
            extra = ",RESOLUTION=1280x720" if name == "video" else ""
            lines += ['#EXT-X-STREAM-INF:BANDWIDTH=%d,CODECS="%s"%s' % (bandwidth, codecs % codec, extra),
                      name + ".m3u8"]
        return ("\n".join(lines) + "\n").encode()

    def playlist(self, channel):
        fmt, key = self.setting(channel, "format"), self.setting(channel, "key")
        every = int(self.setting(channel, "discontinuity"))
        # Origins that are not in step answer in turn, each with its own window.
        with self.lock:
            turn = self.turns[channel] = self.turns.get(channel, -1) + 1
        newest = self.live_edge() + turn % self.origins(channel) * ORIGIN_LEAD
        oldest = max(FIRST_SEQUENCE, newest - self.args.window + 1)
        durations = [self.timing(fmt, n, every)[1] / RATE for n in range(oldest, newest + 1)]
        lines = ["#EXTM3U", "#EXT-X-VERSION:%d" % (6 if fmt == "fmp4" else 3),
                 "#EXT-X-TARGETDURATION:%d" % math.ceil(max(durations)), "#EXT-X-MEDIA-SEQUENCE:%d" % oldest]
        if every:
            # Splices still in the window keep their tag; this counts the ones that left it.
            lines.append("#EXT-X-DISCONTINUITY-SEQUENCE:%d" % (self.splices(oldest, every)
                                                               - self.is_splice(oldest, every)))
        if fmt == "fmp4":
            lines.append('#EXT-X-MAP:URI="init.mp4"')  # before the key: the init section is clear
        if key != "none":
            iv = ",IV=0x" + channel_secret(b"iv", channel).hex() if key == "aes" else ""
            lines.append('#EXT-X-KEY:METHOD=AES-128,URI="key.bin"' + iv)
        for n, d in zip(range(oldest, newest + 1), durations):
            if self.is_splice(n, every):
                lines.append("#EXT-X-DISCONTINUITY")
            lines += ["#EXTINF:%.3f," % d, "seg%d.%s" % (n, EXTENSIONS[fmt])]
        return ("\n".join(lines) + "\n").encode()

    def in_window(self, channel, n):
        newest = self.live_edge()
        return newest - self.args.window - 2 < n <= newest + 1 + (self.origins(channel) - 1) * ORIGIN_LEAD


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", ctype="text/plain", headers=(), sent=None):
        self.send_response(status)
        for name, value in (("Content-Type", ctype), ("Content-Length", len(body)), ("Cache-Control", "no-cache"),
                            *headers):
            self.send_header(name, str(value))
        self.end_headers()
        self.wfile.write(body[:sent])

    def do_GET(self):
        parts = urllib.parse.urlsplit(self.path).path.split("/")
        # ['', 'liveradio', id, file]
        if len(parts) != 4 or parts[1] != "liveradio" or not parts[2].isalnum():
            return self.reply(404, b"not found\n")
        self.serve(parts[2], parts[3])

    def serve(self, channel, name):  # one file of a channel's stream
        radio = self.server.radio
        if name == "playlist.m3u8" and radio.setting(channel, "master") == "1":
            return self.reply(200, radio.master_playlist(channel), PLAYLIST_TYPE)
        if name == "playlist.m3u8" or name in VARIANT_FILES:
            return self.reply(200, radio.playlist(channel), PLAYLIST_TYPE)
        if name == "key.bin":
            return self.reply(200, channel_secret(b"key", channel), "application/octet-stream")
        if name == "init.mp4":
            boxes = radio.recording(channel, "mp4")
            return self.reply(200, boxes[b"ftyp"] + boxes[b"moov"], "audio/mp4")
        segment = SEGMENT.fullmatch(name)
        if segment is None or not radio.in_window(channel, int(segment[1])):
            return self.reply(404, b"not found\n")
        n, fmt = int(segment[1]), FORMAT_OF[segment[2]]
        self.send_segment(radio.segment(channel, fmt, n, int(radio.setting(channel, "discontinuity")),
                                        radio.setting(channel, "key")), CONTENT_TYPES[fmt])

    def send_segment(self, data, ctype):
        self.reply(200, data, ctype)


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def get_request(self):
        sock, addr = self.socket.accept()
        # Head and body go out in separate sends: without this, the body would
        # wait for the client's delayed acknowledgement of the head.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock, addr

    def handle_error(self, request, client_address):
        pass  # clients that hang up mid-reply are expected here


class TlsServer(ThreadingServer):
    """Each accepted socket gets the radio's current context."""

    def get_request(self):
        sock, addr = super().get_request()
        return self.radio.context().wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def finish_request(self, request, client_address):
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


def main(station=Radio, handler=Handler):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port", type=int, default=0, help="HTTPS port (0: any free one)")
    p.add_argument("--ca-dir", required=True, help="folder of its CA (made when missing)")
    p.add_argument("--work-dir", required=True, help="folder for certificates")
    p.add_argument("--segment-duration", type=float, default=1.0)
    p.add_argument("--window", type=int, default=6, help="segments in the live playlist")
    p.add_argument("--channels", default="", help="comma-separated ids whose segments are made at start")
    p.add_argument("--origins", default="1", help="origins out of step behind the address (the origins setting)")
    args = p.parse_args()
    radio = station(args, handler)
    if not radio.configure("*", {"origins": args.origins}):
        sys.exit("radio: --origins takes a whole number")
    for channel in filter(None, args.channels.split(",")):
        radio.recording(channel, "ts")
    radio.serve(radio.https)
    radio.serve(radio.plain)
    print("READY %d 0 %s %d" % (radio.https_port, radio.ca, radio.plain.server_address[1]), flush=True)
    radio.run()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
