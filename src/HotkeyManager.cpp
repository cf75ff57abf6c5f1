// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/HotkeyManager.h"

#include "platform/UserDefaults.h"

namespace orvo {

namespace {
constexpr const char* storeKey = "hotkeyChannels";
constexpr std::size_t slotCount = HotkeyManager::keyCodes.size();
} // namespace

std::shared_ptr<HotkeyManager> hotkeyManagerInstance;

std::shared_ptr<HotkeyManager> HotkeyManager::create()
{
    std::shared_ptr<HotkeyManager> manager(new HotkeyManager());
    hotkeyManagerInstance = manager;
    static const platform::EventTypeSpec hotKeyPressed { platform::kEventClassKeyboard, platform::kEventHotKeyPressed };
    // Statuses are not examined: a handler or a combination that cannot be had
    // leaves that key without effect and everything else working.
    platform::InstallEventHandler(
        platform::GetApplicationEventTarget(), &hotkeyEventHandler, 1, &hotKeyPressed, nullptr, nullptr);
    manager->registerAllHotkeys();
    return manager;
}

void HotkeyManager::registerAllHotkeys()
{
    for (std::size_t i = 0; i < slotCount; ++i) {
        platform::EventHotKeyRef ref = nullptr;
        const platform::EventHotKeyID id { signature, static_cast<platform::UInt32>(i) };
        platform::RegisterEventHotKey(keyCodes[i], modifiers, id, platform::GetApplicationEventTarget(), 0, &ref);
        hotKeyRefs_[i] = ref;
    }
}

void HotkeyManager::handleHotkey(int slot)
{
    if (auto callback = onHotkeyPressed) {
        callback(slot);
    }
}

std::vector<std::string> HotkeyManager::storedIds()
{
    std::vector<std::string> ids;
    if (auto stored = platform::UserDefaults::standardUserDefaults().arrayForKey(storeKey)) {
        for (const auto& value : *stored) {
            if (!value.isString()) {
                // One foreign element voids the whole list.
                ids.clear();
                break;
            }
            ids.push_back(value.asString());
        }
    }
    while (ids.size() < slotCount) {
        ids.emplace_back();
    }
    return ids;
}

std::optional<std::string> HotkeyManager::channelId(int slot)
{
    const auto ids = storedIds();
    if (slot < 0 || static_cast<std::size_t>(slot) >= ids.size() || ids[slot].empty()) {
        return std::nullopt;
    }
    return ids[slot];
}

void HotkeyManager::setChannel(const std::optional<std::string>& id, int slot)
{
    auto ids = storedIds();
    // Only slots of the list can be set; anything else would have to invent
    // entries in between.
    if (slot < 0 || static_cast<std::size_t>(slot) >= ids.size()) {
        return;
    }
    ids[slot] = id.value_or("");
    platform::UserDefaults::standardUserDefaults().setObject(platform::Value::stringArray(ids), storeKey);
}

std::optional<int> HotkeyManager::slot(const std::string& channelId)
{
    const auto ids = storedIds();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] == channelId) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

void HotkeyManager::setDefaults(const std::vector<std::string>& channelIds)
{
    for (const auto& id : storedIds()) {
        if (!id.empty()) {
            return;
        }
    }
    for (std::size_t i = 0; i < channelIds.size() && i < slotCount; ++i) {
        setChannel(channelIds[i], static_cast<int>(i));
    }
}

platform::OSStatus hotkeyEventHandler(platform::EventHandlerCallRef, platform::EventRef event, void*)
{
    if (!event) {
        return platform::eventNotHandledErr;
    }
    platform::EventHotKeyID hotKeyID {};
    const platform::OSStatus status = platform::GetEventParameter(event, platform::kEventParamDirectObject,
        platform::typeEventHotKeyID, nullptr, sizeof hotKeyID, nullptr, &hotKeyID);
    if (status != platform::noErr) {
        return status;
    }
    // Held for the call, so the manager outlives its own callback.
    const auto manager = hotkeyManagerInstance;
    if (!manager) {
        return platform::noErr;
    }
    manager->handleHotkey(static_cast<int>(hotKeyID.id));
    return platform::noErr;
}

} // namespace orvo
