#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A local live HLS radio over HTTPS for tests, benchmarks and the demo.

Serves /liveradio/<id>/playlist.m3u8 as a sliding live playlist of short
segments holding a sine tone whose frequency depends on the channel id, on
127.0.0.1 with a certificate from a test CA made on first use. The container
(MPEG-TS, fragmented MP4, packed AAC or MP3), a master playlist, AES-128 and
discontinuities are set per channel, and faults switched, at run time through a
plain-HTTP control port (see README.md). Standard library only; recordings come
from gst-launch-1.0, keys and encryption from openssl.
"""

import argparse
import email.utils
import fcntl
import hashlib
import http.server
import json
import math
import os
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

FAULTS = ("none", "refuse", "drop", "stall", "garbage", "404", "500", "403", "wrongcert", "redirect",
          "redirect-https", "segment-redirect", "segment-redirect-https", "slow")

# Per-channel settings of /config and their values (None: a whole number >= 0).
SETTINGS = {"format": ("ts", "fmp4", "aac", "mp3"), "master": ("0", "1"),
            "key": ("none", "aes", "aes-seq"), "discontinuity": None}
DEFAULTS = {"format": "ts", "master": "0", "key": "none", "discontinuity": "0"}
EXTENSIONS = {"ts": "ts", "fmp4": "m4s", "aac": "aac", "mp3": "mp3"}
FORMAT_OF = {v: k for k, v in EXTENSIONS.items()}
CONTENT_TYPES = {"ts": "video/mp2t", "fmp4": "video/iso.segment", "aac": "audio/aac", "mp3": "audio/mpeg"}
# The master playlist's variants: name, BANDWIDTH, CODECS. The video one comes
# first, the low one before the high one, so "take the first" is caught.
VARIANTS = (("video", 2000000, "avc1.64001f,%s"), ("lo", 64000, "%s"), ("hi", 192000, "%s"))
PLAYLIST_TYPE = "application/vnd.apple.mpegurl"


def tone_frequency(channel_id):
    """Each channel sounds different: 330 Hz to 1270 Hz in 20 Hz steps."""
    return 330 + (zlib.crc32(channel_id.encode()) % 48) * 20


RATE, FRAME, MP3_FRAME = 48000, 1024, 1152  # AAC frames of 1024 samples, MP3 ones of 1152
MP3_KBPS = (0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320)
MP3_RATES = (44100, 48000, 32000)


def splice_base(k):
    """Where the clock of the k-th spliced-in piece starts, in seconds: jumps
    forward and, every third splice, back."""
    return 36000 * (k % 3) + 10 * k if k else 0


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


def adts_frames(data):
    frames, i = [], 0
    while i + 7 <= len(data) and data[i] == 0xFF and data[i + 1] & 0xF6 == 0xF0:
        size = ((data[i + 3] & 3) << 11) | (data[i + 4] << 3) | (data[i + 5] >> 5)
        frames.append(data[i:i + size])
        i += size
    return frames


def mp3_frames(data):
    """MPEG-1 Layer III frames (what lamemp3enc writes at 48 kHz)."""
    frames, i = [], 0
    while i + 4 <= len(data) and data[i] == 0xFF and data[i + 1] & 0xFE == 0xFA:
        kbps, rate = MP3_KBPS[data[i + 2] >> 4], MP3_RATES[(data[i + 2] >> 2) & 3]
        size = 144000 * kbps // rate + ((data[i + 2] >> 1) & 1)
        frames.append(data[i:i + size])
        i += size
    return frames


def syncsafe(n):
    return bytes(((n >> s) & 0x7F) for s in (21, 14, 7, 0))


def id3_timestamp(pts):
    """The ID3v2 tag that opens a packed-audio segment (RFC 8216 section 3.4):
    a PRIV frame with the 33-bit MPEG-2 timestamp of the first sample."""
    data = b"com.apple.streaming.transportStreamTimestamp\0" + struct.pack(">Q", pts % (1 << 33))
    frame = b"PRIV" + syncsafe(len(data)) + b"\0\0" + data
    return b"ID3\x04\x00\x00" + syncsafe(len(frame)) + frame


def box(kind, *payload):
    body = b"".join(payload)
    return struct.pack(">I4s", 8 + len(body), kind) + body


def full_box(kind, version, flags, *payload):
    return box(kind, struct.pack(">I", (version << 24) | flags), *payload)


def descriptor(tag, *payload):
    body = b"".join(payload)
    return bytes((tag, len(body))) + body


MATRIX = struct.pack(">9I", 0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000)


def mp4_init(adts_header):
    """ftyp + moov of a fragmented MP4 with one AAC track (timescale RATE),
    its AudioSpecificConfig taken from an ADTS header."""
    profile, rate_index = (adts_header[2] >> 6) + 1, (adts_header[2] >> 2) & 15
    channels = ((adts_header[2] & 1) << 2) | (adts_header[3] >> 6)
    asc = struct.pack(">H", (profile << 11) | (rate_index << 7) | (channels << 3))
    esds = full_box(b"esds", 0, 0, descriptor(
        3, struct.pack(">HB", 1, 0),
        descriptor(4, struct.pack(">BB3sII", 0x40, 0x15, b"\0\0\0", 128000, 128000), descriptor(5, asc)),
        descriptor(6, b"\x02")))
    mp4a = box(b"mp4a", bytes(6), struct.pack(">H", 1), bytes(8),
               struct.pack(">HHHHI", channels, 16, 0, 0, RATE << 16), esds)
    empty = struct.pack(">I", 0)
    stbl = box(b"stbl", full_box(b"stsd", 0, 0, struct.pack(">I", 1), mp4a), full_box(b"stts", 0, 0, empty),
               full_box(b"stsc", 0, 0, empty), full_box(b"stsz", 0, 0, empty, empty), full_box(b"stco", 0, 0, empty))
    minf = box(b"minf", full_box(b"smhd", 0, 0, bytes(4)),
               box(b"dinf", full_box(b"dref", 0, 0, struct.pack(">I", 1), full_box(b"url ", 0, 1))), stbl)
    mdia = box(b"mdia", full_box(b"mdhd", 0, 0, struct.pack(">IIIIHH", 0, 0, RATE, 0, 0x55C4, 0)),
               full_box(b"hdlr", 0, 0, bytes(4), b"soun", bytes(12), b"SoundHandler\0"), minf)
    tkhd = full_box(b"tkhd", 0, 3, struct.pack(">IIIII", 0, 0, 1, 0, 0), bytes(8),
                    struct.pack(">HHHH", 0, 0, 0x100, 0), MATRIX, struct.pack(">II", 0, 0))
    mvhd = full_box(b"mvhd", 0, 0, struct.pack(">IIIIIH", 0, 0, RATE, 0, 0x10000, 0x100), bytes(10), MATRIX,
                    bytes(24), struct.pack(">I", 2))
    mvex = box(b"mvex", full_box(b"trex", 0, 0, struct.pack(">IIIII", 1, 1, FRAME, 0, 0)))
    ftyp = box(b"ftyp", b"iso6", struct.pack(">I", 0), b"iso6cmfcmp41")
    return ftyp + box(b"moov", mvhd, box(b"trak", tkhd, mdia), mvex)


def mp4_fragment(frames, sequence, decode_time):
    """styp + moof + mdat of AAC frames (ADTS headers dropped): mfhd carries the
    fragment's sequence number, tfdt where it starts on the track's clock."""
    raw = [f[7 if f[1] & 1 else 9:] for f in frames]

    def moof(offset):
        tfhd = full_box(b"tfhd", 0, 0x020028, struct.pack(">III", 1, FRAME, 0x02000000))
        tfdt = full_box(b"tfdt", 1, 0, struct.pack(">Q", decode_time))
        trun = full_box(b"trun", 0, 0x000201, struct.pack(">Ii", len(raw), offset),
                        b"".join(struct.pack(">I", len(r)) for r in raw))
        return box(b"moof", full_box(b"mfhd", 0, 0, struct.pack(">I", sequence)), box(b"traf", tfhd, tfdt, trun))

    size = len(moof(0))
    return box(b"styp", b"msdh", struct.pack(">I", 0), b"msdhmsix") + moof(size + 8) + box(b"mdat", *raw)


def run(argv, data=None):
    return subprocess.run(argv, check=True, input=data, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout


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


def channel_key(channel):
    return hashlib.md5(b"key:" + channel.encode()).digest()


def channel_iv(channel):
    return hashlib.md5(b"iv:" + channel.encode()).digest()


class Radio:
    """Shared state: the clock of the live stream, recordings, settings,
    faults, counters."""

    def __init__(self, args):
        self.args = args
        self.work = args.work_dir
        self.frames = max(1, round(args.segment_duration * RATE / FRAME))
        self.samples = self.frames * FRAME  # per segment, on the shared schedule
        self.duration = self.samples / RATE
        # MP3 frames do not fit the schedule exactly: segment m holds MP3
        # frames [m * samples // 1152, (m + 1) * samples // 1152), which
        # repeats after mp3_period segments (mp3_cycle frames).
        self.mp3_period = MP3_FRAME // math.gcd(self.samples, MP3_FRAME)
        self.mp3_cycle = self.mp3_period * self.samples // MP3_FRAME
        # On the air for a while already: the playlist is full from the start,
        # as a real live stream's is.
        self.start = time.monotonic() - args.window * self.duration
        self.lock = threading.Lock()
        self.making = threading.RLock()
        self.recordings = {}  # (channel, kind) -> recording
        self.cache = {}  # finished segment bytes, newest last
        self.faults = {}  # channel id or "*" -> fault name
        self.settings = {"*": dict(DEFAULTS)}  # channel id or "*" -> {name: value}
        self.counts = {}
        self.connections = set()
        self.fault_changed = threading.Condition(self.lock)

    def fault_for(self, channel):
        with self.lock:
            return self.faults.get(channel, self.faults.get("*", "none"))

    def setting(self, channel, name):
        with self.lock:
            return self.settings.get(channel, {}).get(name, self.settings["*"][name])

    def configure(self, channel, values):
        with self.lock:
            self.settings.setdefault(channel, {}).update(values)

    def count(self, *keys):
        with self.lock:
            for key in keys:
                self.counts[key] = self.counts.get(key, 0) + 1

    def recording(self, channel, kind):
        """The channel's tone, recorded once per kind: "adts" (the AAC frames
        of one segment), "ts" (those frames in MPEG-TS), "mp3" (mp3_cycle
        MP3 frames)."""
        with self.lock:
            found = self.recordings.get((channel, kind))
        if found is not None:
            return found
        with self.making:
            if (channel, kind) not in self.recordings:
                self.recordings[(channel, kind)] = self.record(channel, kind)
            return self.recordings[(channel, kind)]

    def record(self, channel, kind):
        tone = ["gst-launch-1.0", "-q", "audiotestsrc", "wave=sine", "volume=0.5",
                "freq=%d" % tone_frequency(channel), "!", "audio/x-raw,rate=%d,channels=2" % RATE, "!"]
        out = ["!", "fdsink", "fd=1"]
        if kind == "adts":
            # The encoder's first frame is mostly its start-up delay: skip it.
            tone[4:4] = ["num-buffers=%d" % (self.frames + 2), "samplesperbuffer=%d" % FRAME]
            frames = adts_frames(run(tone + ["avenc_aac", "bitrate=128000", "!", "aacparse", "!",
                                             "audio/mpeg,stream-format=adts"] + out))[1:self.frames + 1]
            assert len(frames) == self.frames, "short AAC recording"
            return frames
        if kind == "ts":
            path = os.path.join(self.work, "seg-%s.aac" % channel)
            with open(path, "wb") as f:
                f.write(b"".join(self.recording(channel, "adts")))
            return run(["gst-launch-1.0", "-q", "filesrc", "location=" + path, "!", "aacparse", "!",
                        "mpegtsmux"] + out)
        # MP3 keeps a bit reservoir across frames, so the cycle's frames are
        # cut from one continuous encoding: the stream only jumps where the
        # cycle starts over.
        tone[4:4] = ["num-buffers=%d" % (self.mp3_cycle + 6), "samplesperbuffer=%d" % MP3_FRAME]
        frames = mp3_frames(run(tone + ["lamemp3enc", "target=bitrate", "bitrate=128", "cbr=true", "!",
                                        "mpegaudioparse"] + out))[2:self.mp3_cycle + 2]
        assert len(frames) == self.mp3_cycle, "short MP3 recording"
        return frames

    def splice(self, n, every):
        """(k, m): how many splices came before segment n (each one every
        `every` segments after the first) and n's place since the last one."""
        k = n // every - self.args.first_sequence // every if every else 0
        return (k, n % every) if k > 0 else (0, n)

    def is_splice(self, n, every):
        return every > 0 and n % every == 0 and n > self.args.first_sequence

    def timing(self, fmt, n, every):
        """(first sample on the stream's 48 kHz clock, samples) of segment n."""
        k, m = self.splice(n, every)
        base = splice_base(k) * RATE
        if fmt != "mp3":
            return base + m * self.samples, self.samples
        first, end = (i * self.samples // MP3_FRAME for i in (m, m + 1))
        return base + first * MP3_FRAME, (end - first) * MP3_FRAME

    def media_segment(self, channel, fmt, n, every):
        """Segment n, its clock and continuity moved on so that the stream
        runs on as a live one does and jumps where a splice is."""
        first, _ = self.timing(fmt, n, every)
        pts = first * 90000 // RATE
        k, m = self.splice(n, every)
        if fmt == "ts":
            return shift_ts(self.recording(channel, "ts"), pts, m)
        if fmt == "fmp4":
            return mp4_fragment(self.recording(channel, "adts"), n, first)
        if fmt == "aac":
            return id3_timestamp(pts) + b"".join(self.recording(channel, "adts"))
        p = m % self.mp3_period
        cut = slice(p * self.samples // MP3_FRAME, (p + 1) * self.samples // MP3_FRAME)
        return id3_timestamp(pts) + b"".join(self.recording(channel, "mp3")[cut])

    def segment(self, channel, fmt, n):
        """Segment n as served now (encrypted when the channel asks), cached."""
        every, key = int(self.setting(channel, "discontinuity")), self.setting(channel, "key")
        ident = (channel, fmt, n, every, key)
        with self.lock:
            data = self.cache.get(ident)
        if data is not None:
            return data
        data = self.media_segment(channel, fmt, n, every)
        if key != "none":
            iv = channel_iv(channel) if key == "aes" else n.to_bytes(16, "big")
            data = run(["openssl", "enc", "-aes-128-cbc", "-K", channel_key(channel).hex(), "-iv", iv.hex()], data)
        with self.lock:
            self.cache[ident] = data
            while len(self.cache) > 256:
                del self.cache[next(iter(self.cache))]
        return data

    def init_section(self, channel):
        return mp4_init(self.recording(channel, "adts")[0])

    def live_edge(self):
        """Sequence number of the newest complete segment."""
        return self.args.first_sequence + int((time.monotonic() - self.start) / self.duration)

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
        newest = self.live_edge()
        oldest = max(self.args.first_sequence, newest - self.args.window + 1)
        durations = [self.timing(fmt, n, every)[1] / RATE for n in range(oldest, newest + 1)]
        lines = ["#EXTM3U", "#EXT-X-VERSION:%d" % (6 if fmt == "fmp4" else 3),
                 "#EXT-X-TARGETDURATION:%d" % math.ceil(max(durations)),
                 "#EXT-X-MEDIA-SEQUENCE:%d" % oldest]
        if every:
            # Splices still in the window keep their tag; the ones that left it
            # are counted here.
            k = self.splice(oldest, every)[0] - (1 if self.is_splice(oldest, every) else 0)
            lines.append("#EXT-X-DISCONTINUITY-SEQUENCE:%d" % k)
        if fmt == "fmp4":
            # Before the key: the init section is not encrypted.
            lines.append('#EXT-X-MAP:URI="init.mp4"')
        if key != "none":
            iv = ",IV=0x" + channel_iv(channel).hex() if key == "aes" else ""
            lines.append('#EXT-X-KEY:METHOD=AES-128,URI="key.bin"' + iv)
        for n, d in zip(range(oldest, newest + 1), durations):
            if self.is_splice(n, every):
                lines.append("#EXT-X-DISCONTINUITY")
            lines += ["#EXTINF:%.3f," % d, "seg%d.%s" % (n, EXTENSIONS[fmt])]
        return ("\n".join(lines) + "\n").encode()

    def in_window(self, n):
        newest = self.live_edge()
        return newest - self.args.window - 2 < n <= newest + 1


def segment_number(name):
    """(format, n) of a segment file name, or None."""
    stem, _, ext = name.partition(".")
    if ext in FORMAT_OF and stem.startswith("seg") and stem[3:].isdigit():
        return FORMAT_OF[ext], int(stem[3:])
    return None


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

    def head(self, status, length, ctype, headers=()):
        lines = ["HTTP/1.1 %d %s" % (status, self.responses.get(status, ("",))[0]),
                 "Server: " + self.version_string(), "Date: " + email.utils.formatdate(usegmt=True),
                 "Content-Type: " + ctype, "Content-Length: %d" % length, "Cache-Control: no-cache"]
        lines += ["%s: %s" % h for h in headers]
        if self.close_connection:
            lines.append("Connection: close")
        self.log_request(status, length)
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def reply(self, status, body=b"", ctype="text/plain", headers=()):
        # Head and body in one send: written apart, the body would wait for
        # the client's delayed acknowledgement of the head.
        self.wfile.write(self.head(status, len(body), ctype, headers) + (b"" if self.command == "HEAD" else body))

    def do_HEAD(self):
        self.do_GET()

    def redirect(self, scheme, port, path):
        self.reply(302, b"", headers=[("Location", "%s://127.0.0.1:%d%s" % (scheme, port, path))])

    def do_GET(self):
        radio = self.server.radio
        parts = urllib.parse.urlsplit(self.path).path.split("/")
        moved = len(parts) > 1 and parts[1] == "moved"
        if moved:
            del parts[1]
        # ['', 'liveradio', id, file]
        if len(parts) != 4 or parts[1] != "liveradio" or not parts[2].isalnum():
            return self.reply(404, b"not found\n")
        channel, name = parts[2], parts[3]
        variant = name[:-5] if name.endswith(".m3u8") and name[:-5] in [v[0] for v in VARIANTS] else None
        segment = segment_number(name)
        plain = self.server.plain
        if plain or moved:
            radio.count("%s:%s" % (channel, "plain" if plain else "moved"))
        elif name == "playlist.m3u8":
            radio.count(channel + ":playlist")
        elif variant:
            radio.count(channel + ":media", channel + ":" + variant)
        elif name in ("init.mp4", "key.bin"):
            radio.count(channel + ":" + name[:-4])
        else:
            radio.count(channel + ":segment")
        fault = "none" if plain or moved else radio.fault_for(channel)
        if fault == "refuse":
            self.close_connection = True
            return self.connection.close()
        if fault in ("404", "500", "403"):
            return self.reply(int(fault), b"fault\n")
        if fault == "redirect":
            return self.redirect("http", radio.plain_port, self.path)
        if fault == "redirect-https":
            return self.redirect("https", radio.https_port, "/moved" + self.path)
        media = segment is not None or name == "init.mp4"
        if fault == "segment-redirect" and media:
            return self.redirect("http", radio.plain_port, self.path)
        if fault == "segment-redirect-https" and media:
            return self.redirect("https", radio.https_port, "/moved" + self.path)
        if name == "playlist.m3u8" and radio.setting(channel, "master") == "1":
            return self.reply(200, radio.master_playlist(channel), PLAYLIST_TYPE)
        if name == "playlist.m3u8" or variant:
            return self.reply(200, radio.playlist(channel), PLAYLIST_TYPE)
        if name == "key.bin":
            return self.reply(200, channel_key(channel), "application/octet-stream")
        if name == "init.mp4":
            return self.reply(200, radio.init_section(channel), "audio/mp4")
        if segment is None:
            return self.reply(404, b"not found\n")
        fmt, n = segment
        if not radio.in_window(n):
            return self.reply(404, b"gone\n")
        data = radio.segment(channel, fmt, n)
        if fault == "garbage":
            data = bytes((i * 7919 + 13) & 0xFF for i in range(len(data)))
        if fault in ("drop", "stall"):
            self.close_connection = True
            self.wfile.write(self.head(200, len(data), CONTENT_TYPES[fmt]) + data[: len(data) // 3])
            if fault == "stall":
                with radio.lock:
                    radio.fault_changed.wait_for(lambda: radio.faults.get(channel, radio.faults.get("*")) != "stall")
            return
        if fault == "slow" and self.command != "HEAD":
            # Ten pieces spread over the segment's playing time, as a server
            # that sends what the encoder has made so far.
            pieces = 10
            pause = radio.timing(fmt, n, int(radio.setting(channel, "discontinuity")))[1] / RATE / pieces
            bounds = [len(data) * i // pieces for i in range(pieces + 1)]
            self.wfile.write(self.head(200, len(data), CONTENT_TYPES[fmt]) + data[: bounds[1]])
            for i in range(1, pieces):
                time.sleep(pause)
                self.wfile.write(data[bounds[i]:bounds[i + 1]])
            return
        self.reply(200, data, CONTENT_TYPES[fmt])


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def get_request(self):
        sock, addr = self.socket.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock, addr

    def handle_error(self, request, client_address):
        pass  # clients that hang up mid-reply are expected here


class TlsServer(ThreadingServer):
    """Wraps each accepted socket with the certificate that the current fault
    asks for, so switching to a wrong certificate affects new connections."""

    def get_request(self):
        sock, addr = super().get_request()
        ctx = self.wrong_ctx if self.radio.fault_for("*") == "wrongcert" else self.good_ctx
        return ctx.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def finish_request(self, request, client_address):
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


def parse_settings(query):
    """{name: value} of a /config query, or None when a name or value is unknown."""
    values = {}
    for name, value in query:
        if name == "channel":
            continue
        allowed = SETTINGS.get(name, ())
        if not (value in allowed if allowed is not None else value.isdigit()):
            return None
        values[name] = str(int(value)) if allowed is None else value
    return values


class ControlHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        radio = self.server.radio
        url = urllib.parse.urlsplit(self.path)
        pairs = urllib.parse.parse_qsl(url.query, keep_blank_values=True)
        query = dict(pairs)
        if url.path == "/fault":
            mode, channel = query.get("mode", "none"), query.get("channel", "*")
            if mode not in FAULTS:
                return self.answer(400, {"error": "unknown fault"})
            self.server.set_fault(channel, mode)
            return self.answer(200, {"channel": channel, "mode": mode})
        if url.path == "/config":
            channel, values = query.get("channel", "*"), parse_settings(pairs)
            if values is None:
                return self.answer(400, {"error": "unknown setting or value"})
            radio.configure(channel, values)
            return self.answer(200, {name: radio.setting(channel, name) for name in SETTINGS})
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
        head = "HTTP/1.0 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % (
            status, self.responses[status][0], len(body))
        self.wfile.write(head.encode() + body)


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
    p.add_argument("--config", action="append", default=[], metavar="NAME=VALUE",
                   help="setting of every channel at start (as /config takes it)")
    p.add_argument("--channels", default="", help="comma-separated ids whose segments are made at start")
    p.add_argument("--verbose", action="store_true")
    args = p.parse_args()
    os.makedirs(args.work_dir, exist_ok=True)
    start_settings = parse_settings(tuple(c.partition("=")[::2] for c in args.config))
    if start_settings is None:
        p.error("unknown --config setting or value")

    ca, ca_key = make_ca(args.ca_dir)
    good = make_leaf(args.work_dir, "server", ca, ca_key)
    other_ca, other_key = make_ca(os.path.join(args.work_dir, "other-ca"))
    wrong = make_leaf(args.work_dir, "wrong", other_ca, other_key)

    radio = Radio(args)
    radio.faults["*"] = args.fault
    radio.configure("*", start_settings)
    for channel in filter(None, args.channels.split(",")):
        radio.recording(channel, "ts")
        if radio.setting("*", "format") == "mp3":
            radio.recording(channel, "mp3")

    tls = TlsServer(("127.0.0.1", args.port), Handler, bind_and_activate=True)
    tls.radio, tls.plain = radio, False
    tls.good_ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.good_ctx.load_cert_chain(*good)
    tls.wrong_ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.wrong_ctx.load_cert_chain(*wrong)
    port = radio.https_port = tls.server_address[1]

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
