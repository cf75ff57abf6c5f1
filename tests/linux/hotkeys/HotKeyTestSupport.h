// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the hot-key tests share: registering the five Alt+digit slots as the
// hot-key manager does, a handler that records every hot-key event the
// application target receives, and python3-dbusmock stand-ins for services.

#include "platform/EventManager.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "tests/support/TestSupport.h"

#include <array>
#include <string>
#include <vector>

namespace orvo::platform::hotkeytest {

inline constexpr std::array<UInt32, 5> slotKeys = { kVK_ANSI_1, kVK_ANSI_2, kVK_ANSI_3, kVK_ANSI_4, kVK_ANSI_5 };

// Records the id of every hot-key event the application target receives.
class Recorder {
public:
    Recorder()
    {
        const EventTypeSpec type { kEventClassKeyboard, kEventHotKeyPressed };
        InstallEventHandler(GetApplicationEventTarget(), record, 1, &type, &ids, nullptr);
    }
    std::vector<UInt32> ids;

private:
    static OSStatus record(EventHandlerCallRef, EventRef event, void* ids)
    {
        EventHotKeyID id {};
        const OSStatus status
            = GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
        if (status == noErr) {
            static_cast<std::vector<UInt32>*>(ids)->push_back(id.id);
        }
        return status;
    }
};

inline OSStatus registerKey(UInt32 keyCode, UInt32 modifiers, UInt32 id)
{
    EventHotKeyRef ref = nullptr;
    return RegisterEventHotKey(
        keyCode, modifiers, EventHotKeyID { fourCharCode("ORVM"), id }, GetApplicationEventTarget(), 0, &ref);
}

inline std::array<OSStatus, 5> registerSlots()
{
    std::array<OSStatus, 5> statuses {};
    for (UInt32 slot = 0; slot < slotKeys.size(); ++slot) {
        statuses[slot] = registerKey(slotKeys[slot], optionKey, slot);
    }
    return statuses;
}

inline constexpr std::array<OSStatus, 5> allRegistered = { noErr, noErr, noErr, noErr, noErr };

// A python3-dbusmock stand-in on the private session bus, from one of
// dbusmock's templates (by name) or a template file; parameters are JSON.
class DBusMock {
public:
    DBusMock(const char* name, const char* path, const std::string& dbusTemplate, const std::string& parameters = "{}")
        : name_(name)
        , path_(path)
        , process_({ "/usr/bin/python3", "-m", "dbusmock", "--template", dbusTemplate, "--parameters", parameters,
              "--logfile", "/dev/null" })
    {
        bool owned = false;
        const guint watch = g_bus_watch_name_on_connection(
            native::sessionBus(), name, G_BUS_NAME_WATCHER_FLAGS_NONE,
            [](GDBusConnection*, const char*, const char*, gpointer seen) { *static_cast<bool*>(seen) = true; },
            nullptr, &owned, nullptr);
        test::waitFor([&] { return owned; }, std::chrono::seconds(30));
        g_bus_unwatch_name(watch);
    }

    // Calls a method of the stand-in's org.freedesktop.DBus.Mock interface,
    // over the connection of the code under test, so that everything that
    // code sent before has reached the stand-in.
    glib::GUnique<GVariant> mock(const char* method, GVariant* parameters = nullptr) const
    {
        return glib::GUnique<GVariant>(g_dbus_connection_call_sync(native::sessionBus(), name_, path_,
            "org.freedesktop.DBus.Mock", method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
    }

private:
    const char* name_;
    const char* path_;
    test::ChildProcess process_;
};

} // namespace orvo::platform::hotkeytest
