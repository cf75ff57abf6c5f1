#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Floods the running app with menu clicks on two channels (com.canonical.dbusmenu Event calls, as fast as a
bus client can send them) and prints the app's stream requests per second during and after the flood, read from
its debug log. Run on a bus of its own, with a build that streams from the demo radio:

    dbus-run-session -- bench/player/burst.py --app build/bench/src/orvomenu [--rate 4000] [--seconds 15]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

from gi.repository import Gio, GLib

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--app", required=True)
    p.add_argument("--port", type=int, default=47443, help="the build's stream port")
    p.add_argument("--rate", type=int, default=4000, help="clicks per second")
    p.add_argument("--seconds", type=int, default=15)
    p.add_argument("--after", type=int, default=10, help="seconds counted after the flood")
    args = p.parse_args()
    work = tempfile.mkdtemp()
    radio = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools/radio/radio.py"), "--port", str(args.port),
                              "--ca-dir", os.path.join(ROOT, "build/test-ca"), "--work-dir", work],
                             stdout=subprocess.PIPE, text=True)
    if not radio.stdout.readline().startswith("READY"):
        sys.exit("the demo radio did not start")
    env = dict(os.environ, G_MESSAGES_DEBUG="orvo-net", ORVO_AUDIO_SINK="fakesink", XDG_CONFIG_HOME=work)
    # GLib writes debug messages to stdout.
    app = subprocess.Popen([args.app], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                           errors="replace")
    requests = []  # times of the app's requests

    def read_log():
        for line in app.stdout:
            if "GET https://" in line:
                requests.append(time.monotonic())
    threading.Thread(target=read_log, daemon=True).start()

    bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    owner = None
    for _ in range(100):
        try:
            owner = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                  "GetNameOwner", GLib.Variant("(s)", ("org.orvomenu.OrvoMenu",)), None, 0, -1,
                                  None).unpack()[0]
            layout = bus.call_sync(owner, "/StatusNotifierItem/Menu", "com.canonical.dbusmenu", "GetLayout",
                                   GLib.Variant("(iias)", (0, -1, [])), None, 0, -1, None).unpack()[1]
            ids = [child[0] for child in layout[2] if child[1].get("label") in ("Vessa 1", "Vessa 2")]
            if len(ids) == 2:
                break
        except GLib.Error:
            pass
        time.sleep(0.1)
    else:
        sys.exit("the app's menu did not answer")

    start = time.monotonic()
    sent = 0
    while time.monotonic() - start < args.seconds:
        due = int((time.monotonic() - start) * args.rate)
        while sent < due:
            bus.call(owner, "/StatusNotifierItem/Menu", "com.canonical.dbusmenu", "Event",
                     GLib.Variant("(isvu)", (ids[sent % 2], "clicked", GLib.Variant("i", 0), 0)), None,
                     Gio.DBusCallFlags.NONE, -1, None, None, None)
            sent += 1
        GLib.MainContext.default().iteration(False)
        time.sleep(0)  # lets the log reader keep the app's pipe drained
    flood_end = time.monotonic()
    while time.monotonic() - flood_end < args.after:
        GLib.MainContext.default().iteration(False)
        time.sleep(0.01)
    during = sum(start <= t < flood_end for t in requests) / (flood_end - start)
    after = [sum(flood_end + s <= t < flood_end + s + 1 for t in requests) for s in range(args.after)]
    print("clicks sent: %d in %.1f s" % (sent, flood_end - start))
    print("requests per second during the flood: %.1f" % during)
    print("requests in each second after it: %s" % " ".join(map(str, after)))
    print("the app %s" % ("is still running" if app.poll() is None else "ended with status %d" % app.returncode))
    app.terminate()
    radio.terminate()


if __name__ == "__main__":
    main()
