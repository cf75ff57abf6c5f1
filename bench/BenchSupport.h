// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the benchmarks set up around the app: a private session bus, a scratch
// folder, and the main loop run until something happens.

#include "platform/linux/core/GLibPtr.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace orvo::bench {

// Runs the default main context until done() holds or the time is up.
inline bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Wakes the loop for what another process does.
    const guint ticker = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
    }
    g_source_remove(ticker);
    return done();
}

inline void runFor(std::chrono::milliseconds time)
{
    runUntil([] { return false; }, time);
}

// Pending main-loop work, without blocking.
inline void drain()
{
    while (g_main_context_iteration(nullptr, FALSE)) { }
}

// A private session bus for this process and the ones it starts.
class PrivateBus {
public:
    PrivateBus()
    {
        // GTestDBus clears DISPLAY; the app measured keeps the desktop's.
        const platform::glib::GUnique<char> display(g_strdup(g_getenv("DISPLAY")));
        g_test_dbus_up(bus_);
        if (display) {
            g_setenv("DISPLAY", display.get(), TRUE);
        }
    }
    // Only stopped, and never released (which takes it down): down waits
    // for the session connection that the app's parts keep for life.
    ~PrivateBus() { g_test_dbus_stop(bus_); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

private:
    GTestDBus* bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
};

// A scratch folder, removed with what is in it.
class TempDir {
public:
    TempDir()
    {
        const platform::glib::GUnique<char> made(g_dir_make_tmp("orvo-bench-XXXXXX", nullptr));
        if (!made) {
            throw std::runtime_error("no scratch folder");
        }
        path_ = made.get();
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace orvo::bench
