#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The demo radio with what tests add: faults, request counters, control lines on stdin (README.md)."""

import collections
import contextlib
import os
import socket
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools", "radio"))
import radio  # noqa: E402

FAULTS = ("none", "refuse", "drop", "stall", "garbage", "404", "500", "403", "wrongcert", "redirect",
          "redirect-https", "segment-redirect", "identity-only")


class Radio(radio.Radio):
    def __init__(self, args, handler):
        super().__init__(args, handler)
        self.faults, self.counts, self.connections = {"*": "none"}, collections.Counter(), set()
        self.fault_changed = threading.Condition(self.lock)
        self.wrong = radio.server_context(args.work_dir, "wrong", *radio.make_ca(os.path.join(args.work_dir, "other")))

    def fault_for(self, channel):  # with the lock held
        return self.faults.get(channel, self.faults["*"])

    def context(self):
        with self.lock:
            return self.wrong if self.fault_for("*") == "wrongcert" else self.tls

    def set_fault(self, channel, mode):
        with self.lock:
            self.faults[channel] = mode
            self.fault_changed.notify_all()
            # New faults apply to new connections: drop the kept-alive ones.
            for conn in list(self.connections):
                with contextlib.suppress(OSError):
                    conn.shutdown(socket.SHUT_RDWR)
            refusing = self.fault_for("*") == "refuse"
        # Nothing listens while every channel refuses: connections are refused.
        if refusing and self.https:
            self.https.shutdown()
            self.https.server_close()
            self.https = None
        elif not refusing and not self.https:
            self.https = self.serve(radio.TlsServer(("127.0.0.1", self.https_port), Handler))

    def command(self, words):
        if len(words) in (2, 3) and words[0] == "fault" and words[1] in FAULTS:
            self.set_fault(words[2] if len(words) == 3 else "*", words[1])
            return "ok"
        if len(words) >= 3 and words[0] == "config" and self.configure(words[1],
                                                                        dict(w.partition("=")[::2] for w in words[2:])):
            return "ok"
        if len(words) == 2 and words[0] == "count":
            with self.lock:
                return str(self.counts[words[1]])
        if len(words) == 2 and words[0] == "tone":
            return str(radio.tone_frequency(words[1]))
        return "error: " + " ".join(words)

    def run(self):  # until stdin ends
        for line in sys.stdin:
            print(self.command(line.split()), flush=True)


class Handler(radio.Handler):
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

    def do_GET(self):
        self.moved = self.path.startswith("/moved/")
        self.path = self.path[6:] if self.moved else self.path
        super().do_GET()

    def serve(self, channel, name):
        station, plain = self.server.radio, not isinstance(self.server, radio.TlsServer)
        kind = "plain" if plain else "playlist" if name.endswith(".m3u8") else "segment"
        with station.lock:
            station.counts[channel + ":" + kind] += 1
            self.channel, self.fault = channel, "none" if plain or self.moved else station.fault_for(channel)
        fault = self.fault
        if fault == "refuse":
            self.close_connection = True
        elif fault in ("404", "500", "403"):
            self.reply(int(fault), b"fault\n")
        elif fault == "redirect" or (fault == "segment-redirect" and (radio.SEGMENT.fullmatch(name) or
                                                                       name == "init.mp4")):
            self.redirect("http", station.plain.server_address[1], self.path)
        elif fault == "redirect-https":
            self.redirect("https", station.https_port, "/moved" + self.path)
        elif fault == "identity-only" and not name.endswith(".m3u8") and \
                self.headers.get("Accept-Encoding", "identity") != "identity":
            self.reply(406, b"media only as it is\n")
        else:
            super().serve(channel, name)

    def redirect(self, scheme, port, path):
        self.reply(302, headers=[("Location", "%s://127.0.0.1:%d%s" % (scheme, port, path))])

    def send_segment(self, data, ctype):
        if self.fault == "garbage":
            data = bytes((i * 7919 + 13) & 0xFF for i in range(len(data)))
        if self.fault not in ("drop", "stall"):
            return super().send_segment(data, ctype)
        self.reply(200, data, ctype, [("Connection", "close")], sent=len(data) // 3)
        station = self.server.radio
        with station.lock:
            while self.fault == "stall" and station.fault_for(self.channel) == "stall":
                station.fault_changed.wait()


if __name__ == "__main__":
    radio.main(Radio, Handler)
