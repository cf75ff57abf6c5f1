// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The pieces behind the hot-key backend, shared inside the hot-key area: the
// names of a combination, the one-time reports on stderr, the X11 grabs and
// the GlobalShortcuts portal client. Main loop only.

#include "platform/common/HotKeyBackend.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvo::platform::native {

// --- Names of a combination ---

// The digit of a number-row key code, or nothing for any other key.
std::optional<char> digitOfKeyCode(UInt32 keyCode);
// "Alt+3", as the menu and the README name it; empty when the key is not on
// the number row or a modifier bit is unknown.
std::string displayName(UInt32 keyCode, UInt32 modifiers);
// "ALT+3": the trigger format of the XDG shortcuts list, which the
// GlobalShortcuts portal takes as a preferred trigger.
std::string xdgTrigger(UInt32 keyCode, UInt32 modifiers);

// --- Telling the user ---

// Writes "orvomenu: <line>" on stderr the first time a tag is reported in
// this process, and nothing after that.
void reportOnce(const std::string& tag, const std::string& line);
// The one line for a combination that cannot be had, naming it and why.
void reportUnavailable(UInt32 keyCode, UInt32 modifiers, const std::string& why);

// --- X11 passive grabs on the root window ---

HotKeyBackend& x11HotKeys();
// Gives back every grab, for when the portal holds the keys again.
void releaseX11HotKeys();

// --- The org.freedesktop.portal.GlobalShortcuts client ---

struct PortalShortcut {
    std::string id;
    std::string description;
    std::string preferredTrigger;
};

// What the portal made of the shortcuts. For each bound shortcut id, the
// desktop's description of its trigger; an empty description means the
// desktop keeps the shortcut without a key (the user declined it, or the key
// is in use there); nothing when the desktop does not say.
struct PortalBinding {
    std::string id;
    std::optional<std::string> trigger;
    // KDE: who the desktop gave the key to instead, as its settings name
    // them; empty when it does not say.
    std::string holder;
};

struct PortalEvents {
    // The session stands; bound lists what the desktop holds for us.
    std::function<void(const std::vector<PortalBinding>& bound)> bound;
    // No session: absent is true when the session offers no portal (or no
    // GlobalShortcuts in it), false when it refused; why says what happened.
    std::function<void(bool absent, const std::string& why)> failed;
    // The portal went away after it had answered, or closed our session.
    std::function<void()> lost;
    // The portal is on the bus again after it was lost.
    std::function<void()> returned;
    std::function<void(const std::string& id)> activated;
};

// Starts a session for the shortcuts (closing any earlier one first) and
// reports through events on the main loop. Safe to call again at any time.
void startPortalShortcuts(std::vector<PortalShortcut> shortcuts, PortalEvents events);

// Moves the process into a systemd scope named after the app's desktop
// entry, as launchers do, unless it is in one already (or in a service);
// then, or when the session has no systemd user manager, calls then. The
// desktop portal knows an app by its scope where it has no Registry.
void enterAppScope(std::function<void()> then);

// --- KDE Plasma's global shortcut service, where its portal files them ---

// A shortcut the desktop lists but keeps without a key, whatever the portal
// said: holder is the group its preferred key went to instead, as System
// Settings names it (empty when nobody has it); moved when that was an older
// group of ours and the key has come over, so the shortcut has it now.
struct KdeKeyless {
    std::string id;
    std::string holder;
    bool moved;
};

// Finds the portal's group for this session among groups (the names the
// portal may have given it), shows it as the app, moves over the keys an
// older group of ours holds for the same shortcuts, and tells done which of
// the shortcuts were without a key; done gets nothing outside KDE.
void checkKdeShortcuts(std::vector<std::string> groups, std::vector<PortalShortcut> shortcuts,
    std::function<void(std::vector<KdeKeyless>)> done);

// --- GNOME's own custom shortcuts, for GNOME without the portal ---

// Asks the user once, by a desktop notification, whether Alt+1 … Alt+5 may be
// added to GNOME's custom shortcuts (running "orvomenu --hotkey N"); adds
// them when the user agrees. Does nothing outside GNOME, without GNOME's
// schema, or when it has asked before.
void offerGnomeShortcuts();

} // namespace orvo::platform::native
