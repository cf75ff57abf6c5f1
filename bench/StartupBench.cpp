// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the app on a private session bus with a tray watcher, ten times, and
// reports the median time from process start to the item's registration; then
// measures the idle process's memory and how often it wakes up in 60 s.
//
//   build/bench/bench/orvo_bench_startup [seconds-idle]
#include "bench/BenchSupport.h"

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

using namespace orvo::bench;
using namespace orvo::platform::glib;
using Clock = std::chrono::steady_clock;

namespace {

// Owns org.kde.StatusNotifierWatcher on a connection of its own, as a panel
// does, and counts the items that register.
class Watcher {
public:
    Watcher()
    {
        static const GUnique<GDBusNodeInfo> node(g_dbus_node_info_new_for_xml(
            "<node><interface name='org.kde.StatusNotifierWatcher'><method name='RegisterStatusNotifierItem'>"
            "<arg type='s' direction='in'/></method></interface></node>",
            nullptr));
        static const GDBusInterfaceVTable vtable = { &Watcher::registered, nullptr, nullptr, {} };
        g_dbus_connection_register_object(
            connection_.get(), "/StatusNotifierWatcher", node->interfaces[0], &vtable, this, nullptr, nullptr);
        // The bus answers by itself: no main loop needed.
        GUnique<GVariant>(
            g_dbus_connection_call_sync(connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 0u),
                nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
    }
    // Leaving the bus drops the name, as a quitting panel would.
    ~Watcher() { g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr); }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    int registrations = 0;

private:
    static void registered(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
        GDBusMethodInvocation* invocation, gpointer self)
    {
        ++static_cast<Watcher*>(self)->registrations;
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    GRef<GDBusConnection> connection_
        = adopt(g_dbus_connection_new_for_address_sync(g_getenv("DBUS_SESSION_BUS_ADDRESS"),
            GDBusConnectionFlags(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
};

void stop(GSubprocess* app)
{
    g_subprocess_send_signal(app, SIGTERM);
    g_subprocess_wait(app, nullptr, nullptr);
}

long statusField(const std::filesystem::path& status, const std::string& field)
{
    std::ifstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return 0;
}

// Context switches per thread: each one is a wake-up.
std::map<std::string, long> wakeups(pid_t pid)
{
    std::map<std::string, long> perThread;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        perThread[task.path().filename()] = statusField(task.path() / "status", "voluntary_ctxt_switches")
            + statusField(task.path() / "status", "nonvoluntary_ctxt_switches");
    }
    return perThread;
}

// Wake-ups between two samples; a thread that appeared counts whole.
long wakeupsBetween(const std::map<std::string, long>& before, const std::map<std::string, long>& after)
{
    long total = 0;
    for (const auto& [tid, count] : after) {
        const auto it = before.find(tid);
        total += count - (it == before.end() ? 0 : it->second);
    }
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    TempDir config;
    g_setenv("XDG_CONFIG_HOME", config.path().c_str(), TRUE);
    g_setenv("ORVO_AUDIO_SINK", "fakesink", TRUE);

    std::vector<double> millis;
    const char* const command[] = { ORVO_APP_BINARY, nullptr };
    for (int run = 0; run < 10; ++run) {
        PrivateBus bus;
        Watcher watcher;
        const auto start = Clock::now();
        const auto app = adopt(g_subprocess_newv(command, G_SUBPROCESS_FLAGS_NONE, nullptr));
        if (!runUntil([&] { return watcher.registrations > 0; }, std::chrono::seconds(20))) {
            std::fprintf(stderr, "run %d: the item never registered\n", run);
            return 1;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (run < 9) {
            stop(app.get());
            continue;
        }
        // The last run stays up for the idle measurement.
        runFor(std::chrono::seconds(2));
        const pid_t pid = std::atoi(g_subprocess_get_identifier(app.get()));
        const long rssKb = statusField("/proc/" + std::to_string(pid) + "/status", "VmRSS");
        const long threads = statusField("/proc/" + std::to_string(pid) + "/status", "Threads");
        const auto before = wakeups(pid);
        sleep(idleSeconds);
        const auto after = wakeups(pid);
        std::sort(millis.begin(), millis.end());
        std::printf("start-up to item registered: median %.1f ms (min %.1f, max %.1f, 10 runs)\n",
            (millis[4] + millis[5]) / 2, millis.front(), millis.back());
        std::printf("idle RSS: %.1f MB, threads: %ld\n", rssKb / 1024.0, threads);
        std::printf("idle wake-ups in %d s: %ld\n", idleSeconds, wakeupsBetween(before, after));
        stop(app.get());
    }
    return 0;
}
