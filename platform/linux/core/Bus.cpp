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

} // namespace orvo::platform::native
