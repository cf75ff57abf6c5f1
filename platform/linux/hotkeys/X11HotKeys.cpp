// SPDX-License-Identifier: GPL-3.0-or-later
// System-wide hot keys on X11: each combination is a passive grab of its key
// on the root window, so the server sends us the press whichever window has
// the focus.
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/hotkeys/Backends.h"
#include "platform/linux/hotkeys/HotKeys.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <glib-unix.h>

#include <array>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace orvo::platform {
namespace {

// The virtual key codes name physical keys of the number row; X names keys by
// the symbol they produce, looked up in the current keyboard mapping. The
// keysyms of the digits are their characters (XK_1 is '1').
std::optional<KeySym> keysymForKeyCode(UInt32 keyCode)
{
    static_assert(XK_0 == '0' && XK_9 == '9');
    const auto digit = native::digitOfKeyCode(keyCode);
    return digit ? std::optional<KeySym>(static_cast<KeySym>(*digit)) : std::nullopt;
}

// Option is Alt (Mod1) and Command is Super (Mod4) on common X keymaps.
std::optional<unsigned> modifierMaskFor(UInt32 modifiers)
{
    static constexpr std::array<std::pair<UInt32, unsigned>, 4> table = { {
        { optionKey, Mod1Mask },
        { cmdKey, Mod4Mask },
        { shiftKey, ShiftMask },
        { controlKey, ControlMask },
    } };
    unsigned mask = 0;
    for (const auto& [bit, xMask] : table) {
        if (modifiers & bit) {
            mask |= xMask;
            modifiers &= ~bit;
        }
    }
    if (modifiers != 0) {
        return std::nullopt;
    }
    return mask;
}

// Xlib reports protocol errors through one process-wide handler, and its
// default handler ends the process. Ours only notes the first error of the
// requests being checked; errors outside a check are dropped.
struct ErrorTrap {
    bool active = false;
    unsigned long firstSerial = 0;
    int error = Success;
};
ErrorTrap errorTrap;

int onXError(Display*, XErrorEvent* event)
{
    if (errorTrap.active && event->serial >= errorTrap.firstSerial && errorTrap.error == Success) {
        errorTrap.error = event->error_code;
    }
    return 0;
}

// Runs requests and waits for the server's verdict on them; returns the
// first error (Success when none).
template <typename Requests> int checkedRequests(Display* display, Requests&& requests)
{
    errorTrap = { true, NextRequest(display), Success };
    requests();
    XSync(display, False);
    const int error = errorTrap.error;
    errorTrap = {};
    return error;
}

class X11HotKeys final : public HotKeyBackend {
public:
    X11HotKeys() = default;
    X11HotKeys(const X11HotKeys&) = delete;
    X11HotKeys& operator=(const X11HotKeys&) = delete;
    // Closing may notice a server that went away, which calls back into
    // this object: close while every member is still alive.
    ~X11HotKeys() override
    {
        watch_.reset();
        drain_.reset();
        display_.reset();
    }

    OSStatus registerHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID id) override
    {
        const auto keysym = keysymForKeyCode(keyCode);
        const auto mask = modifierMaskFor(modifiers);
        if (!keysym || !mask || !connected()) {
            return eventHotKeyInvalidErr;
        }
        Binding binding { keyCode, modifiers, *keysym, *mask, id, 0 };
        const OSStatus status = grab(binding);
        if (status == noErr) {
            bindings_.push_back(binding);
        }
        scheduleDrain();
        return status;
    }

    unsigned mappingChanges() const { return mappingChanges_; }

    void releaseAll()
    {
        if (display_ && !lost_) {
            checkedRequests(display_.get(), [&] {
                for (const auto& binding : bindings_) {
                    ungrab(binding);
                }
            });
        }
        bindings_.clear();
        held_.clear();
    }

private:
    struct Binding {
        UInt32 keyCode; // as registered, for reports
        UInt32 modifiers;
        KeySym keysym;
        unsigned mask;
        EventHotKeyID id;
        KeyCode grabbed; // 0 while the symbol is on no key
    };

    bool connected()
    {
        if (display_ && !lost_) {
            return true;
        }
        if (triedToConnect_) {
            return false;
        }
        triedToConnect_ = true;
        // No DISPLAY (a pure Wayland session, a service): there is no X
        // server to ask, and Xlib would only guess.
        const char* name = g_getenv("DISPLAY");
        if (!name || !*name) {
            native::reportOnce("x11-display", "no X display to grab the hot keys on (DISPLAY is not set)");
            return false;
        }
        display_.reset(XOpenDisplay(name));
        if (!display_) {
            native::reportOnce(
                "x11-display", std::string("cannot open the X display ") + name + " to grab the hot keys on");
            return false;
        }
        XSetErrorHandler(onXError);
        // A server that goes away must not end the application. Xlib's
        // default reaction to a lost connection is exit(), in both the
        // process-wide handler and the connection's exit handler; with both
        // replaced, the failing call returns and the connection is dead.
        XSetIOErrorHandler([](Display*) { return 0; });
        XSetIOErrorExitHandler(display_.get(), onConnectionLost, this);
        // With detectable auto-repeat a held key repeats as presses without
        // releases in between, so a held combination fires once.
        XkbSetDetectableAutoRepeat(display_.get(), True, nullptr);
        numLockMask_ = XkbKeysymToModifiers(display_.get(), XK_Num_Lock);
        watch_ = glib::SourceHandle(g_unix_fd_add(
            ConnectionNumber(display_.get()), GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onReadable, this));
        return true;
    }

    // The grab must hold whatever lock keys are on: the server matches the
    // modifier state exactly, and CapsLock and NumLock are modifiers too.
    std::vector<unsigned> lockVariants() const
    {
        std::vector<unsigned> variants = { 0, LockMask };
        if (numLockMask_ != 0 && numLockMask_ != LockMask) {
            variants.push_back(numLockMask_);
            variants.push_back(numLockMask_ | LockMask);
        }
        return variants;
    }

    OSStatus grab(Binding& binding)
    {
        Display* display = display_.get();
        const KeyCode code = XKeysymToKeycode(display, binding.keysym);
        if (code == 0) {
            native::reportUnavailable(binding.keyCode, binding.modifiers, "no key of the keyboard layout types it");
            return eventHotKeyInvalidErr;
        }
        const Window root = DefaultRootWindow(display);
        const auto variants = lockVariants();
        const int error = checkedRequests(display, [&] {
            for (const unsigned variant : variants) {
                XGrabKey(display, code, binding.mask | variant, root, False, GrabModeAsync, GrabModeAsync);
            }
        });
        if (lost_) {
            return eventHotKeyInvalidErr;
        }
        if (error != Success) {
            // Another client holds one of the variants: give back those we
            // got, so the combination is wholly theirs, not half each.
            checkedRequests(display, [&] {
                for (const unsigned variant : variants) {
                    XUngrabKey(display, code, binding.mask | variant, root);
                }
            });
            if (error == BadAccess) {
                native::reportUnavailable(binding.keyCode, binding.modifiers, "another program holds it");
                return eventHotKeyExistsErr;
            }
            return eventHotKeyInvalidErr;
        }
        binding.grabbed = code;
        return noErr;
    }

    void ungrab(const Binding& binding)
    {
        if (binding.grabbed == 0) {
            return;
        }
        Display* display = display_.get();
        for (const unsigned variant : lockVariants()) {
            XUngrabKey(display, binding.grabbed, binding.mask | variant, DefaultRootWindow(display));
        }
    }

    // The keyboard mapping changed: a digit may sit on another key now, and
    // NumLock on another modifier. Grab everything again from scratch.
    void followMappingChange()
    {
        checkedRequests(display_.get(), [&] {
            for (const auto& binding : bindings_) {
                ungrab(binding);
            }
        });
        numLockMask_ = XkbKeysymToModifiers(display_.get(), XK_Num_Lock);
        held_.clear();
        for (auto& binding : bindings_) {
            binding.grabbed = 0;
            grab(binding); // a combination lost to another client stays dead
        }
        ++mappingChanges_;
    }

    void handle(XEvent& event)
    {
        switch (event.type) {
        case MappingNotify:
            XRefreshKeyboardMapping(&event.xmapping);
            // One change arrives as several notifications; grab again once
            // they have all been read.
            mappingChanged_ = mappingChanged_ || event.xmapping.request == MappingKeyboard
                || event.xmapping.request == MappingModifier;
            break;
        case KeyPress: {
            const KeyCode code = static_cast<KeyCode>(event.xkey.keycode);
            if (!held_.insert(code).second) {
                break; // auto-repeat of a held combination
            }
            const unsigned relevant = ShiftMask | ControlMask | Mod1Mask | Mod2Mask | Mod3Mask | Mod4Mask | Mod5Mask;
            const unsigned state = event.xkey.state & relevant & ~(numLockMask_ | LockMask);
            for (const auto& binding : bindings_) {
                if (binding.grabbed == code && binding.mask == state) {
                    deliverHotKeyPressed(binding.id);
                    break;
                }
            }
            break;
        }
        case KeyRelease:
            held_.erase(static_cast<KeyCode>(event.xkey.keycode));
            break;
        default:
            break;
        }
    }

    // Handles every event Xlib has, read from the socket or already queued.
    void dispatchPending()
    {
        while (!lost_ && XPending(display_.get()) > 0) {
            XEvent event;
            XNextEvent(display_.get(), &event);
            handle(event);
            if (mappingChanged_ && !lost_ && XPending(display_.get()) == 0) {
                mappingChanged_ = false;
                followMappingChange(); // may queue more events: the loop goes on
            }
        }
        if (lost_) {
            // Nothing more will come; later registrations fail quietly.
            watch_.reset();
            drain_.reset();
            display_.reset();
        }
    }

    // XSync reads events into Xlib's queue without leaving the socket
    // readable, so after talking to the server the queue is drained once on
    // the main loop (not within the caller's registration).
    void scheduleDrain()
    {
        if (!drain_ && display_) {
            drain_ = glib::SourceHandle(g_idle_add(onDrain, this));
        }
    }

    static gboolean onDrain(gpointer self)
    {
        auto* hotKeys = static_cast<X11HotKeys*>(self);
        hotKeys->drain_.forget();
        hotKeys->dispatchPending();
        return G_SOURCE_REMOVE;
    }

    static gboolean onReadable(gint, GIOCondition, gpointer self)
    {
        auto* hotKeys = static_cast<X11HotKeys*>(self);
        if (!hotKeys->display_) {
            hotKeys->watch_.forget();
            return G_SOURCE_REMOVE;
        }
        hotKeys->dispatchPending();
        if (!hotKeys->display_) {
            return G_SOURCE_REMOVE; // the watch handle was reset inside
        }
        return G_SOURCE_CONTINUE;
    }

    static void onConnectionLost(Display*, void* self) { static_cast<X11HotKeys*>(self)->lost_ = true; }

    glib::GUnique<Display> display_;
    bool triedToConnect_ = false;
    bool lost_ = false;
    unsigned numLockMask_ = 0;
    unsigned mappingChanges_ = 0;
    bool mappingChanged_ = false;
    std::vector<Binding> bindings_;
    std::set<KeyCode> held_;
    glib::SourceHandle watch_;
    glib::SourceHandle drain_;
};

X11HotKeys& x11Grabs()
{
    static X11HotKeys backend;
    return backend;
}

} // namespace

HotKeyBackend& native::x11HotKeys()
{
    return x11Grabs();
}

void native::releaseX11HotKeys()
{
    x11Grabs().releaseAll();
}

unsigned native::keyboardMappingChangesFollowed()
{
    return x11Grabs().mappingChanges();
}

} // namespace orvo::platform
