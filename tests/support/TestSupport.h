// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Shared fixtures for tests of the real Linux parts: a private session bus, a
// scratch folder, child processes, and waiting on a condition while the GLib
// main loop runs (never a fixed sleep).

#include "platform/linux/core/GLibPtr.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace orvo::test {

// Runs the default main context until predicate() is true or timeout passes.
// Returns the predicate's last value. The timeout only bounds a failing test.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the default main context for pending work without blocking.
void drainMainContext();

// A child process (GSubprocess) in a process group of its own, ended with
// SIGTERM, then SIGKILL, when destroyed; it also dies with the test. Waiting
// on it never runs the test's main context.
class ChildProcess {
public:
    ChildProcess() = default;
    // argv[0] is looked up in PATH. Stdout is captured when captureStdout.
    explicit ChildProcess(const std::vector<std::string>& argv, bool captureStdout = false);
    ChildProcess(ChildProcess&& other) noexcept = default;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // Reads one line from the captured stdout, waiting at most timeout.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the process to end; returns its exit status (128 + signal when
    // killed), or -1 on timeout.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void stop();

private:
    platform::glib::GRef<GSubprocess> process_;
    platform::glib::GRef<GDataInputStream> stdout_;
    pid_t pid_ = -1;
};

// A private session bus for one test (GTestDBus: no services to activate).
// Sets DBUS_SESSION_BUS_ADDRESS for the process, so GLib's session bus (and
// children) use it.
class PrivateBus {
public:
    // configFile: a dbus-daemon configuration of its own (a bus with its own
    // rules) instead of GTestDBus's.
    explicit PrivateBus(const std::string& configFile = {});
    ~PrivateBus();
    const std::string& address() const { return address_; }

private:
    GTestDBus* bus_ = nullptr;
    ChildProcess daemon_;
    std::string address_;
};

// A scratch folder, removed with everything in it when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs a command to completion; returns its exit status and stdout.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(
    const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace orvo::test
