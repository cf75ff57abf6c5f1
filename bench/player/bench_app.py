#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Click-to-sound in the running app, as a panel drives it: the app on a
private session bus with a stand-in tray watcher, its menu clicked over
com.canonical.dbusmenu, its sound heard through a private PulseAudio null sink
(see bench_players.py). Measures, each beside a cold minimal playbin3 process
on the same server in the same run (the reference):

- the first play with no menu opened first: Alt+N (an X11 key grab on a
  private Xvfb), the hot key over D-Bus as a desktop's key binding delivers it,
  and `orvomenu --hotkey N` (timed from the command's start),
- the first click right after launch (menu opened and clicked at once, and
  250 ms after opening),
- the first hot key after a stale GStreamer registry (a fresh cache, as on the
  first run after install), within 5 s of launch, with what rebuilding the
  registry cost and how long the main loop stopped answering meanwhile,
- a media key (MPRIS PlayPause) on a paused channel,
- a channel switch while playing: the new channel's first sound after the
  click, and the gap between the old channel's last sample and the new one's
  first (negative: both were heard),
- CPU and memory while playing, and memory while idle.

Numbers are printed, never asserted. Needs python3-gi, Xvfb and
gst-launch-1.0.
"""

import argparse
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from gi.repository import Gio, GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_players as bp  # noqa: E402

WATCHER_XML = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
<property name="RegisteredStatusNotifierItems" type="as" access="read"/>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/>
</interface></node>"""


class Desktop:
    """A private session bus with a tray watcher on a thread of its own."""

    def __init__(self, work):
        self.daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"],
                                       stdout=subprocess.PIPE, text=True)
        self.address = self.daemon.stdout.readline().strip()
        self.registered = threading.Event()
        self.item = None
        self.loop = GLib.MainLoop(GLib.MainContext.new())
        ready = threading.Event()
        threading.Thread(target=self._run, args=(ready,), daemon=True).start()
        ready.wait()

    def _run(self, ready):
        context = self.loop.get_context()
        context.push_thread_default()
        self.bus = Gio.DBusConnection.new_for_address_sync(
            self.address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]

        def call(conn, sender, path, iface, method, params, invocation):
            if method == "RegisterStatusNotifierItem":
                self.item = sender
                self.registered.set()
            invocation.return_value(None)

        def get(conn, sender, path, iface, prop):
            return {"RegisteredStatusNotifierItems": GLib.Variant("as", []),
                    "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                    "ProtocolVersion": GLib.Variant("i", 0)}[prop]

        self.bus.register_object("/StatusNotifierWatcher", info, call, get, None)
        self.bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                           GLib.Variant("(su)", ("org.kde.StatusNotifierWatcher", 4)), None, 0, -1, None)
        ready.set()
        self.loop.run()

    def menu(self):
        """label -> id of every item in the app's menu."""
        bus = Gio.DBusConnection.new_for_address_sync(
            self.address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        _, layout = bus.call_sync(self.item, "/StatusNotifierItem/Menu", "com.canonical.dbusmenu", "GetLayout",
                                  GLib.Variant("(iias)", (0, -1, [])), None, 0, -1, None).unpack()
        found = {}

        def walk(node):
            iid, props, children = node
            found.setdefault(props.get("label", ""), iid)
            for child in children:
                walk(child)
        walk(layout)
        return bus, found

    def click(self, label, after_opening=None):
        """Opens the menu as a host does (AboutToShow) and clicks label,
        after_opening seconds later; without it the menu is not opened."""
        bus, found = self.menu()
        deadline = time.monotonic() + 10
        while label not in found and time.monotonic() < deadline:  # the first menu is on its way
            time.sleep(0.002)
            bus, found = self.menu()
        if after_opening is not None:
            bus.call_sync(self.item, "/StatusNotifierItem/Menu", "com.canonical.dbusmenu", "AboutToShow",
                          GLib.Variant("(i)", (0,)), None, 0, -1, None)
            time.sleep(after_opening)
        clicked = time.monotonic()
        bus.call_sync(self.item, "/StatusNotifierItem/Menu", "com.canonical.dbusmenu", "Event",
                      GLib.Variant("(isvu)", (found[label], "clicked", GLib.Variant("s", ""), 0)), None, 0, -1, None)
        return clicked

    def close(self):
        self.loop.quit()
        self.daemon.terminate()
        self.daemon.wait()


def thread_ticks(pid):
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out[name] = out.get(name, 0) + int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return out


def fmt(values):
    return bp.fmt(values)


def start_app(app, desktop, pulse, work, **extra):
    config = tempfile.mkdtemp(dir=work)
    env = dict(pulse.env, DBUS_SESSION_BUS_ADDRESS=desktop.address, XDG_CONFIG_HOME=config)
    env.pop("DISPLAY", None)
    env.update(extra)
    desktop.registered.clear()
    t0 = time.monotonic()
    proc = subprocess.Popen([app], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    if not desktop.registered.wait(20):
        bp.stop(proc)
        raise RuntimeError("the app's item never registered")
    return proc, t0


def new_bus(desktop):
    return Gio.DBusConnection.new_for_address_sync(
        desktop.address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)


def hotkey_over_dbus(desktop, digit):
    """The hot key as `orvomenu --hotkey N` hands it to the running app."""
    bus = new_bus(desktop)
    pressed = time.monotonic()
    bus.call("org.orvomenu.OrvoMenu", "/org/orvomenu/OrvoMenu", "org.gtk.Actions", "Activate",
             GLib.Variant("(sava{sv})", ("hotkey", [GLib.Variant("i", digit)], {})), None, 0, -1, None, None)
    return pressed, bus


def longest_stall(desktop, bus, until):
    """The longest wait for an answer from the app's main loop (a property of
    its tray item) until the given time."""
    longest = 0.0
    while time.monotonic() < until:
        asked = time.monotonic()
        bus.call_sync(desktop.item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                      GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "Id")), None, 0, -1, None)
        longest = max(longest, time.monotonic() - asked)
        time.sleep(0.002)
    return longest


class Xvfb:
    """A private X server, and Alt+N pressed on it through XTEST."""

    def __init__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp", "-screen", "0", "640x480x24"],
                                     pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            self.display = ":" + f.readline().strip()
        self.x = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x.XFlush.argtypes = [ctypes.c_void_p]
        self.x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.dpy = self.x.XOpenDisplay(self.display.encode())

    def alt(self, digit):
        """Presses and releases Alt+digit; returns when the press was sent."""
        alt = self.x.XKeysymToKeycode(self.dpy, 0xffe9)  # XK_Alt_L
        key = self.x.XKeysymToKeycode(self.dpy, 0x30 + digit)
        pressed = time.monotonic()
        for code, down in ((alt, 1), (key, 1), (key, 0), (alt, 0)):
            self.xtst.XTestFakeKeyEvent(self.dpy, code, down, 0)
        self.x.XFlush(self.dpy)
        return pressed

    def close(self):
        self.x.XCloseDisplay(self.dpy)
        self.proc.terminate()
        self.proc.wait()


def reference(pulse, server, channel):
    """A cold minimal playbin3 process: from its start to its first sound.
    gst-launch-1.0 cannot be told to trust the test CA: plain HTTP."""
    time.sleep(0.3)
    started = time.monotonic()
    proc = subprocess.Popen(["gst-launch-1.0", "-q", "playbin3", "uri=" + server.http(channel)], env=pulse.env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    heard = pulse.first_loud(started, 15, bp.tone(channel))
    bp.stop(proc)
    return None if heard is None else heard - started


def ratio(values, ref):
    if not values or not ref:
        return ""
    return "  (%.2f x the reference)" % (statistics.median(values) / statistics.median(ref))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--app", required=True, help="orvomenu built for 127.0.0.1:PORT with the test CA")
    p.add_argument("--port", type=int, default=47443, help="the build's stream port")
    p.add_argument("--ca-dir", required=True, help="folder of the build's test CA")
    p.add_argument("--runs", type=int, default=7)
    p.add_argument("--seconds", type=int, default=30, help="length of the CPU/memory window")
    args = p.parse_args()
    a, b = ("Vessa 1", "vessa180a"), ("Vessa 2", "vessa280a")
    work = tempfile.mkdtemp(prefix="orvo-bench-app-")
    pulse = bp.Pulse(work)
    server = bp.Server(work, [a[1], b[1]], port=args.port, ca_dir=args.ca_dir)
    xvfb = Xvfb()
    try:
        # The registry cache every run but the stale ones shares, made once.
        subprocess.run(["gst-inspect-1.0", "coreelements"], env=pulse.env, capture_output=True)
        ref, alt_key, dbus_key, command, at_once, human = [], [], [], [], [], []
        stale, stale_stall, stale_cost, stale_idle, fresh_stall = [], [], [], [], []
        media, switch_new, gaps, warm = [], [], [], []

        def heard_after(clicked, channel):
            heard = pulse.first_loud(clicked, 10, bp.tone(channel[1]))
            return None if heard is None else heard - clicked

        def keep(values, value):
            if value is not None:
                values.append(value)

        def launch(**extra):
            desktop = Desktop(work)
            proc, _ = start_app(args.app, desktop, pulse, work, **extra)
            return desktop, proc

        def end(desktop, proc):
            bp.stop(proc)
            desktop.close()
            time.sleep(0.3)

        for _ in range(args.runs):
            keep(ref, reference(pulse, server, a[1]))
            # Hot keys with no menu opened first, a second after launch: Alt+1
            # grabbed on X11, the same key as a desktop binding hands it over
            # D-Bus, and the command a desktop runs for it.
            desktop, proc = launch(DISPLAY=xvfb.display)
            time.sleep(1)
            keep(alt_key, heard_after(xvfb.alt(1), a))
            end(desktop, proc)
            desktop, proc = launch()
            time.sleep(1)
            pressed, bus = hotkey_over_dbus(desktop, 1)
            keep(fresh_stall, longest_stall(desktop, bus, pressed + 0.3))
            keep(dbus_key, heard_after(pressed, a))
            end(desktop, proc)
            desktop, proc = launch()
            time.sleep(1)
            started = time.monotonic()
            subprocess.run([args.app, "--hotkey", "1"], env=dict(pulse.env, DBUS_SESSION_BUS_ADDRESS=desktop.address),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            keep(command, heard_after(started, a))
            end(desktop, proc)
            # A stale registry: a cache folder of its own, empty as after an
            # install; the hot key 3 s after launch.
            cache = tempfile.mkdtemp(dir=work)
            desktop, proc = launch(XDG_CACHE_HOME=cache)
            time.sleep(3)
            stale_idle.append(bp.proc_usage(proc.pid)[1])
            pressed, bus = hotkey_over_dbus(desktop, 1)
            keep(stale_stall, longest_stall(desktop, bus, pressed + 0.6))
            keep(stale, heard_after(pressed, a))
            with open("/proc/%d/stat" % proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            stale_cost.append((int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK"))
            end(desktop, proc)

            desktop = Desktop(work)
            try:
                # Right after launch: the menu opened as soon as the item is
                # there, and a channel clicked at once.
                proc, _ = start_app(args.app, desktop, pulse, work)
                keep(at_once, heard_after(desktop.click(a[0], after_opening=0), a))
                bp.stop(proc)
                time.sleep(0.3)
                # Right after launch, clicked as a quick hand would, 250 ms
                # after the menu opened.
                proc, _ = start_app(args.app, desktop, pulse, work)
                keep(human, heard_after(desktop.click(a[0], after_opening=0.25), a))
                time.sleep(2)
                # A switch while playing.
                clicked = desktop.click(b[0], after_opening=0)
                new = heard_after(clicked, b)
                keep(switch_new, new)
                if new is not None:
                    last_a = max((w for w, loud, f in pulse.since(clicked - 1) if loud and abs(f - bp.tone(a[1])) < 60
                                  and w < clicked + new + 1), default=None)
                    if last_a is not None:
                        gaps.append(clicked + new - last_a)
                time.sleep(1)
                # Paused a while, then the media key.
                desktop.click(b[0], after_opening=0)
                time.sleep(3)
                bus = new_bus(desktop)
                pressed = time.monotonic()
                bus.call_sync(desktop.item, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player", "PlayPause",
                              None, None, 0, -1, None)
                keep(media, heard_after(pressed, b))
                time.sleep(1)
                # Warm: paused a while, then another channel.
                desktop.click(b[0], after_opening=0)
                time.sleep(3)
                keep(warm, heard_after(desktop.click(a[0], after_opening=0), a))
                bp.stop(proc)
                time.sleep(0.3)
            finally:
                desktop.close()
        print("reference: a cold minimal playbin3 process (gst-launch-1.0, plain HTTP), from its start: %s" % fmt(ref))
        print("first play, no menu opened (1 s after launch):")
        print("  Alt+1 (X11 key grab): %s%s" % (fmt(alt_key), ratio(alt_key, ref)))
        print("  hot key over D-Bus (a desktop's key binding): %s%s" % (fmt(dbus_key), ratio(dbus_key, ref)))
        print("  orvomenu --hotkey 1, from the command's start: %s%s" % (fmt(command), ratio(command, ref)))
        print("  longest main-loop answer while it starts: %s" % fmt(fresh_stall))
        print("first click right after launch, menu opened and clicked at once: %s%s" % (fmt(at_once),
                                                                                       ratio(at_once, ref)))
        print("first click right after launch, 250 ms after the menu opened: %s%s" % (fmt(human), ratio(human, ref)))
        print("stale GStreamer registry (empty cache), hot key 3 s after launch: %s%s" % (fmt(stale),
                                                                                         ratio(stale, ref)))
        print("  longest main-loop answer while it starts: %s" % fmt(stale_stall))
        print("  rebuilding the registry (a child process at low priority): cpu median %.0f ms; idle rss before "
              "the key median %.1f MB" % (1000 * statistics.median(stale_cost), statistics.median(stale_idle) / 1024))
        print("media key (MPRIS PlayPause) on a channel paused 3 s: %s" % fmt(media))
        print("switch while playing: new channel heard after the click %s" % fmt(switch_new))
        print("switch while playing: gap between the channels %s" % fmt(gaps))
        print("warm click (paused 3 s, then another channel): %s" % fmt(warm))

        desktop = Desktop(work)
        proc, _ = start_app(args.app, desktop, pulse, work)
        time.sleep(3)
        _, idle_rss, idle_pss = bp.proc_usage(proc.pid)
        desktop.click(a[0], after_opening=0.25)
        pulse.first_loud(time.monotonic() - 1, 10, bp.tone(a[1]))
        pulse.stop_recording()
        time.sleep(2)
        cpu0, _, _ = bp.proc_usage(proc.pid)
        w0 = time.monotonic()
        peak_rss = peak_pss = 0
        while time.monotonic() - w0 < args.seconds:
            time.sleep(1)
            _, rss, pss = bp.proc_usage(proc.pid)
            peak_rss, peak_pss = max(peak_rss, rss), max(peak_pss, pss)
        cpu1, _, _ = bp.proc_usage(proc.pid)
        desktop.click(a[0], after_opening=0)
        time.sleep(3)
        _, paused_rss, paused_pss = bp.proc_usage(proc.pid)
        print("paused after playing: rss %.1f MB, pss %.1f MB" % (paused_rss / 1024, paused_pss / 1024))
        threads = len(os.listdir("/proc/%d/task" % proc.pid))
        per_thread = thread_ticks(proc.pid)
        for name, ticks in sorted(per_thread.items(), key=lambda kv: -kv[1]):
            print("  thread %-20s %d ticks in all" % (name, ticks))
        print("idle (3 s after launch, menu never opened): rss %.1f MB, pss %.1f MB" % (
            idle_rss / 1024, idle_pss / 1024))
        print("playing for %d s: cpu %.2f %% of a core, rss %.1f MB, pss %.1f MB, %d threads" % (
            args.seconds, 100 * (cpu1 - cpu0) / (time.monotonic() - w0), peak_rss / 1024, peak_pss / 1024, threads))
        bp.stop(proc)
        desktop.close()
    finally:
        xvfb.close()
        server.close()
        pulse.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
