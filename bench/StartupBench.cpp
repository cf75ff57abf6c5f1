// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the app on a private session bus with a tray watcher, ten times, and
// reports the median time from process start to the item's registration; then
// measures the idle process's memory and how often it wakes up in 60 s.
//
//   build/bench/bench/orvo_bench_startup [seconds-idle]
#include "tests/support/TestSupport.h"
#include "tests/support/TrayPeers.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

using namespace orvo::test;
using Clock = std::chrono::steady_clock;

namespace {

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
    ChildProcess app;
    for (int run = 0; run < 10; ++run) {
        PrivateBus bus;
        TestWatcher watcher;
        const auto start = Clock::now();
        app = ChildProcess({ ORVO_APP_BINARY });
        if (!waitFor([&] { return !watcher.registrations().empty(); }, std::chrono::seconds(20))) {
            std::fprintf(stderr, "run %d: the item never registered\n", run);
            return 1;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (run < 9) {
            app.stop();
            continue;
        }
        // The last run stays up for the idle measurement.
        waitFor([] { return false; }, std::chrono::seconds(2));
        const pid_t pid = app.pid();
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
        app.stop();
    }
    return 0;
}
