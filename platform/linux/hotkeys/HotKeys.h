// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Hot keys on Linux desktops. The backend is chosen at run time: passive key
// grabs on the X11 root window in X11 sessions; the
// org.freedesktop.portal.GlobalShortcuts portal in Wayland sessions that
// offer it, with the X11 grabs (through Xwayland) as the fallback. Everywhere,
// "orvomenu --hotkey N" reaches the running instance for desktops that bind
// keys to commands, and on GNOME without the portal the app offers to add
// such bindings to GNOME's custom shortcuts.

#include <string>
#include <vector>

namespace orvo::platform::native {

// The digits N of the Alt+N combinations the app registers: what
// "orvomenu --hotkey N" takes and what GNOME's custom shortcuts bind.
inline constexpr int firstHotKeyDigit = 1;
inline constexpr int lastHotKeyDigit = 5;

// The path of this program's executable, for commands that run it again.
std::string runningExecutable();

// How many keyboard-mapping changes the X11 grabs have followed (grabs
// renewed). Lets a test wait until a remap has been taken in before pressing.
unsigned keyboardMappingChangesFollowed();

// Who holds the registered combinations: the X11 grabs (an X11 session, or
// the fallback), the portal (a Wayland session whose portal bound them), or
// nobody yet (the portal has not answered). For tests and diagnostics.
enum class HotKeyHolder { Nobody, X11, Portal };
HotKeyHolder hotKeyHolder();

// Does what pressing Alt+digit does: delivers the hot-key event of the
// combination registered for it, whether or not its key could be had. False
// when nothing is registered for it.
bool pressHotKeyDigit(int digit);

// --- GNOME's custom shortcuts (org.gnome.settings-daemon.plugins.media-keys) ---

// Whether GNOME's custom-shortcut settings are installed.
bool gnomeShortcutsSupported();

// The user's choice, from the command line or the notification: on adds
// Alt+1 … Alt+5 running "<executable> --hotkey N" at the app's own settings
// paths, leaving alone every key GNOME already uses for something else; off
// removes the app's own entries and nothing else. Either way the app will not
// ask again. Returns one line per key left alone ("Alt+3: used by …").
std::vector<std::string> setGnomeShortcuts(bool on, const std::string& executable);

} // namespace orvo::platform::native
