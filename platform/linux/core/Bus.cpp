// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"

#include <cstdio>
#include <cstdlib>

namespace orvo::platform::native {

GDBusConnection* sessionBus()
{
    static GDBusConnection* connection = [] {
        glib::GUnique<GError> error;
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, glib::out(error));
        if (!bus) {
            std::fprintf(
                stderr, "orvomenu: cannot reach the session bus: %s\n", error ? error->message : "unknown error");
            std::exit(1);
        }
        return bus;
    }();
    return connection;
}

InstanceReply activateInstanceAction(const char* action, int parameter, std::string* error)
{
    glib::GUnique<GError> failure;
    GVariantBuilder parameters;
    g_variant_builder_init(&parameters, G_VARIANT_TYPE("av"));
    g_variant_builder_add(&parameters, "v", g_variant_new_int32(parameter));
    auto reply = glib::GUnique<GVariant>(g_dbus_connection_call_sync(sessionBus(), instanceBusName, instanceObjectPath,
        "org.gtk.Actions", "Activate", g_variant_new("(sava{sv})", action, &parameters, nullptr), nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, glib::out(failure)));
    if (reply) {
        return InstanceReply::Done;
    }
    const bool absent = g_error_matches(failure.get(), G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN)
        || g_error_matches(failure.get(), G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
    if (error) {
        if (failure) {
            g_dbus_error_strip_remote_error(failure.get());
        }
        *error = failure ? failure->message : "no answer";
    }
    return absent ? InstanceReply::NotRunning : InstanceReply::Failed;
}

} // namespace orvo::platform::native
