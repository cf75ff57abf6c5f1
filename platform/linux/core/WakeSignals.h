// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/linux/core/GLibPtr.h"

#include <functional>
#include <map>

namespace orvo::platform::native {

// Tells its listeners when the network comes back or the machine wakes from
// sleep, so that whatever waits to retry over the network (the stream
// players, the update check) tries at once. Main loop only.
class WakeSignals {
public:
    static WakeSignals& instance();

    int add(std::function<void()> listener);
    void remove(int id);
    // Runs every listener, as the network coming back does.
    void notify();

private:
    WakeSignals();
    static void onNetworkChanged(GNetworkMonitor*, gboolean available, gpointer data);
    static void onSystemBus(GObject*, GAsyncResult* result, gpointer data);
    static void onPrepareForSleep(
        GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data);

    glib::GRef<GNetworkMonitor> monitor_;
    bool available_ = true;
    glib::GRef<GDBusConnection> systemBus_;
    std::map<int, std::function<void()>> listeners_;
    int lastId_ = 0;
};

} // namespace orvo::platform::native
