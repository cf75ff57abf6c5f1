// SPDX-License-Identifier: GPL-3.0-or-later
#include "src/MenuManager.h"

#include "platform/Localization.h"
#include "platform/LoginItem.h"

namespace orvo {

using platform::MenuItem;

namespace {
constexpr const char* antennaSymbol = "antenna.radiowaves.left.and.right";
constexpr double flagPointSize = 14;
constexpr double symbolSide = 12;
constexpr double symbolGap = 2;
} // namespace

MenuManager::MenuManager(std::shared_ptr<platform::StatusItem> statusItem, std::shared_ptr<AudioPlayer> audioPlayer)
{
    // In this order: the hotkeys are registered before the updater starts.
    hotkeyManager_ = HotkeyManager::create();
    channels_ = OrvoChannel::allChannels;
    statusItem_ = std::move(statusItem);
    audioPlayer_ = std::move(audioPlayer);
    updaterController_ = platform::UpdaterController::create(true);
}

std::shared_ptr<MenuManager> MenuManager::create(
    std::shared_ptr<platform::StatusItem> statusItem, std::shared_ptr<AudioPlayer> audioPlayer)
{
    std::shared_ptr<MenuManager> manager(new MenuManager(std::move(statusItem), std::move(audioPlayer)));
    std::weak_ptr<MenuManager> weak = manager;
    manager->audioPlayer_->onStateChange = [weak] {
        if (auto self = weak.lock()) {
            self->rebuildMenu();
        }
    };
    manager->hotkeyManager_->onHotkeyPressed = [weak](int slot) {
        if (auto self = weak.lock()) {
            self->hotkeyTriggered(slot);
        }
    };
    return manager;
}

void MenuManager::start()
{
    if (auto* button = statusItem_->button()) {
        button->setImage(menuBarIcon(flagText));
        button->setTitle("");
    }
    hotkeyManager_->setDefaults(OrvoChannel::defaultHotkeyChannelIds);
    rebuildMenu();
}

bool MenuManager::respondsToSelector(const platform::Selector& selector) const
{
    return selector == "channelSelected:" || selector == "assignHotkey:" || selector == "toggleLaunchAtLogin";
}

void MenuManager::performSelector(const platform::Selector& selector, MenuItem* sender)
{
    if (selector == "channelSelected:" && sender) {
        channelSelected(sender);
    } else if (selector == "assignHotkey:" && sender) {
        assignHotkey(sender);
    } else if (selector == "toggleLaunchAtLogin") {
        toggleLaunchAtLogin();
    }
}

void MenuManager::choose(const OrvoChannel& channel)
{
    const auto& current = audioPlayer_->currentChannel();
    if (current && current->id == channel.id) {
        if (audioPlayer_->isPlaying()) {
            audioPlayer_->pause();
        } else {
            audioPlayer_->resume();
        }
    } else {
        audioPlayer_->play(channel);
    }
}

void MenuManager::channelSelected(MenuItem* sender)
{
    const long index = sender->tag();
    if (index < 0 || index >= static_cast<long>(channels_.size())) {
        return;
    }
    // A copy: the menu that holds sender is replaced during the call.
    const OrvoChannel channel = channels_[index];
    choose(channel);
}

void MenuManager::hotkeyTriggered(int slot)
{
    const auto id = hotkeyManager_->channelId(slot);
    if (!id) {
        return;
    }
    for (const auto& channel : channels_) {
        if (channel.id == *id) {
            const OrvoChannel chosen = channel;
            choose(chosen);
            return;
        }
    }
}

void MenuManager::assignHotkey(MenuItem* sender)
{
    const long tag = sender->tag();
    const long slot = tag / tagStride;
    const long k = tag - slot * tagStride;
    if (k == 0) {
        hotkeyManager_->setChannel(std::nullopt, static_cast<int>(slot));
    } else if (k >= 1 && k <= static_cast<long>(channels_.size())) {
        hotkeyManager_->setChannel(channels_[k - 1].id, static_cast<int>(slot));
    }
    rebuildMenu();
}

void MenuManager::toggleLaunchAtLogin()
{
    auto& service = platform::AppService::mainAppService();
    // Errors are dropped: the rebuilt menu shows the service's real state.
    if (service.status() == platform::AppServiceStatus::Enabled) {
        service.unregisterAndReturnError(nullptr);
    } else {
        service.registerAndReturnError(nullptr);
    }
    rebuildMenu();
}

std::shared_ptr<platform::Image> MenuManager::menuBarIcon(const std::string& flag)
{
    const platform::TextAttributes attributes { platform::Font::systemFontOfSize(flagPointSize) };
    const auto textSize = platform::sizeWithAttributes(flag, attributes);
    const double w = textSize.width;
    const double h = textSize.height;
    const auto symbol = platform::Image::imageWithSystemSymbolName(antennaSymbol, std::nullopt);
    const double height = h > symbolSide ? h : symbolSide;

    auto image = std::make_shared<platform::Image>(platform::Size { w + symbolGap + symbolSide, height });
    image->lockFocus();
    platform::drawAtPoint(flag, { 0, (height - h) * 0.5 }, attributes);
    if (symbol) {
        symbol->drawInRect({ { w + symbolGap, (height - symbolSide) * 0.5 }, { symbolSide, symbolSide } });
    }
    image->unlockFocus();
    image->setTemplate(false);
    return image;
}

void MenuManager::updateStatusIcon()
{
    auto* button = statusItem_->button();
    if (!button) {
        return;
    }
    button->setImage(menuBarIcon(flagText));
    if (const auto& channel = audioPlayer_->currentChannel()) {
        button->setTitle(" " + channel->name);
        button->setFont(platform::Font::systemFontOfSize(platform::Font::smallSystemFontSize()));
    } else {
        button->setTitle("");
    }
}

std::shared_ptr<MenuItem> MenuManager::channelMenuItem(const OrvoChannel& channel)
{
    auto item = std::make_shared<MenuItem>(channel.name, "channelSelected:", "");
    item->setTarget(shared_from_this());

    long index = 0;
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        if (channels_[i].id == channel.id) {
            index = static_cast<long>(i);
            break;
        }
    }
    item->setTag(index);

    const auto& current = audioPlayer_->currentChannel();
    item->setState(current && current->id == channel.id ? 1 : 0);

    // The lowest slot playing this channel is shown beside it as Alt+digit.
    if (const auto slot = hotkeyManager_->slot(channel.id)) {
        item->setKeyEquivalent(std::to_string(*slot + 1));
        item->setKeyEquivalentModifierMask(platform::ModifierFlag::Option);
    }
    return item;
}

std::shared_ptr<MenuItem> MenuManager::slotMenuItem(int slot)
{
    const auto self = shared_from_this();
    const auto assigned = hotkeyManager_->channelId(slot);

    std::string assignedText = platform::localizedString("hotkey_none");
    if (assigned) {
        for (const auto& channel : channels_) {
            if (channel.id == *assigned) {
                assignedText = channel.name;
                break;
            }
        }
    }
    auto item = std::make_shared<MenuItem>("\u2325" + std::to_string(slot + 1) + ": " + assignedText, std::nullopt, "");

    auto submenu = std::make_shared<platform::Menu>();
    auto none = std::make_shared<MenuItem>(platform::localizedString("hotkey_none"), "assignHotkey:", "");
    none->setTarget(self);
    none->setTag(slot * tagStride);
    none->setState(assigned ? 0 : 1);
    submenu->addItem(none);
    submenu->addItem(MenuItem::separatorItem());
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        auto entry = std::make_shared<MenuItem>(channels_[i].name, "assignHotkey:", "");
        entry->setTarget(self);
        entry->setTag(slot * tagStride + static_cast<long>(i) + 1);
        entry->setState(assigned && *assigned == channels_[i].id ? 1 : 0);
        submenu->addItem(entry);
    }
    item->setSubmenu(submenu);
    return item;
}

void MenuManager::rebuildMenu()
{
    updateStatusIcon();
    const auto self = shared_from_this();
    auto menu = std::make_shared<platform::Menu>();

    for (const auto& channel : channels_) {
        if (channel.category == ChannelCategory::national) {
            menu->addItem(channelMenuItem(channel));
        }
    }
    const std::pair<ChannelCategory, const char*> sections[]
        = { { ChannelCategory::regional, "regional" }, { ChannelCategory::thematic, "thematic" } };
    for (const auto& [category, key] : sections) {
        auto submenu = std::make_shared<platform::Menu>();
        for (const auto& channel : channels_) {
            if (channel.category == category) {
                submenu->addItem(channelMenuItem(channel));
            }
        }
        if (!submenu->items().empty()) {
            auto item = std::make_shared<MenuItem>(platform::localizedString(key), std::nullopt, "");
            item->setSubmenu(submenu);
            menu->addItem(item);
        }
    }
    menu->addItem(MenuItem::separatorItem());

    auto launchAtLogin
        = std::make_shared<MenuItem>(platform::localizedString("launch_at_login"), "toggleLaunchAtLogin", "");
    launchAtLogin->setTarget(self);
    launchAtLogin->setState(
        platform::AppService::mainAppService().status() == platform::AppServiceStatus::Enabled ? 1 : 0);
    menu->addItem(launchAtLogin);

    auto shortcuts = std::make_shared<MenuItem>(platform::localizedString("keyboard_shortcuts"), std::nullopt, "");
    auto slots = std::make_shared<platform::Menu>();
    for (int slot = 0; slot < slotCount; ++slot) {
        slots->addItem(slotMenuItem(slot));
    }
    shortcuts->setSubmenu(slots);
    menu->addItem(shortcuts);

    auto updates = std::make_shared<MenuItem>(platform::localizedString("check_for_updates"), "checkForUpdates:", "");
    updates->setTarget(updaterController_);
    menu->addItem(updates);
    menu->addItem(MenuItem::separatorItem());

    // No target: the action reaches the application, which ends.
    menu->addItem(std::make_shared<MenuItem>(platform::localizedString("quit"), "terminate:", "q"));

    statusItem_->setMenu(menu);
}

} // namespace orvo
