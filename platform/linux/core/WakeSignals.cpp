// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/core/WakeSignals.h"

#include <vector>

namespace orvo::platform::native {

using namespace glib;

WakeSignals& WakeSignals::instance()
{
    static WakeSignals* signals = new WakeSignals(); // lives until the process ends
    return *signals;
}

int WakeSignals::add(std::function<void()> listener)
{
    listeners_[++lastId_] = std::move(listener);
    return lastId_;
}

void WakeSignals::remove(int id)
{
    listeners_.erase(id);
}

WakeSignals::WakeSignals()
{
    monitor_ = retain(g_network_monitor_get_default());
    available_ = g_network_monitor_get_network_available(monitor_.get());
    g_signal_connect(monitor_.get(), "network-changed", G_CALLBACK(&WakeSignals::onNetworkChanged), this);
    // No system bus (containers, some test hosts): sleep is not watched.
    g_bus_get(G_BUS_TYPE_SYSTEM, nullptr, &WakeSignals::onSystemBus, this);
}

void WakeSignals::onNetworkChanged(GNetworkMonitor*, gboolean available, gpointer data)
{
    auto* self = static_cast<WakeSignals*>(data);
    const bool cameBack = available && !self->available_;
    self->available_ = available;
    if (cameBack) {
        g_debug("network is back");
        self->notify();
    }
}

void WakeSignals::onSystemBus(GObject*, GAsyncResult* result, gpointer data)
{
    auto* self = static_cast<WakeSignals*>(data);
    self->systemBus_ = adopt(g_bus_get_finish(result, nullptr));
    if (!self->systemBus_) {
        return;
    }
    // Losing the system bus must not end the application.
    g_dbus_connection_set_exit_on_close(self->systemBus_.get(), FALSE);
    g_dbus_connection_signal_subscribe(self->systemBus_.get(), "org.freedesktop.login1",
        "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1", nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &WakeSignals::onPrepareForSleep, self, nullptr);
}

void WakeSignals::onPrepareForSleep(
    GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data)
{
    gboolean sleeping = TRUE;
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
        g_variant_get(parameters, "(b)", &sleeping);
    }
    if (!sleeping) {
        g_debug("woke from sleep");
        static_cast<WakeSignals*>(data)->notify();
    }
}

void WakeSignals::notify()
{
    // A listener may remove itself or others; walk a copy of the ids.
    std::vector<int> ids;
    for (const auto& [id, listener] : listeners_) {
        ids.push_back(id);
    }
    for (int id : ids) {
        if (auto it = listeners_.find(id); it != listeners_.end()) {
            auto listener = it->second;
            listener();
        }
    }
}

} // namespace orvo::platform::native
