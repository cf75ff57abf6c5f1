// SPDX-License-Identifier: GPL-3.0-or-later
// The hot-key backend of a Linux session, chosen when the first combination
// is registered: X11 key grabs in an X11 session; in a Wayland session the
// GlobalShortcuts portal, because grabs through Xwayland fire only while an
// X11 window has the focus. Where the portal is missing, refuses or goes away,
// the grabs are the fallback, said once on stderr. Every combination asked
// for is remembered, so "orvomenu --hotkey N" can stand in for its key.
#include "platform/linux/hotkeys/HotKeys.h"
#include "platform/BuildConfig.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/hotkeys/Backends.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <utility>

namespace orvo::platform {
namespace native {

namespace {
// The one table of the number row's virtual key codes. (X keysyms of the
// digits are their characters, so the X11 grabs read this table too.)
constexpr std::array<std::pair<UInt32, char>, 10> numberRow = { {
    { kVK_ANSI_1, '1' },
    { kVK_ANSI_2, '2' },
    { kVK_ANSI_3, '3' },
    { kVK_ANSI_4, '4' },
    { kVK_ANSI_5, '5' },
    { kVK_ANSI_6, '6' },
    { kVK_ANSI_7, '7' },
    { kVK_ANSI_8, '8' },
    { kVK_ANSI_9, '9' },
    { kVK_ANSI_0, '0' },
} };

// Modifier names in the order people write them, and as the XDG shortcuts
// format spells them.
struct ModifierName {
    UInt32 mask;
    const char* display;
    const char* xdg;
};
constexpr std::array<ModifierName, 4> modifierNames = { {
    { controlKey, "Ctrl", "CTRL" },
    { optionKey, "Alt", "ALT" },
    { shiftKey, "Shift", "SHIFT" },
    { cmdKey, "Super", "LOGO" },
} };

std::string nameWith(UInt32 keyCode, UInt32 modifiers, bool xdg)
{
    const auto digit = digitOfKeyCode(keyCode);
    if (!digit) {
        return {};
    }
    std::string name;
    for (const auto& modifier : modifierNames) {
        if (modifiers & modifier.mask) {
            name += std::string(xdg ? modifier.xdg : modifier.display) + "+";
            modifiers &= ~modifier.mask;
        }
    }
    if (modifiers != 0) {
        return {};
    }
    return name + *digit;
}
} // namespace

std::optional<char> digitOfKeyCode(UInt32 keyCode)
{
    for (const auto& [code, digit] : numberRow) {
        if (code == keyCode) {
            return digit;
        }
    }
    return std::nullopt;
}

std::string displayName(UInt32 keyCode, UInt32 modifiers)
{
    return nameWith(keyCode, modifiers, false);
}

std::string xdgTrigger(UInt32 keyCode, UInt32 modifiers)
{
    return nameWith(keyCode, modifiers, true);
}

void reportOnce(const std::string& tag, const std::string& line)
{
    static std::set<std::string> told;
    if (told.insert(tag).second) {
        std::fprintf(stderr, "%s: %s\n", build::appId, line.c_str());
    }
}

void reportUnavailable(UInt32 keyCode, UInt32 modifiers, const std::string& why)
{
    const std::string name = displayName(keyCode, modifiers);
    reportOnce("key " + name, name + " is not available: " + why);
}

} // namespace native

namespace {

bool waylandSession()
{
    const char* display = g_getenv("WAYLAND_DISPLAY");
    return g_strcmp0(g_getenv("XDG_SESSION_TYPE"), "wayland") == 0 || (display && *display);
}

class SessionHotKeys final : public HotKeyBackend {
public:
    OSStatus registerHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID id) override
    {
        remember({ keyCode, modifiers, id });
        if (!wayland_) {
            wayland_ = waylandSession();
        }
        if (!*wayland_ || route_ == Route::Grabs) {
            return native::x11HotKeys().registerHotKey(keyCode, modifiers, id);
        }
        if (native::xdgTrigger(keyCode, modifiers).empty()) {
            return eventHotKeyInvalidErr;
        }
        // The whole set goes to the portal in one session, once the burst of
        // registrations is over; its verdict is told when it comes.
        if (!asking_) {
            asking_ = glib::SourceHandle(g_idle_add(&SessionHotKeys::askPortal, this));
        }
        return noErr;
    }

    bool press(UInt32 keyCode, UInt32 modifiers) const
    {
        for (const auto& request : requests_) {
            if (request.keyCode == keyCode && request.modifiers == modifiers) {
                deliverHotKeyPressed(request.id);
                return true;
            }
        }
        return false;
    }

    native::HotKeyHolder holder() const
    {
        if (!wayland_ || !*wayland_ || route_ == Route::Grabs) {
            return wayland_ ? native::HotKeyHolder::X11 : native::HotKeyHolder::Nobody;
        }
        return portalHolds_ ? native::HotKeyHolder::Portal : native::HotKeyHolder::Nobody;
    }

private:
    enum class Route { Portal, Grabs };
    struct Request {
        UInt32 keyCode;
        UInt32 modifiers;
        EventHotKeyID id;
    };

    void remember(const Request& request)
    {
        for (auto& known : requests_) {
            if (known.keyCode == request.keyCode && known.modifiers == request.modifiers) {
                known = request;
                return;
            }
        }
        requests_.push_back(request);
    }

    static std::string shortcutId(const EventHotKeyID& id) { return "slot" + std::to_string(id.id + 1); }

    static gboolean askPortal(gpointer data)
    {
        auto* self = static_cast<SessionHotKeys*>(data);
        self->asking_.forget();
        self->startPortal();
        return G_SOURCE_REMOVE;
    }

    void startPortal()
    {
        std::vector<native::PortalShortcut> shortcuts;
        for (const auto& request : requests_) {
            const std::string trigger = native::xdgTrigger(request.keyCode, request.modifiers);
            if (!trigger.empty()) {
                shortcuts.push_back({ shortcutId(request.id),
                    "Play the channel on " + native::displayName(request.keyCode, request.modifiers), trigger });
            }
        }
        native::PortalEvents events;
        events.bound = [this](const std::vector<native::PortalBinding>& bound) { portalBound(bound); };
        events.failed = [this](bool absent, const std::string& why) { portalFailed(absent, why); };
        events.lost = [this] { portalLost(); };
        events.returned = [this] { startPortal(); };
        events.activated = [this](const std::string& id) { portalActivated(id); };
        native::startPortalShortcuts(std::move(shortcuts), std::move(events));
    }

    void portalBound(const std::vector<native::PortalBinding>& bound)
    {
        if (route_ == Route::Grabs) {
            native::releaseX11HotKeys(); // the desktop holds the keys again
            route_ = Route::Portal;
        }
        portalHolds_ = true;
        for (const auto& request : requests_) {
            const std::string id = shortcutId(request.id);
            const auto binding
                = std::ranges::find_if(bound, [&](const native::PortalBinding& b) { return b.id == id; });
            if (binding == bound.end()) {
                native::reportUnavailable(request.keyCode, request.modifiers, "the desktop did not bind it");
            } else if (binding->trigger && binding->trigger->empty()) {
                native::reportUnavailable(request.keyCode, request.modifiers,
                    binding->holder.empty()
                        ? "the desktop keeps it without a key (turned down, or in use there); choose one in its "
                          "keyboard settings"
                        : "the desktop's shortcut settings give it to \"" + binding->holder
                            + "\"; choose another key for one of them there");
            }
        }
    }

    void portalFailed(bool absent, const std::string& why)
    {
        native::reportOnce("portal",
            std::string(absent ? "this Wayland session offers no global shortcuts portal ("
                               : "the desktop's global shortcuts portal said no (")
                + why
                + "); Alt+1 … Alt+5 work only while an X11 window has the focus. Bind them to \"orvomenu "
                  "--hotkey N\" in the desktop's keyboard settings.");
        fallBack();
        if (absent) {
            native::offerGnomeShortcuts();
        }
    }

    void portalLost()
    {
        native::reportOnce("portal lost",
            "the global shortcuts portal went away; until it is back, Alt+1 … Alt+5 work only while an X11 "
            "window has the focus");
        fallBack();
    }

    void fallBack()
    {
        portalHolds_ = false;
        if (route_ == Route::Grabs) {
            return;
        }
        route_ = Route::Grabs;
        for (const auto& request : requests_) {
            native::x11HotKeys().registerHotKey(request.keyCode, request.modifiers, request.id);
        }
    }

    void portalActivated(const std::string& id) const
    {
        for (const auto& request : requests_) {
            if (shortcutId(request.id) == id) {
                deliverHotKeyPressed(request.id);
                return;
            }
        }
    }

    std::optional<bool> wayland_;
    Route route_ = Route::Portal;
    bool portalHolds_ = false;
    std::vector<Request> requests_;
    glib::SourceHandle asking_;
};

SessionHotKeys& sessionHotKeys()
{
    static SessionHotKeys* backend = new SessionHotKeys(); // lives until the process ends
    return *backend;
}

} // namespace

HotKeyBackend& hotKeyBackend()
{
    return sessionHotKeys();
}

native::HotKeyHolder native::hotKeyHolder()
{
    return sessionHotKeys().holder();
}

bool native::pressHotKeyDigit(int digit)
{
    // Any int32 can arrive over D-Bus; only a digit names a key.
    if (digit < 0 || digit > 9) {
        return false;
    }
    for (const auto& [code, character] : native::numberRow) {
        if (character == '0' + digit) {
            return sessionHotKeys().press(code, optionKey);
        }
    }
    return false;
}

} // namespace orvo::platform
