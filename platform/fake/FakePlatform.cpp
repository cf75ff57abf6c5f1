// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fake/FakePlatform.h"

#include "platform/Application.h"
#include "platform/Localization.h"
#include "platform/Notifications.h"
#include "platform/Updater.h"
#include "platform/common/HotKeyBackend.h"
#include "platform/common/RemoteCommandHandlers.h"

#include <algorithm>
#include <set>

namespace orvo::platform {
namespace fake {
namespace {

struct Button final : StatusBarButton {
    void setImage(std::shared_ptr<const Image> image) override
    {
        record("button.setImage");
        image_ = std::move(image);
    }
    void setTitle(const std::string& title) override
    {
        record("button.setTitle " + title);
        title_ = title;
    }
    void setFont(const Font& font) override
    {
        record("button.setFont " + std::to_string(font.pointSize));
        font_ = font;
    }
    std::shared_ptr<const Image> image() const override { return image_; }
    std::string title() const override { return title_; }
    std::optional<Font> font() const override { return font_; }

    std::shared_ptr<const Image> image_;
    std::string title_;
    std::optional<Font> font_;
};

struct Item final : StatusItem {
    explicit Item(bool withButton)
        : hasButton(withButton)
    {
    }
    StatusBarButton* button() override { return hasButton ? &button_ : nullptr; }
    void setMenu(std::shared_ptr<Menu> menu) override
    {
        record("statusItem.setMenu");
        menu_ = std::move(menu);
    }
    std::shared_ptr<Menu> menu() const override { return menu_; }

    bool hasButton;
    Button button_;
    std::shared_ptr<Menu> menu_;
};

struct FakePlayerItem final : PlayerItem {
    explicit FakePlayerItem(Url url)
        : url_(std::move(url))
    {
    }
    const Url& url() const override { return url_; }
    Url url_;
};

struct State {
    std::vector<std::string> events;
    ApplicationDelegate* delegate = nullptr;
    int terminateCount = 0;
    std::vector<std::shared_ptr<StatusItem>> items;
    std::vector<double> lengths;
    bool itemsHaveButton = true;
    std::function<Size(const std::string&, const TextAttributes&)> metrics;
    bool symbolsAvailable = true;
    std::map<std::string, Value> defaults;
    std::vector<std::pair<std::string, Value>> defaultsWrites;
    std::map<std::string, std::string> texts;
    std::vector<std::shared_ptr<PlayerRecord>> players;
    float playingRate = 1;
    std::optional<NowPlayingInfo> info;
    std::optional<PlaybackState> state;
    RemoteCommandHandlers play, pause, toggle;
    std::vector<HotKeyRegistration> hotKeys;
    std::map<UInt32, OSStatus> hotKeyFailures;
    AppServiceStatus loginStatus = AppServiceStatus::NotRegistered;
    bool loginCallsFail = false;
    int updaterCreates = 0;
    bool updaterStarted = false;
    int updateChecks = 0;
    std::vector<unsigned> authorizationOptions;
    std::vector<std::function<void(bool, std::optional<std::string>)>> pendingAuthorizations;
};

State& state()
{
    static State s;
    return s;
}

std::size_t codePoints(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

RemoteCommandHandlers& handlersOf(Command command)
{
    switch (command) {
    case Command::Play:
        return state().play;
    case Command::Pause:
        return state().pause;
    case Command::TogglePlayPause:
        break;
    }
    return state().toggle;
}

} // namespace

void reset()
{
    state() = State {};
    removeAllApplicationEventHandlers();
    Application::sharedApplication(); // exists from the start, as in a real process
}

const std::vector<std::string>& events()
{
    return state().events;
}

void record(std::string event)
{
    state().events.push_back(std::move(event));
}

void clearEvents()
{
    state().events.clear();
}

int countEvents(const std::string& prefix)
{
    return static_cast<int>(std::count_if(
        state().events.begin(), state().events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
}

ApplicationDelegate* applicationDelegate()
{
    return state().delegate;
}

int terminateCount()
{
    return state().terminateCount;
}

std::vector<std::shared_ptr<StatusItem>> statusItems()
{
    return state().items;
}

std::vector<double> statusItemLengths()
{
    return state().lengths;
}

void setStatusItemsHaveButton(bool haveButton)
{
    state().itemsHaveButton = haveButton;
}

std::shared_ptr<MenuItem> findItem(const std::shared_ptr<Menu>& menu, const std::vector<std::string>& path)
{
    std::shared_ptr<Menu> current = menu;
    std::shared_ptr<MenuItem> found;
    for (const auto& title : path) {
        if (!current) {
            return nullptr;
        }
        found = nullptr;
        for (const auto& item : current->items()) {
            if (!item->isSeparatorItem() && item->title() == title) {
                found = item;
                break;
            }
        }
        if (!found) {
            return nullptr;
        }
        current = found->submenu();
    }
    return found;
}

bool click(const std::shared_ptr<MenuItem>& item)
{
    return item && performMenuItemAction(*item);
}

void setTextMetrics(std::function<Size(const std::string&, const TextAttributes&)> metrics)
{
    state().metrics = std::move(metrics);
}

void setSymbolsAvailable(bool available)
{
    state().symbolsAvailable = available;
}

std::map<std::string, Value>& defaults()
{
    return state().defaults;
}

const std::vector<std::pair<std::string, Value>>& defaultsWrites()
{
    return state().defaultsWrites;
}

void setLocalizedStrings(std::map<std::string, std::string> texts)
{
    state().texts = std::move(texts);
}

const std::vector<std::shared_ptr<PlayerRecord>>& players()
{
    return state().players;
}

void setPlayingRate(float rate)
{
    state().playingRate = rate;
}

std::optional<NowPlayingInfo> nowPlayingInfo()
{
    return state().info;
}

std::optional<PlaybackState> playbackState()
{
    return state().state;
}

RemoteCommandHandlerStatus sendRemoteCommand(Command command)
{
    return handlersOf(command).perform();
}

int remoteHandlerCount(Command command)
{
    return static_cast<int>(handlersOf(command).count());
}

const std::vector<HotKeyRegistration>& hotKeyRegistrations()
{
    return state().hotKeys;
}

void failHotKeyRegistration(UInt32 keyCode, OSStatus status)
{
    state().hotKeyFailures[keyCode] = status;
}

OSStatus pressHotKey(UInt32 keyCode, UInt32 modifiers)
{
    for (const auto& registration : state().hotKeys) {
        if (registration.keyCode == keyCode && registration.modifiers == modifiers) {
            return deliverHotKeyPressed(registration.id);
        }
    }
    return eventNotHandledErr;
}

int installedEventHandlerCount()
{
    return static_cast<int>(applicationEventHandlerCount());
}

void setLoginItemStatus(AppServiceStatus status)
{
    state().loginStatus = status;
}

void setLoginItemCallsFail(bool fail)
{
    state().loginCallsFail = fail;
}

AppServiceStatus loginItemStatus()
{
    return state().loginStatus;
}

int updaterCreateCount()
{
    return state().updaterCreates;
}

bool updaterStartedOnCreate()
{
    return state().updaterStarted;
}

int updateCheckCount()
{
    return state().updateChecks;
}

std::vector<unsigned> authorizationRequests()
{
    return state().authorizationOptions;
}

void answerAuthorization(bool granted)
{
    auto pending = std::move(state().pendingAuthorizations);
    state().pendingAuthorizations.clear();
    for (auto& completion : pending) {
        completion(granted, granted ? std::nullopt : std::optional<std::string>("denied"));
    }
}

} // namespace fake

// ---- The platform, as the units see it.

namespace {

class FakeApplication final : public Application {
public:
    void setDelegate(ApplicationDelegate* delegate) override
    {
        fake::record("app.setDelegate");
        fake::state().delegate = delegate;
    }
    // Delivers the launch notification and returns, as if the user had quit
    // right after start-up.
    void run() override
    {
        fake::record("app.run");
        if (auto* delegate = fake::state().delegate) {
            delegate->applicationDidFinishLaunching();
        }
    }
    void terminate() override
    {
        fake::record("app.terminate");
        ++fake::state().terminateCount;
    }
};

class FakeStatusBar final : public StatusBar {
public:
    std::shared_ptr<StatusItem> statusItemWithLength(double length) override
    {
        fake::record("statusBar.statusItemWithLength");
        auto item = std::make_shared<fake::Item>(fake::state().itemsHaveButton);
        fake::state().items.push_back(item);
        fake::state().lengths.push_back(length);
        return item;
    }
};

class FakeDefaults final : public UserDefaults {
public:
    std::optional<Value> objectForKey(const std::string& key) override
    {
        const auto& values = fake::state().defaults;
        const auto it = values.find(key);
        if (it == values.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    void setObject(const Value& value, const std::string& key) override
    {
        fake::record("defaults.set " + key);
        fake::state().defaults[key] = value;
        fake::state().defaultsWrites.emplace_back(key, value);
    }
};

class FakePlayer final : public Player {
public:
    explicit FakePlayer(std::shared_ptr<PlayerItem> item)
        : item_(std::move(item))
    {
        record_ = std::make_shared<fake::PlayerRecord>();
        record_->number = static_cast<int>(fake::state().players.size()) + 1;
        record_->url = item_->url().string();
        record_->item = item_;
        fake::state().players.push_back(record_);
        fake::record(name() + ".create " + record_->url);
    }
    ~FakePlayer() override
    {
        record_->alive = false;
        fake::record(name() + ".release");
    }
    void play() override
    {
        fake::record(name() + ".play");
        record_->rate = fake::state().playingRate;
    }
    void pause() override
    {
        fake::record(name() + ".pause");
        record_->rate = 0;
    }
    float rate() const override { return record_->rate; }
    const std::shared_ptr<PlayerItem>& currentItem() const override { return item_; }

private:
    std::string name() const { return "player" + std::to_string(record_->number); }
    std::shared_ptr<PlayerItem> item_;
    std::shared_ptr<fake::PlayerRecord> record_;
};

class FakeNowPlaying final : public NowPlayingInfoCenter {
public:
    void setNowPlayingInfo(const NowPlayingInfo& info) override
    {
        fake::record("nowPlaying.info " + info.title);
        fake::state().info = info;
    }
    void setPlaybackState(PlaybackState playbackState) override
    {
        fake::record("nowPlaying.state " + std::to_string(static_cast<int>(playbackState)));
        fake::state().state = playbackState;
    }
};

class FakeCommandCenter final : public RemoteCommandCenter {
public:
    RemoteCommand& playCommand() override { return fake::state().play; }
    RemoteCommand& pauseCommand() override { return fake::state().pause; }
    RemoteCommand& togglePlayPauseCommand() override { return fake::state().toggle; }
};

class FakeHotKeys final : public HotKeyBackend {
public:
    OSStatus registerHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID id) override
    {
        fake::record("hotKey.register " + std::to_string(keyCode) + " " + std::to_string(id.id));
        const auto failure = fake::state().hotKeyFailures.find(keyCode);
        if (failure != fake::state().hotKeyFailures.end()) {
            return failure->second;
        }
        fake::state().hotKeys.push_back({ keyCode, modifiers, id });
        return noErr;
    }
};

class FakeLoginItem final : public AppService {
public:
    AppServiceStatus status() override { return fake::state().loginStatus; }
    bool registerAndReturnError(std::string* error) override
    {
        fake::record("loginItem.register");
        return change(AppServiceStatus::Enabled, error);
    }
    bool unregisterAndReturnError(std::string* error) override
    {
        fake::record("loginItem.unregister");
        return change(AppServiceStatus::NotRegistered, error);
    }

private:
    static bool change(AppServiceStatus to, std::string* error)
    {
        if (fake::state().loginCallsFail) {
            if (error) {
                *error = "refused";
            }
            return false;
        }
        fake::state().loginStatus = to;
        return true;
    }
};

class FakeUpdater final : public UpdaterController {
public:
    bool respondsToSelector(const Selector& selector) const override { return selector == "checkForUpdates:"; }
    void performSelector(const Selector& selector, MenuItem*) override
    {
        if (selector == "checkForUpdates:") {
            fake::record("updater.checkForUpdates");
            ++fake::state().updateChecks;
        }
    }
};

class FakeNotifications final : public UserNotificationCenter {
public:
    void requestAuthorization(
        unsigned options, std::function<void(bool, std::optional<std::string>)> completion) override
    {
        fake::record("notifications.requestAuthorization " + std::to_string(options));
        fake::state().authorizationOptions.push_back(options);
        fake::state().pendingAuthorizations.push_back(std::move(completion));
    }
};

} // namespace

Application& Application::sharedApplication()
{
    static FakeApplication app;
    return app;
}

void Application::handleCommandLine(int, char**)
{
    // The fake process takes no options: every start is a plain start.
}

StatusBar& StatusBar::systemStatusBar()
{
    static FakeStatusBar bar;
    return bar;
}

Size sizeWithAttributes(const std::string& text, const TextAttributes& attributes)
{
    if (fake::state().metrics) {
        return fake::state().metrics(text, attributes);
    }
    return { 10.0 * static_cast<double>(fake::codePoints(text)), 1.2 * attributes.font.pointSize };
}

std::shared_ptr<Image> Image::imageWithSystemSymbolName(const std::string& name, const std::optional<std::string>&)
{
    if (!fake::state().symbolsAvailable || !isBuiltInSymbol(name)) {
        return nullptr;
    }
    auto image = std::make_shared<Image>(Size { 12, 12 });
    image->addOperation(SymbolDrawing { name });
    return image;
}

UserDefaults& UserDefaults::standardUserDefaults()
{
    static FakeDefaults defaults;
    return defaults;
}

std::string localizedString(const std::string& key)
{
    const auto& texts = fake::state().texts;
    const auto it = texts.find(key);
    return it != texts.end() ? it->second : key;
}

std::shared_ptr<PlayerItem> PlayerItem::create(const Url& url)
{
    fake::record("playerItem.create " + url.string());
    return std::make_shared<fake::FakePlayerItem>(url);
}

std::unique_ptr<Player> Player::create(std::shared_ptr<PlayerItem> item)
{
    return std::make_unique<FakePlayer>(std::move(item));
}

NowPlayingInfoCenter& NowPlayingInfoCenter::defaultCenter()
{
    static FakeNowPlaying center;
    return center;
}

RemoteCommandCenter& RemoteCommandCenter::sharedCommandCenter()
{
    static FakeCommandCenter center;
    return center;
}

HotKeyBackend& hotKeyBackend()
{
    static FakeHotKeys backend;
    return backend;
}

AppService& AppService::mainAppService()
{
    static FakeLoginItem service;
    return service;
}

std::shared_ptr<UpdaterController> UpdaterController::create(bool startingUpdater)
{
    fake::record(std::string("updater.create ") + (startingUpdater ? "started" : "stopped"));
    ++fake::state().updaterCreates;
    fake::state().updaterStarted = startingUpdater;
    return std::make_shared<FakeUpdater>();
}

UserNotificationCenter& UserNotificationCenter::currentNotificationCenter()
{
    static FakeNotifications center;
    return center;
}

} // namespace orvo::platform
