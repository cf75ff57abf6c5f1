// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Notifications.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"

#include <memory>

namespace orvo::platform {
namespace {

using Completion = std::function<void(bool, std::optional<std::string>)>;

// Desktop notifications need no permission on Linux: the question is only
// whether a notification server answers. Nothing is ever posted.
class DesktopNotificationCenter final : public UserNotificationCenter {
public:
    void requestAuthorization(unsigned, Completion completion) override
    {
        auto* pending = new Completion(std::move(completion));
        g_dbus_connection_call(native::sessionBus(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE,
            5000, nullptr, &DesktopNotificationCenter::answered, pending);
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
