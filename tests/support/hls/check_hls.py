#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks what hls_server.py serves, without any player of ours: for every
format, key, master and discontinuity setting it fetches the live playlist and
its segments over HTTPS (certificate checked), decrypts them, checks that
their timestamps run on (and jump at each splice), decodes every run between
splices with a fresh gst-launch-1.0 decodebin and checks the channel's tone.
Then the faults that move requests elsewhere, the counters and keep-alive.
Prints one line per check; exits non-zero on the first failure.
"""

import argparse
import array
import http.client
import itertools
import json
import math
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True
from hls_server import tone_frequency  # noqa: E402

RATE = 48000
FIRST = 100  # the server's first media sequence number


class Radio:
    def __init__(self, args):
        self.tmp = tempfile.TemporaryDirectory(prefix="check-hls-")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(HERE, "hls_server.py"), "--ca-dir", self.tmp.name + "/ca",
             "--work-dir", self.tmp.name + "/work", "--segment-duration", str(args.segment_duration)],
            stdout=subprocess.PIPE, text=True)
        ready, port, control, ca, plain = self.proc.stdout.readline().split()
        assert ready == "READY"
        self.port, self.control_port, self.plain_port = int(port), int(control), int(plain)
        self.ctx = ssl.create_default_context(cafile=ca)
        self.conn = None

    def control(self, path):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.control_port, path)) as r:
            return json.load(r)

    def get(self, url, follow=True):
        """(final url, status, headers, body) over one kept-alive HTTPS connection;
        redirects are followed only to https."""
        for _ in range(5):
            parts = urllib.parse.urlsplit(url)
            assert parts.scheme == "https" and parts.port == self.port, "would leave HTTPS: " + url
            if self.conn is None:
                self.conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.ctx)
            try:
                self.conn.request("GET", parts.path)
                r = self.conn.getresponse()
                body = r.read()
            except (http.client.HTTPException, OSError):
                self.conn.close()  # a fault switch closed the kept-alive connection: once more
                self.conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=self.ctx)
                self.conn.request("GET", parts.path)
                r = self.conn.getresponse()
                body = r.read()
            if r.status != 302 or not follow:
                return url, r.status, r.headers, body
            url = urllib.parse.urljoin(url, r.headers["Location"])
        raise AssertionError("redirect loop")

    def url(self, channel):
        return "https://127.0.0.1:%d/liveradio/%s/playlist.m3u8" % (self.port, channel)


def attributes(line):
    out = {}
    for item in line.partition(":")[2].replace('"', "").split(","):
        k, _, v = item.partition("=")
        if v:
            out[k] = v
        elif out:
            out[list(out)[-1]] += "," + k  # CODECS="a,b"
    return out


def parse_media(url, text):
    lines = text.splitlines()
    assert lines[0] == "#EXTM3U"
    info = {"segments": [], "key": None, "map": None, "dseq": 0}
    seq = pending_disc = 0
    for line in lines[1:]:
        if line.startswith("#EXT-X-MEDIA-SEQUENCE:"):
            seq = int(line.split(":")[1])
        elif line.startswith("#EXT-X-DISCONTINUITY-SEQUENCE:"):
            info["dseq"] = int(line.split(":")[1])
        elif line == "#EXT-X-DISCONTINUITY":
            pending_disc = 1
        elif line.startswith("#EXT-X-KEY:"):
            info["key"] = attributes(line)
        elif line.startswith("#EXT-X-MAP:"):
            info["map"] = urllib.parse.urljoin(url, attributes(line)["URI"])
        elif line.startswith("#EXTINF:"):
            duration = float(line[8:].split(",")[0])
        elif line and not line.startswith("#"):
            info["segments"].append({"seq": seq, "url": urllib.parse.urljoin(url, line), "duration": duration,
                                     "disc": pending_disc})
            seq, pending_disc = seq + 1, 0
    d = info["dseq"]
    for s in info["segments"]:
        d += s["disc"]
        s["dseq"] = d
    return info


def media_playlist(radio, channel):
    """(url, parsed media playlist); from a master, the best audio-only variant."""
    url, status, _, body = radio.get(radio.url(channel))
    assert status == 200, status
    text = body.decode()
    if "#EXT-X-STREAM-INF" in text:
        lines = text.splitlines()
        variants = [(int(attributes(l)["BANDWIDTH"]), lines[i + 1]) for i, l in enumerate(lines)
                    if l.startswith("#EXT-X-STREAM-INF") and "avc1" not in attributes(l).get("CODECS", "")]
        url = urllib.parse.urljoin(url, max(variants)[1])
        url, status, _, body = radio.get(url)
        text = body.decode()
    return url, parse_media(url, text)


def decrypt(data, key, iv):
    return subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", key.hex(), "-iv", iv.hex()],
                          input=data, stdout=subprocess.PIPE, check=True).stdout


def first_timestamp(fmt, data):
    """(start on a 90 kHz clock, fragment sequence number or None)."""
    if fmt in ("aac", "mp3"):
        owner = b"com.apple.streaming.transportStreamTimestamp\0"
        assert data[:3] == b"ID3" and owner in data[:80], "no ID3 timestamp"
        at = data.index(owner) + len(owner)
        return struct.unpack(">Q", data[at:at + 8])[0], None
    if fmt == "fmp4":
        found, i = {}, 0
        while i + 8 <= len(data):
            size, kind = struct.unpack(">I4s", data[i:i + 8])
            if kind in (b"moof", b"traf"):
                i += 8
                continue
            if kind == b"mfhd":
                found["seq"] = struct.unpack(">I", data[i + 12:i + 16])[0]
            if kind == b"tfdt":
                found["tfdt"] = struct.unpack(">Q", data[i + 12:i + 20])[0]
            i += size
        return found["tfdt"] * 90000 // RATE, found["seq"]
    for i in range(0, len(data) - 187, 188):
        off = i + 4 + (1 + data[i + 4] if data[i + 3] & 0x20 else 0)
        if data[i + 1] & 0x40 and data[off:off + 3] == b"\0\0\1" and data[off + 3] >= 0xC0:
            h = data[off + 9:off + 14]
            return ((h[0] >> 1) & 7) << 30 | h[1] << 22 | (h[2] >> 1) << 15 | h[3] << 7 | h[4] >> 1, None
    raise AssertionError("no PES timestamp")


def decode(data):
    """Mono 48 kHz samples that gst-launch-1.0's decodebin makes of data."""
    out = subprocess.run(["gst-launch-1.0", "-q", "fdsrc", "fd=0", "!", "decodebin", "!", "audioconvert", "!",
                          "audioresample", "!", "audio/x-raw,format=S16LE,channels=1,rate=48000", "!",
                          "fdsink", "fd=1"], input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         timeout=60)
    assert out.returncode == 0, out.stderr.decode()[-500:]
    samples = array.array("h")
    samples.frombytes(out.stdout[: len(out.stdout) // 2 * 2])
    return samples


def goertzel(block, freq):
    """Share of the block's energy at freq: 1.0 for a clean sine of freq."""
    c = 2 * math.cos(2 * math.pi * freq / RATE)
    s1 = s2 = 0.0
    for x in block:
        s1, s2 = x + c * s1 - s2, s1
    energy = sum(x * x for x in block)
    return 2 * (s1 * s1 + s2 * s2 - c * s1 * s2) / len(block) / energy if energy else 0.0


def tone_of(samples):
    """(the channel tone, 330 Hz to 1270 Hz, strongest in the middle 0.1 s;
    median share of the energy at that tone over all 0.1 s blocks)."""
    n = RATE // 10
    blocks = [samples[at:at + n] for at in range(0, len(samples) - n + 1, n)]
    if not blocks:
        return 0, 0.0, 0.0
    middle = blocks[len(blocks) // 2]
    freq = max(range(330, 1271, 20), key=lambda f: goertzel(middle, f))
    shares = sorted(goertzel(b, freq) for b in blocks)
    return freq, shares[len(shares) // 2], shares[0]


def check_stream(radio, channel, fmt, key, master, every):
    radio.control("/config?channel=%s&format=%s&key=%s&master=%s&discontinuity=%d" % (channel, fmt, key, master, every))
    url, media = media_playlist(radio, channel)
    segs = media["segments"]
    assert (media["map"] is not None) == (fmt == "fmp4")
    init = radio.get(media["map"])[3] if media["map"] else b""
    if key != "none":
        k = media["key"]
        assert k["METHOD"] == "AES-128" and ("IV" in k) == (key == "aes"), k
        secret = radio.get(urllib.parse.urljoin(url, k["URI"]))[3]
    previous = None
    runs = []
    for s in segs:
        _, status, _, data = radio.get(s["url"])
        assert status == 200, (s["url"], status)
        if key != "none":
            iv = bytes.fromhex(k["IV"][2:]) if "IV" in k else s["seq"].to_bytes(16, "big")
            data = decrypt(data, secret, iv)
        start, fragment = first_timestamp(fmt, data)
        if fragment is not None:
            assert fragment == s["seq"], "mfhd %d for segment %d" % (fragment, s["seq"])
        if previous:
            step = start - previous[0]
            runs_on = abs(step - previous[1] * 90000) < 100
            assert runs_on != bool(s["disc"]), "segment %d: clock moved %d ticks" % (s["seq"], step)
        previous = (start, s["duration"])
        if s["disc"] or not runs:
            runs.append([init, 0.0])
        runs[-1][0] += data
        runs[-1][1] += s["duration"]
    # Splices come before every multiple of N after the first segment (100).
    assert [s["disc"] for s in segs] == [int(every > 0 and s["seq"] % every == 0) for s in segs], segs
    assert [s["dseq"] for s in segs] == [s["seq"] // every - FIRST // every if every else 0 for s in segs], segs
    want = tone_frequency(channel)
    for data, seconds in runs:
        samples = decode(data)
        got, share, worst = tone_of(samples)
        decoded = len(samples) / RATE
        ok = got == want and share > 0.9 and abs(decoded - seconds) < 0.02
        print("%s %-4s %-7s master=%s disc=%d: %d segments (dseq %d..%d), %.3f s decoded of %.3f s, %d Hz "
              "(want %d), tone share %.3f (worst 0.1 s %.3f)"
              % ("ok  " if ok else "FAIL", fmt, key, master, every, len(segs), segs[0]["dseq"], segs[-1]["dseq"],
                 decoded, seconds, got, want, share, worst))
        assert ok
    return media


def check_sliding(radio, channel, every):
    """Segments still listed after the window slid, from every place between
    splices, keep their discontinuity sequence numbers."""
    radio.control("/config?channel=%s&discontinuity=%d" % (channel, every))
    seen = [media_playlist(radio, channel)[1]["segments"]]
    deadline = time.monotonic() + 10 * every
    while seen[-1][0]["seq"] < seen[0][0]["seq"] + every + 1 and time.monotonic() < deadline:
        time.sleep(0.05)
        now = media_playlist(radio, channel)[1]["segments"]
        if now[0]["seq"] != seen[-1][0]["seq"]:
            seen.append(now)
    for before, after in zip(seen, seen[1:]):
        common = {s["seq"]: s["dseq"] for s in before}
        shared = [(s["seq"], common[s["seq"]], s["dseq"]) for s in after if s["seq"] in common]
        assert shared and all(a == b for _, a, b in shared), shared
    print("ok   window slid %d -> %d with splices every %d: discontinuity sequence numbers kept" %
          (seen[0][0]["seq"], seen[-1][0]["seq"], every))


def raw_get(radio, path, wait=None):
    """(status line, Content-Length, body bytes) until the server closes; with
    wait, a callable run once the server has gone silent for a while."""
    sock = radio.ctx.wrap_socket(socket.create_connection(("127.0.0.1", radio.port)), server_hostname="127.0.0.1")
    sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path).encode())
    sock.settimeout(1 if wait else 10)
    got = b""
    while True:
        try:
            piece = sock.recv(65536)
        except socket.timeout:
            wait()
            wait = None
            sock.settimeout(10)
            continue
        if not piece:
            break
        got += piece
    sock.close()
    head, _, body = got.partition(b"\r\n\r\n")
    length = [l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0]
    return head.split(b"\r\n")[0].decode(), int(length.split(b":")[1]), body


def check_old_faults(radio, channel):
    """The faults the player tests already use still do what README.md says."""
    radio.control("/config?channel=%s&format=ts&key=none&master=0&discontinuity=0" % channel)
    path = urllib.parse.urlsplit(media_playlist(radio, channel)[1]["segments"][-1]["url"]).path
    for mode in ("404", "403", "500", "redirect"):
        radio.control("/fault?channel=%s&mode=%s" % (channel, mode))
        _, status, headers, _ = radio.get("https://127.0.0.1:%d%s" % (radio.port, path), follow=False)
        assert status == (302 if mode == "redirect" else int(mode)), (mode, status)
        if mode == "redirect":
            assert headers["Location"] == "http://127.0.0.1:%d%s" % (radio.plain_port, path)
    radio.control("/fault?channel=%s&mode=garbage" % channel)
    status, length, body = raw_get(radio, path)
    assert status.endswith("200 OK") and len(body) == length and body[0] != 0x47, status
    radio.control("/fault?channel=%s&mode=drop" % channel)
    status, length, body = raw_get(radio, path)
    assert len(body) == length // 3, (len(body), length)
    radio.control("/fault?channel=%s&mode=stall" % channel)
    status, length, body = raw_get(radio, path, lambda: radio.control("/fault?channel=%s&mode=none" % channel))
    assert len(body) == length // 3, (len(body), length)
    print("ok   404, 403, 500, redirect, garbage, drop and stall as before")


def check_faults(radio, channel):
    check_old_faults(radio, channel)
    radio.control("/config?channel=%s&format=ts&key=none&master=1&discontinuity=0" % channel)
    radio.control("/reset-stats")
    radio.control("/fault?channel=%s&mode=redirect-https" % channel)
    url, media = media_playlist(radio, channel)
    final = radio.get(media["segments"][-1]["url"])
    stats = radio.control("/stats")
    assert "/moved/" in url and final[1] == 200 and stats.get(channel + ":moved") == 3, (url, stats)
    print("ok   redirect-https: master, variant and segment served under /moved/", stats)

    radio.control("/reset-stats")
    radio.control("/fault?channel=%s&mode=segment-redirect" % channel)
    url, media = media_playlist(radio, channel)
    _, status, headers, _ = radio.get(media["segments"][0]["url"], follow=False)
    stats = radio.control("/stats")
    assert status == 302 and headers["Location"].startswith("http://127.0.0.1:%d/" % radio.plain_port)
    assert stats.get(channel + ":plain", 0) == 0 and stats.get(channel + ":playlist") == 1, stats
    print("ok   segment-redirect: playlist served, segment sent to", headers["Location"], stats)

    radio.control("/config?channel=%s&format=fmp4" % channel)
    radio.control("/reset-stats")
    radio.control("/fault?channel=%s&mode=segment-redirect-https" % channel)
    url, media = media_playlist(radio, channel)
    init = radio.get(media["map"])
    seg = radio.get(media["segments"][0]["url"])
    stats = radio.control("/stats")
    assert "/moved/" not in url and "/moved/" in init[0] and "/moved/" in seg[0] and seg[1] == 200, (url, seg[0])
    assert stats.get(channel + ":moved") == 2 and stats.get(channel + ":init") == 1, stats
    print("ok   segment-redirect-https: init section and segment served under /moved/", stats)

    radio.control("/fault?channel=%s&mode=slow" % channel)
    url, media = media_playlist(radio, channel)
    path = urllib.parse.urlsplit(media["segments"][-1]["url"]).path
    sock = radio.ctx.wrap_socket(socket.create_connection(("127.0.0.1", radio.port)), server_hostname="127.0.0.1")
    begin = time.monotonic()
    sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
    got, arrivals, length = b"", [], None
    while length is None or len(got) < length:
        got += sock.recv(65536)
        arrivals.append((time.monotonic() - begin, len(got)))
        if length is None and b"\r\n\r\n" in got:
            head, _, got = got.partition(b"\r\n\r\n")
            length = int([l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0].split(b":")[1])
    sock.close()
    first_body = [t for t, n in arrivals if n > 0][0] if arrivals else 0
    # The server pauses nine times a tenth of the segment: never quicker.
    assert len(arrivals) >= 2 and arrivals[-1][0] >= 0.89 * media["segments"][-1]["duration"], arrivals
    print("ok   slow: %d bytes in %d reads, first after %.3f s, all after %.3f s (segment %.3f s)" %
          (length, len(arrivals), first_body, arrivals[-1][0], media["segments"][-1]["duration"]))

    radio.control("/fault?channel=%s&mode=none" % channel)
    radio.control("/config?channel=%s&master=0" % channel)
    times = []
    radio.get(radio.url(channel))
    sock = radio.conn.sock
    for _ in range(50):
        begin = time.monotonic()
        assert radio.get(radio.url(channel))[1] == 200
        times.append(time.monotonic() - begin)
    assert radio.conn.sock is sock, "connection not kept alive"
    times.sort()
    print("ok   keep-alive: 50 playlist requests on one connection, median %.2f ms, worst %.2f ms" %
          (times[25] * 1000, times[-1] * 1000))


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--segment-duration", type=float, default=1.0)
    p.add_argument("--quick", action="store_true", help="fewer key and master combinations")
    args = p.parse_args()
    radio = Radio(args)
    try:
        channels = itertools.cycle(["vessa180a", "vessa280a"])
        for fmt in ("ts", "fmp4", "aac", "mp3"):
            for key, master, every in itertools.product(("none", "aes", "aes-seq"), (0, 1), (0, 3)):
                if not args.quick or (key, master) in (("none", 0), ("aes", 1), ("aes-seq", 0)):
                    check_stream(radio, next(channels), fmt, key, master, every)
        stats = radio.control("/stats")
        for channel in ("vessa180a", "vessa280a"):
            assert stats.get(channel + ":video", 0) == 0 and stats.get(channel + ":hi", 0) > 0, stats
            assert stats[channel + ":media"] == stats[channel + ":hi"], stats
        print("ok   counters:", stats)
        check_sliding(radio, "kelmora", 2)
        check_faults(radio, "vessa380a")
        for query in ("format=flac", "key=aes&master=2", "volume=1", "discontinuity=-1", "format="):
            try:
                radio.control("/config?channel=x&" + query)
                raise AssertionError("/config took " + query)
            except urllib.error.HTTPError as e:
                assert e.code == 400, query
        print("ok   /config answers unknown names and values with 400")
    finally:
        radio.proc.terminate()
        radio.proc.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
