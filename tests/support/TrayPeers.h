// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The other side of the tray protocols, written for the tests: a watcher that
// owns org.kde.StatusNotifierWatcher and records registrations, and a host
// that reads the item's properties, listens to its signals and drives its
// menu. Each has its own connection to the test's private bus.

#include "platform/linux/core/GLibPtr.h"

#include <gio/gio.h>

#include <string>
#include <vector>

namespace orvo::test {

using platform::glib::GRef;
using platform::glib::GUnique;

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
    // Calls a method and runs the main loop until the answer arrives.
    Reply call(const std::string& destination, const std::string& path, const char* interface, const char* method,
        GVariant* parameters);

protected:
    GRef<GDBusConnection> connection_;
};

class TestWatcher : public BusPeer {
public:
    // Owns the watcher's name before returning.
    TestWatcher();
    ~TestWatcher() override;

    struct Registration {
        std::string sender;
        std::string service;
    };
    const std::vector<Registration>& registrations() const { return registrations_; }

private:
    static void methodCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
        GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self);

    std::vector<Registration> registrations_;
    guint object_ = 0;
    guint ownership_ = 0;
    bool owned_ = false;
};

class TestHost : public BusPeer {
public:
    // Listens to every signal that item (a bus name) sends.
    explicit TestHost(const std::string& item);
    ~TestHost() override;

    struct Signal {
        std::string member;
        GUnique<GVariant> parameters;
    };
    const std::vector<Signal>& signals() const { return signals_; }
    std::size_t count(const std::string& member) const;

    // A property of the status item (null when the call failed).
    GUnique<GVariant> property(const char* name, const std::string& path = "/StatusNotifierItem");

    // com.canonical.dbusmenu on menuPath.
    Reply getLayout(const std::string& menuPath);
    Reply event(const std::string& menuPath, int id, const char* eventId);

private:
    std::string item_;
    std::vector<Signal> signals_;
    guint subscription_ = 0;
};

// The first item of a layout's children whose label is label, or null; the
// returned value is a (ia{sv}av) node.
GUnique<GVariant> findNode(GVariant* layoutNode, const std::string& label);
int nodeId(GVariant* node);
GUnique<GVariant> nodeProperty(GVariant* node, const char* name);
std::size_t childCount(GVariant* node);
GUnique<GVariant> child(GVariant* node, std::size_t index);

} // namespace orvo::test
