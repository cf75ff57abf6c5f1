// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Notifications.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/Notifications.h"

#include <map>

namespace orvo::platform {
namespace native {
namespace {

constexpr const char* notificationsName = "org.freedesktop.Notifications";
constexpr const char* notificationsPath = "/org/freedesktop/Notifications";

} // namespace

struct Notifier::State {
    using Answer = std::function<void(const std::string&)>;
    glib::SubscriptionHandle subscription;
    std::map<guint32, Answer> answers; // notification id → what its buttons do
    int awaiting = 0; // posts with buttons whose id has not come back yet

    // Signals are followed only while a notification can still be answered,
    // so an idle process is not woken by other programs' notifications.
    void unsubscribeWhenIdle()
    {
        if (awaiting == 0 && answers.empty()) {
            subscription.reset();
        }
    }

    struct Pending {
        std::weak_ptr<State> state;
        Answer onAnswer;
        std::function<void(bool)> onShown;
    };

    static void onNotified(GObject* source, GAsyncResult* result, gpointer data)
    {
        std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
        // Without a notification server nothing was shown: no answer can come, and onShown hears so.
        auto reply = glib::GUnique<GVariant>(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr));
        auto state = pending->state.lock();
        if (!state) {
            return;
        }
        if (pending->onAnswer) {
            --state->awaiting;
            if (reply) {
                guint32 id = 0;
                g_variant_get(reply.get(), "(u)", &id);
                state->answers[id] = std::move(pending->onAnswer);
            }
            state->unsubscribeWhenIdle();
        }
        if (pending->onShown) {
            pending->onShown(reply != nullptr);
        }
    }

    static void onSignal(GDBusConnection*, const char*, const char*, const char*, const char* signal,
        GVariant* parameters, gpointer data)
    {
        auto* state = static_cast<State*>(data);
        guint32 id = 0;
        if (g_strcmp0(signal, "ActionInvoked") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
            const char* key = nullptr;
            g_variant_get(parameters, "(u&s)", &id, &key);
            const auto it = state->answers.find(id);
            if (it != state->answers.end()) {
                const auto answer = std::move(it->second);
                state->answers.erase(it);
                state->unsubscribeWhenIdle();
                answer(key);
            }
        } else if (g_strcmp0(signal, "NotificationClosed") == 0
            && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
            guint32 reason = 0;
            g_variant_get(parameters, "(uu)", &id, &reason);
            state->answers.erase(id);
            state->unsubscribeWhenIdle();
        }
    }
};

Notifier::Notifier()
    : state_(std::make_shared<State>())
{
}

Notifier::~Notifier() = default;

void Notifier::post(
    const std::string& summary, const std::string& body, const std::string& actionLabel, std::function<void()> onAction)
{
    if (!onAction) {
        send(summary, body, {}, -1, {}, {});
        return;
    }
    // "default" is what a click on the notification itself invokes.
    send(summary, body, { { "default", actionLabel } }, -1,
        [onAction = std::move(onAction)](const std::string&) { onAction(); }, {});
}

void Notifier::ask(const std::string& summary, const std::string& body, const std::vector<Button>& buttons,
    std::function<void(const std::string&)> onAnswer, std::function<void(bool)> onShown)
{
    send(summary, body, buttons, 0, std::move(onAnswer), std::move(onShown));
}

void Notifier::send(const std::string& summary, const std::string& body, const std::vector<Button>& buttons,
    int timeout, std::function<void(const std::string&)> onAnswer, std::function<void(bool)> onShown)
{
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    for (const Button& button : buttons) {
        g_variant_builder_add(&actions, "s", button.key.c_str());
        g_variant_builder_add(&actions, "s", button.label.c_str());
    }
    // Subscribed before asking, so an answer cannot slip by.
    if (onAnswer) {
        ++state_->awaiting;
        if (!state_->subscription) {
            state_->subscription = glib::SubscriptionHandle(native::sessionBus(),
                g_dbus_connection_signal_subscribe(native::sessionBus(), notificationsName, notificationsName, nullptr,
                    notificationsPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &State::onSignal, state_.get(), nullptr));
        }
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(build::desktopId));
    GVariant* parameters = g_variant_new(
        "(susssasa{sv}i)", build::appName, 0u, build::appId, summary.c_str(), body.c_str(), &actions, &hints, timeout);
    g_dbus_connection_call(native::sessionBus(), notificationsName, notificationsPath, notificationsName, "Notify",
        parameters, G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &State::onNotified,
        new State::Pending { state_, std::move(onAnswer), std::move(onShown) });
}

} // namespace native

namespace {

using Completion = std::function<void(bool, std::optional<std::string>)>;

// Desktop notifications need no permission on Linux: the question is only
// whether a notification server answers. Nothing is ever posted.
class DesktopNotificationCenter final : public UserNotificationCenter {
public:
    void requestAuthorization(unsigned, Completion completion) override
    {
        auto* pending = new Completion(std::move(completion));
        g_dbus_connection_call(native::sessionBus(), native::notificationsName, native::notificationsPath,
            native::notificationsName, "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, &DesktopNotificationCenter::answered, pending);
    }

private:
    static void answered(GObject* source, GAsyncResult* result, gpointer data)
    {
        std::unique_ptr<Completion> completion(static_cast<Completion*>(data));
        glib::GUnique<GError> error;
        auto reply = glib::GUnique<GVariant>(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
        if (*completion) {
            if (reply) {
                (*completion)(true, std::nullopt);
            } else {
                (*completion)(false, std::string(error ? error->message : "no notification server"));
            }
        }
    }
};

} // namespace

UserNotificationCenter& UserNotificationCenter::currentNotificationCenter()
{
    static DesktopNotificationCenter* center = new DesktopNotificationCenter();
    return *center;
}

} // namespace orvo::platform
