// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Shared fixtures for tests of the real Linux parts: a private session bus,
// scratch files, child processes, and waiting on a condition while the GLib
// main loop runs (never a fixed sleep).

#include "platform/linux/core/GLibPtr.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace orvo::test {

// Runs the default main context until predicate() holds; the timeout only
// bounds a failing test. Returns the predicate's last value.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the default main context for pending work without blocking.
void drainMainContext();

// A child in a process group of its own, ended with SIGTERM, then SIGKILL,
// when destroyed; it also dies with the test. Waiting on it never runs the
// test's main context.
class ChildProcess {
public:
    ChildProcess() = default;
    // argv[0] is looked up in PATH.
    explicit ChildProcess(const std::vector<std::string>& argv, bool captureStdout = false);
    ChildProcess(ChildProcess&& other) noexcept = default;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // One line of the captured stdout, "" after timeout.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The exit status (128 + signal when killed), or -1 after timeout.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void stop();

private:
    platform::glib::GRef<GSubprocess> process_;
    platform::glib::GRef<GDataInputStream> stdout_;
    pid_t pid_ = -1;
};

// A private session bus (GTestDBus), or a dbus-daemon with configFile as its
// rules. Sets DBUS_SESSION_BUS_ADDRESS, so GLib and children use it.
class PrivateBus {
public:
    explicit PrivateBus(const std::string& configFile = {});
    ~PrivateBus();
    const std::string& address() const { return address_; }

private:
    GTestDBus* bus_ = nullptr;
    ChildProcess daemon_;
    std::string address_;
};

// A python3-dbusmock stand-in on the private session bus, from one of
// dbusmock's templates (by name) or a template file; parameters are JSON.
class DBusMock {
public:
    DBusMock(const char* name, const char* path, const std::string& dbusTemplate, const std::string& parameters = "{}");

    // Calls the stand-in's org.freedesktop.DBus.Mock interface over the
    // session connection the code under test shares, so everything that code
    // sent before has arrived.
    platform::glib::GUnique<GVariant> mock(const char* method, GVariant* parameters = nullptr) const;

private:
    const char* name_;
    const char* path_;
    ChildProcess process_;
};

// dbusmock's notification daemon: what it was asked to show, and a click.
class NotificationServer : public DBusMock {
public:
    struct Notification {
        guint32 id = 0; // numbered from 1
        std::string appName, summary, body;
        std::vector<std::string> actions; // key, label, key, label, …
    };

    NotificationServer();
    std::vector<Notification> shown() const;
    // The user clicks the button `action` of notification id, which then
    // closes; both signals have been handled when this returns.
    void click(guint32 id, const char* action) const;
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

// A whole file's bytes ("" when unreadable); writeFile makes the folders.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view bytes);

// Runs body in a forked child; returns the child's exit status (body's
// result, or 128 + signal).
int inChild(const std::function<int()>& body);

// Runs a command to completion; returns its exit status and stdout.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(
    const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace orvo::test
