// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the hot-key tests share: registering the five Alt+digit slots as the
// hot-key manager does, a handler that records every hot-key event the
// application target receives.

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

using test::DBusMock;

} // namespace orvo::platform::hotkeytest
