// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The other side of the tray protocols on the test's private bus: a watcher
// that takes registrations, and a host that reads an item, records its
// signals and walks and clicks its menu.

#include "tests/support/TestSupport.h"

#include <gio/gio.h>

#include <string>
#include <vector>

namespace orvo::test {

using platform::glib::GRef;
using platform::glib::GUnique;

// A connection of its own; leaving the bus drops its names, as a quitting
// panel would.
class BusPeer {
public:
    BusPeer();
    virtual ~BusPeer();
    BusPeer(const BusPeer&) = delete;
    BusPeer& operator=(const BusPeer&) = delete;

    struct Reply {
        GUnique<GVariant> value;
        GUnique<GError> error;
    };
    // Runs the main loop until the answer arrives.
    Reply call(const std::string& destination, const std::string& path, const char* interface, const char* method,
        GVariant* parameters = nullptr);

protected:
    GRef<GDBusConnection> connection_;
};

// Owns org.kde.StatusNotifierWatcher once constructed.
class TestWatcher : public DBusMock {
public:
    TestWatcher();
    // The service names items registered, in order.
    std::vector<std::string> registrations() const;
};

class TestHost : public BusPeer {
public:
    // Records every signal of the item (a bus name) and finds its menu.
    explicit TestHost(const std::string& item);
    ~TestHost() override;

    struct Signal {
        std::string member;
        GUnique<GVariant> parameters;
    };
    const std::vector<Signal>& signals() const { return signals_; }
    std::size_t count(const std::string& member) const;

    // A property of the status item (null when the call failed).
    GUnique<GVariant> property(const char* name);
    Reply callItem(const char* method, GVariant* parameters);

    // The menu's root node as GetLayout serves it now (null on failure).
    GUnique<GVariant> layout(guint32* revision = nullptr);
    // The item at the end of a path of labels from the top (null if none).
    GUnique<GVariant> item(const std::vector<std::string>& labels);
    Reply event(int id, const char* eventId);
    Reply click(const std::vector<std::string>& labels);
    const std::string& menuPath() const { return menuPath_; }

private:
    std::string item_;
    std::string menuPath_;
    std::vector<Signal> signals_;
    guint subscription_ = 0;
};

// Reading a (ia{sv}av) layout node.
int nodeId(GVariant* node);
GUnique<GVariant> nodeProperty(GVariant* node, const char* name);
std::size_t childCount(GVariant* node);
GUnique<GVariant> child(GVariant* node, std::size_t index);

} // namespace orvo::test
