// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Fixtures for tests of the real Linux parts: a private bus, scratch files,
// children, and waiting on a condition (never a fixed sleep).

#include "platform/linux/core/GLibPtr.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace orvo::test {

// Runs the default main context until predicate() holds or timeout passes.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the default main context for pending work without blocking.
void drainMainContext();

// A child in a process group of its own, ended with its group when destroyed
// or when the test dies. Waiting on it never runs the test's main context.
class ChildProcess {
public:
    // argv[0] is looked up in PATH.
    explicit ChildProcess(const std::vector<std::string>& argv, bool captureStdout = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // One line of the captured stdout, "" after timeout.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The exit status (128 + signal when killed), or -1 after timeout.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void stop();

private:
    platform::glib::GRef<GSubprocess> process_;
    platform::glib::GRef<GDataInputStream> stdout_;
};

// A private session bus (GTestDBus) in DBUS_SESSION_BUS_ADDRESS.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    const std::string& address() const { return address_; }

private:
    GTestDBus* bus_ = nullptr;
    std::string address_;
};

// A python3-dbusmock stand-in on the session bus, from a template (a name or
// a file) with JSON parameters.
class DBusMock {
public:
    DBusMock(const char* name, const char* path, const std::string& dbusTemplate, const std::string& parameters = "{}");

    // org.freedesktop.DBus.Mock over the session connection the code under
    // test shares, so everything it sent before has arrived.
    platform::glib::GUnique<GVariant> mock(const char* method, GVariant* parameters = nullptr) const;
    // The arguments of each call of method so far, oldest first.
    std::vector<std::vector<platform::glib::GUnique<GVariant>>> calls(const char* method) const;

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
    // The user clicks a button, and the notification closes; both signals
    // have been handled on return.
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

// A whole file ("" when unreadable); writeFile makes the folders.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view bytes);

// body's result in a forked child (128 + signal when killed).
int inChild(const std::function<int()>& body);

// A command's exit status and stdout; it is killed after 20 s.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::vector<std::string>& argv);

} // namespace orvo::test
