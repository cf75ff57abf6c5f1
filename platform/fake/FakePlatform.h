// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The in-memory platform that unit tests drive. Every platform call is
// recorded in one ordered event log, so tests can check the order of effects;
// test controls click menu items, press hot keys, send remote commands and
// inject faults. reset() returns everything to a fresh process's state.

#include "platform/Application.h"
#include "platform/EventManager.h"
#include "platform/Graphics.h"
#include "platform/LoginItem.h"
#include "platform/Menu.h"
#include "platform/NowPlaying.h"
#include "platform/StatusBar.h"
#include "platform/StreamPlayer.h"
#include "platform/UserDefaults.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo::platform::fake {

void reset();

// The ordered log of platform calls, e.g. "player1.create https://…",
// "player1.play", "nowPlaying.info Vessa 1", "nowPlaying.state 2",
// "statusItem.setMenu", "defaults.set hotkeyChannels". Tests may add their own
// entries (say, from a callback) with record().
const std::vector<std::string>& events();
void record(std::string event);
void clearEvents();
// How many log entries start with prefix.
int countEvents(const std::string& prefix);

// Application.
ApplicationDelegate* applicationDelegate();
int terminateCount();

// Status bar.
std::vector<std::shared_ptr<StatusItem>> statusItems();
std::vector<double> statusItemLengths();
// New status items are made without a button while false.
void setStatusItemsHaveButton(bool haveButton);

// Menus: finds an item by the titles on its path, e.g. {"Regional", "Zendo Mosi"}.
std::shared_ptr<MenuItem> findItem(const std::shared_ptr<Menu>& menu, const std::vector<std::string>& path);
// Chooses an item as the user would; returns whether an action was sent.
bool click(const std::shared_ptr<MenuItem>& item);

// Text and symbols. By default a string measures 10 points wide per code point
// and 1.2 × the font size high.
void setTextMetrics(std::function<Size(const std::string&, const TextAttributes&)> metrics);
void setSymbolsAvailable(bool available);

// Settings store.
std::map<std::string, Value>& defaults();
const std::vector<std::pair<std::string, Value>>& defaultsWrites();

// Localized strings: the key itself unless a text is set.
void setLocalizedStrings(std::map<std::string, std::string> texts);

// Stream players, in creation order (released ones included).
struct PlayerRecord {
    int number = 0;
    std::string url;
    float rate = 0;
    bool alive = true;
    std::shared_ptr<PlayerItem> item;
};
const std::vector<std::shared_ptr<PlayerRecord>>& players();
// Makes the next players report this rate (NaN, negative…) after play().
void setPlayingRate(float rate);

// Now Playing.
std::optional<NowPlayingInfo> nowPlayingInfo();
std::optional<PlaybackState> playbackState();
enum class Command { Play, Pause, TogglePlayPause };
// Runs the command's handlers as the desktop would; the last handler's status
// answers (Success when there is none).
RemoteCommandHandlerStatus sendRemoteCommand(Command command);
int remoteHandlerCount(Command command);

// Hot keys.
struct HotKeyRegistration {
    UInt32 keyCode;
    UInt32 modifiers;
    EventHotKeyID id;
};
const std::vector<HotKeyRegistration>& hotKeyRegistrations();
// Registrations of this key code fail with status from now on.
void failHotKeyRegistration(UInt32 keyCode, OSStatus status = eventHotKeyExistsErr);
// Presses a combination; returns the dispatch status, or eventNotHandledErr
// when nothing registered it.
OSStatus pressHotKey(UInt32 keyCode, UInt32 modifiers);
int installedEventHandlerCount();

// Login item.
void setLoginItemStatus(AppServiceStatus status);
void setLoginItemCallsFail(bool fail);
AppServiceStatus loginItemStatus();

// Update controller.
int updaterCreateCount();
bool updaterStartedOnCreate();
int updateCheckCount();

// Notifications.
std::vector<unsigned> authorizationRequests();
// Answers the pending permission requests.
void answerAuthorization(bool granted);

} // namespace orvo::platform::fake
