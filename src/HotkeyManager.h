// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/EventManager.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo {

// The five hotkey slots: Alt+1 … Alt+5 registered system-wide, and the channel
// id each slot plays, kept in the settings store under "hotkeyChannels" (a list
// of strings, the empty string for an empty slot). Holds no copy of the
// assignments: every call reads the store afresh and every change writes the
// whole list. Main loop only.
class HotkeyManager {
public:
    // Constructs the manager, makes it hotkeyManagerInstance, installs the
    // event handler and registers the five key combinations.
    static std::shared_ptr<HotkeyManager> create();

    // Called with the slot of a pressed combination; set by the owner.
    std::function<void(int slot)> onHotkeyPressed;

    void handleHotkey(int slot);

    // The slot's channel id; absent for an empty slot or one beyond the list.
    std::optional<std::string> channelId(int slot);
    // Stores id (the empty string for none) in the slot and writes the list.
    void setChannel(const std::optional<std::string>& id, int slot);
    // The lowest slot holding exactly this id.
    std::optional<int> slot(const std::string& channelId);
    // Assigns the ids to slots 0… (at most five) when every slot is empty.
    void setDefaults(const std::vector<std::string>& channelIds);

    // Virtual key codes of the number-row keys 1 to 5, in slot order. The 5
    // key's code is 23; 22 is the 6 key.
    static constexpr std::array<platform::UInt32, 5> keyCodes = { 18, 19, 20, 21, 23 };
    static constexpr platform::UInt32 modifiers = platform::optionKey;
    static constexpr platform::OSType signature = platform::fourCharCode("ORVM");

    // The registration results, one per slot (for tests).
    const std::array<platform::EventHotKeyRef, 5>& hotKeyRefs() const { return hotKeyRefs_; }

private:
    HotkeyManager() = default;
    void registerAllHotkeys();
    std::vector<std::string> storedIds();

    std::array<platform::EventHotKeyRef, 5> hotKeyRefs_ {};
};

// The manager the event handler reaches; holds it for the rest of the run.
extern std::shared_ptr<HotkeyManager> hotkeyManagerInstance;

// The application's one event handler: turns a hot-key-pressed event into the
// instance's handleHotkey().
platform::OSStatus hotkeyEventHandler(platform::EventHandlerCallRef callRef, platform::EventRef event, void* userData);

} // namespace orvo
