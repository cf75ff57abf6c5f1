#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Whole-process playback measurements of the stream player against peer
players on the same local live stream (tools/radio), heard through a
private PulseAudio null sink:

- time from process start to the first audible sample (median of runs),
- the gap between the old channel's last and the new channel's first sample
  when switching (negative: both were heard at once),
- CPU (% of one core) and RSS/PSS while playing for a while.

Numbers are printed, never asserted. Standard library only.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SERVER = os.path.join(ROOT, "tools", "radio", "radio.py")
RATE = 48000
CHUNK = 480  # 10 ms of mono samples


def tone(channel):
    import zlib
    return 330 + (zlib.crc32(channel.encode()) % 48) * 20


class Pulse:
    """A private PulseAudio with one null sink and a recorder on its monitor
    that timestamps every 10 ms chunk with its loudness and tone."""

    def __init__(self, work):
        self.env = dict(os.environ, XDG_RUNTIME_DIR=work, PULSE_RUNTIME_PATH=os.path.join(work, "pulse"), HOME=work)
        self.daemon = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--load=module-null-sink sink_name=bench rate=48000", "--load=module-native-protocol-unix"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while subprocess.run(["pactl", "info"], env=self.env, capture_output=True).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("pulseaudio did not start")
            time.sleep(0.05)
        subprocess.run(["pactl", "set-default-sink", "bench"], env=self.env, check=True)
        self.recorder = subprocess.Popen(
            ["parec", "-d", "bench.monitor", "--format=s16le", "--rate=%d" % RATE, "--channels=1",
             "--latency-msec=5", "--raw"], env=self.env, stdout=subprocess.PIPE)
        self.recording = True
        self.lock = threading.Lock()
        self.chunks = []  # (monotonic time, loud, crossings per second)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        positive = False
        while True:
            data = self.recorder.stdout.read(CHUNK * 2)
            if not data:
                return
            now = time.monotonic()
            samples = memoryview(data).cast("h")
            loud = sum(1 for s in samples if s > 1000 or s < -1000)
            crossings = 0
            for s in samples:
                if (positive and s < -300) or (not positive and s > 300):
                    positive = not positive
                    crossings += 1
            with self.lock:
                # A tone is only estimated from chunks that are sound throughout:
                # a chunk half silent would read as half the frequency.
                full = loud > len(samples) * 8 // 10
                self.chunks.append((now, loud > len(samples) // 4, crossings / 2 * RATE / len(samples) if full else 0))

    def since(self, t):
        with self.lock:
            return [c for c in self.chunks if c[0] >= t]

    def first_loud(self, t, timeout, hz=None):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for when, loud, freq in self.since(t):
                if loud and (hz is None or abs(freq - hz) < 60):
                    return when
            time.sleep(0.005)
        return None

    def stop_recording(self):
        """The recorder asks the sink for 10-ms periods, which makes every
        player on it wake far more often than on a desktop: CPU is measured
        without it."""
        self.recorder.terminate()
        self.recorder.wait()
        self.recording = False

    def close(self):
        for p in (self.recorder, self.daemon):
            p.terminate()
            p.wait()


class Server:
    def __init__(self, work, channels, port=0, ca_dir=None):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", SERVER, "--port", str(port), "--ca-dir", ca_dir or os.path.join(work, "ca"),
             "--work-dir", os.path.join(work, "hls"), "--segment-duration", "2", "--window", "6",
             "--channels", ",".join(channels)],
            stdout=subprocess.PIPE, text=True)
        ready, port, control, ca, plain = self.proc.stdout.readline().split()
        assert ready == "READY"
        # The plain-HTTP twin serves players that cannot be told to trust a test CA.
        self.port, self.ca, self.plain_port = int(port), ca, int(plain)

    def https(self, channel):
        return "https://127.0.0.1:%d/liveradio/%s/playlist.m3u8" % (self.port, channel)

    def http(self, channel):
        return "http://127.0.0.1:%d/liveradio/%s/playlist.m3u8" % (self.plain_port, channel)

    def close(self):
        self.proc.terminate()
        self.proc.wait()


def players(probe, server, have):
    """name -> function(url channel, seconds) giving argv and env additions."""
    table = {"orvo": lambda ch, secs: ([probe, "--ca", server.ca, "--seconds", str(secs), server.https(ch)], {})}
    if have("gst-play-1.0"):
        # gst-play cannot be told to trust a test CA: it gets the same stream over plain HTTP.
        table["gst-play-1.0 (playbin3, http)"] = lambda ch, secs: (
            ["gst-play-1.0", "--use-playbin3", "-q", server.http(ch)], {})
    if have("mpv"):
        table["mpv"] = lambda ch, secs: (
            ["mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet", "--tls-verify=yes",
             "--tls-ca-file=" + server.ca, server.https(ch)], {})
    if have("cvlc") and os.geteuid() != 0:  # VLC refuses to run as root
        # VLC trusts the system store only: it gets the stream over plain HTTP too.
        table["cvlc (http)"] = lambda ch, secs: (
            ["cvlc", "--quiet", "--no-video", "--aout=pulse", server.http(ch)], {})
    if have("ffplay"):
        table["ffplay"] = lambda ch, secs: (
            ["ffplay", "-nodisp", "-loglevel", "quiet", "-tls_verify", "1", "-ca_file", server.ca, server.https(ch)],
            {"SDL_AUDIODRIVER": "pulseaudio"})
    return table


def spawn(argv, env, pulse):
    return subprocess.Popen(argv, env=dict(pulse.env, **env), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def stop(proc):
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def first_sound(pulse, table, channels, runs):
    results = {}
    for name, make in table.items():
        times = []
        for i in range(runs):
            ch = channels[i % len(channels)]
            argv, env = make(ch, 15)
            time.sleep(0.3)  # let the previous player's tail drain from the sink
            t0 = time.monotonic()
            proc = spawn(argv, env, pulse)
            heard = pulse.first_loud(t0, 15, tone(ch))
            stop(proc)
            if heard is not None:
                times.append(heard - t0)
        results[name] = times
        print("  %-32s first sound %s" % (name, fmt(times)), flush=True)
    return results


def warm_first_sound(pulse, probe, server, channels, runs):
    """As the application plays on a click: start-up work done beforehand."""
    times = []
    for i in range(runs):
        ch = channels[i % len(channels)]
        time.sleep(0.3)
        proc = spawn([probe, "--ca", server.ca, "--seconds", "4", "--warm-up", "1", server.https(ch)], {}, pulse)
        line = proc.stdout.readline().decode().split()
        if len(line) == 2 and line[0] == "play":
            started = int(line[1]) / 1000
            heard = pulse.first_loud(started, 10, tone(ch))
            if heard is not None:
                times.append(heard - started)
        stop(proc)
    print("  %-32s first sound %s" % ("orvo", fmt(times)), flush=True)
    return {"orvo": times}


def proc_usage(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    rss = pss = 0
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("Rss:"):
                rss = int(line.split()[1])
            elif line.startswith("Pss:"):
                pss = int(line.split()[1])
    return ticks / os.sysconf("SC_CLK_TCK"), rss, pss


def steady_state(pulse, table, channel, seconds):
    results = {}
    for name, make in table.items():
        argv, env = make(channel, seconds + 30)
        t0 = time.monotonic()
        proc = spawn(argv, env, pulse)
        if pulse.recording and pulse.first_loud(t0, 15) is None:
            stop(proc)
            continue
        time.sleep(2 if pulse.recording else 5)
        if proc.poll() is not None:
            continue  # the player gave up
        cpu0, _, _ = proc_usage(proc.pid)
        w0 = time.monotonic()
        peak_rss = peak_pss = 0
        while time.monotonic() - w0 < seconds:
            time.sleep(1)
            _, rss, pss = proc_usage(proc.pid)
            peak_rss, peak_pss = max(peak_rss, rss), max(peak_pss, pss)
        cpu1, _, _ = proc_usage(proc.pid)
        cpu = 100 * (cpu1 - cpu0) / (time.monotonic() - w0)
        stop(proc)
        results[name] = {"cpu_percent": round(cpu, 2), "rss_mb": round(peak_rss / 1024, 1),
                         "pss_mb": round(peak_pss / 1024, 1)}
        print("  %-32s cpu %.2f %%  rss %.1f MB  pss %.1f MB" % (name, cpu, peak_rss / 1024, peak_pss / 1024),
              flush=True)
    return results


def switch_gap(pulse, probe, server, a, b, runs, work):
    """Per switch: the old channel's tail after the switch request, the new
    channel's first sound after it, and the gap between the two (negative:
    both channels were heard at once)."""
    results = {}
    runs_out = []
    for _ in range(runs):
        time.sleep(0.3)
        t0 = time.monotonic()
        proc = spawn([probe, "--ca", server.ca, "--seconds", "8", "--switch-after", "3", server.https(b),
                      server.https(a)], {}, pulse)
        proc.stdout.readline()  # play
        line = proc.stdout.readline().decode().split()
        switched = int(line[1]) / 1000 if len(line) == 2 and line[0] == "switch" else None
        runs_out += measure_switch(pulse, proc, a, b, t0, switched)
    results["orvo"] = runs_out
    report("orvo", runs_out)
    if shutil.which("mpv"):
        runs_out = []
        for i in range(runs):
            sock = os.path.join(work, "mpv-%d.sock" % i)
            time.sleep(0.3)
            t0 = time.monotonic()
            proc = spawn(["mpv", "--no-config", "--no-video", "--ao=pulse", "--really-quiet", "--tls-verify=yes",
                          "--tls-ca-file=" + server.ca, "--input-ipc-server=" + sock, server.https(a),
                          server.https(b)], {}, pulse)
            if pulse.first_loud(t0, 15, tone(a)) is None:
                stop(proc)
                continue
            time.sleep(2)
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(sock)
                switched = time.monotonic()
                s.sendall(b'{"command": ["playlist-next"]}\n')
            runs_out += measure_switch(pulse, proc, a, b, t0, switched)
        results["mpv"] = runs_out
        report("mpv", runs_out)
    return results


def report(name, runs):
    def pick(key):
        return [r[key] for r in runs if r.get(key) is not None]
    print("  %-32s gap %s" % (name, fmt(pick("gap"))), flush=True)
    print("  %-32s   new sound after switch %s" % ("", fmt(pick("new_after_switch"))), flush=True)
    print("  %-32s   old sound after switch %s" % ("", fmt(pick("old_after_switch"))), flush=True)


def measure_switch(pulse, proc, a, b, t0, switched):
    first_b = pulse.first_loud(t0, 20, tone(b))
    stop(proc)
    if first_b is None:
        return []
    last_a = max((when for when, loud, freq in pulse.since(t0) if loud and abs(freq - tone(a)) < 60
                  and when < first_b + 1), default=None)
    if last_a is None:
        return []
    return [{"gap": first_b - last_a,
             "new_after_switch": None if switched is None else first_b - switched,
             "old_after_switch": None if switched is None else max(0.0, last_a - switched)}]


def fmt(values):
    if not values:
        return "n/a"
    return "median %.0f ms (min %.0f, max %.0f, n=%d)" % (
        1000 * statistics.median(values), 1000 * min(values), 1000 * max(values), len(values))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--probe", required=True, help="path of the built orvo_play_probe")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--seconds", type=int, default=60, help="length of the CPU/memory window")
    p.add_argument("--json", help="also write the numbers to this file")
    args = p.parse_args()
    channels = ["vessa180a", "vessa280a", "vessa380a", "kelmora80a", "tiknuk80a"]
    work = tempfile.mkdtemp(prefix="orvo-bench-")
    pulse = Pulse(work)
    server = Server(work, channels)
    try:
        table = players(args.probe, server, shutil.which)
        print("first audible sample, from process start:", flush=True)
        out = {"first_sound_s": first_sound(pulse, table, channels, args.runs)}
        print("after warm-up, from play() to the first audible sample:", flush=True)
        out["warm_first_sound_s"] = warm_first_sound(pulse, args.probe, server, channels, args.runs)
        print("switching channels (vessa180a -> vessa280a):", flush=True)
        out["switch_gap_s"] = switch_gap(pulse, args.probe, server, "vessa180a", "vessa280a", max(3, args.runs // 2),
                                         work)
        print("while playing for %d s:" % args.seconds, flush=True)
        pulse.stop_recording()
        out["steady"] = steady_state(pulse, table, "vessa180a", args.seconds)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(out, f, indent=2)
    finally:
        server.close()
        pulse.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
