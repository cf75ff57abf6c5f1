// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The other side of the tray protocols, each on a connection of its own to the
// test's private bus: a watcher that records registrations, and a host that
// reads an item's properties, records its signals and drives its menu.

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
    // Leaving the bus drops the peer's names, as a quitting panel would.
    virtual ~BusPeer();
    BusPeer(const BusPeer&) = delete;
    BusPeer& operator=(const BusPeer&) = delete;

    struct Reply {
        GUnique<GVariant> value;
        GUnique<GError> error;
    };
    // Calls a method, running the main loop until the answer arrives.
    Reply call(const std::string& destination, const std::string& path, const char* interface, const char* method,
        GVariant* parameters = nullptr);

protected:
    GRef<GDBusConnection> connection_;
};

// Owns org.kde.StatusNotifierWatcher once constructed.
class TestWatcher : public BusPeer {
public:
    TestWatcher();
    ~TestWatcher() override;

    struct Registration {
        std::string service;
    };
    const std::vector<Registration>& registrations() const { return registrations_; }

private:
    std::vector<Registration> registrations_;
    guint object_ = 0;
};

class TestHost : public BusPeer {
public:
    // Records every signal that item (a bus name) sends.
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
    // com.canonical.dbusmenu on menuPath.
    Reply getLayout(const std::string& menuPath);
    Reply event(const std::string& menuPath, int id, const char* eventId);

private:
    std::string item_;
    std::vector<Signal> signals_;
    guint subscription_ = 0;
};

// Reading a (ia{sv}av) layout node. findNode: the first node below whose
// label is label, or null.
GUnique<GVariant> findNode(GVariant* layoutNode, const std::string& label);
int nodeId(GVariant* node);
GUnique<GVariant> nodeProperty(GVariant* node, const char* name);
std::size_t childCount(GVariant* node);
GUnique<GVariant> child(GVariant* node, std::size_t index);

} // namespace orvo::test
