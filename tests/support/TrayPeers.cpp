// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TrayPeers.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace orvo::test {

using platform::glib::out;
using platform::glib::sink;

BusPeer::BusPeer()
{
    GUnique<GError> error;
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    connection_.reset(g_dbus_connection_new_for_address_sync(address ? address : "",
        static_cast<GDBusConnectionFlags>(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, out(error)));
    if (!connection_) {
        throw std::runtime_error(std::string("cannot connect a test peer: ") + (error ? error->message : "?"));
    }
    g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
}

BusPeer::~BusPeer()
{
    g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

BusPeer::Reply BusPeer::call(const std::string& destination, const std::string& path, const char* interface,
    const char* method, GVariant* parameters)
{
    struct State {
        bool done = false;
        Reply reply;
    };
    // Shared with the callback, which may come after waiting gave up.
    auto state = std::make_shared<State>();
    g_dbus_connection_call(
        connection_.get(), destination.c_str(), path.c_str(), interface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<State>> holder(static_cast<std::shared_ptr<State>*>(data));
            State& s = **holder;
            s.reply.value.reset(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, out(s.reply.error)));
            s.done = true;
        },
        new std::shared_ptr<State>(state));
    waitFor([&] { return state->done; });
    return std::move(state->reply);
}

TestWatcher::TestWatcher()
{
    static GUnique<GDBusNodeInfo> node(g_dbus_node_info_new_for_xml(R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  </interface></node>)",
        nullptr));
    static const GDBusInterfaceMethodCallFunc record
        = [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
              GDBusMethodInvocation* invocation, gpointer self) {
              const gchar* service = nullptr;
              g_variant_get(parameters, "(&s)", &service);
              static_cast<TestWatcher*>(self)->registrations_.push_back({ service });
              g_dbus_method_invocation_return_value(invocation, nullptr);
          };
    static const GDBusInterfaceVTable vtable = { record, nullptr, nullptr, {} };
    object_ = g_dbus_connection_register_object(
        connection_.get(), "/StatusNotifierWatcher", node->interfaces[0], &vtable, this, nullptr, nullptr);
    // The bus answers by itself: no main loop needed.
    GUnique<GVariant> reply(
        g_dbus_connection_call_sync(connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 0u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
    guint32 result = 0;
    if (reply) {
        g_variant_get(reply.get(), "(u)", &result);
    }
    if (result != 1) { // not the primary owner
        throw std::runtime_error("test watcher could not own its name");
    }
}

TestWatcher::~TestWatcher()
{
    g_dbus_connection_unregister_object(connection_.get(), object_);
}

TestHost::TestHost(const std::string& item)
    : item_(item)
{
    subscription_ = g_dbus_connection_signal_subscribe(
        connection_.get(), item_.c_str(), nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member, GVariant* parameters,
            gpointer self) {
            static_cast<TestHost*>(self)->signals_.push_back({ member, sink(g_variant_ref(parameters)) });
        },
        this, nullptr);
}

TestHost::~TestHost()
{
    g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
}

std::size_t TestHost::count(const std::string& member) const
{
    return std::ranges::count_if(signals_, [&](const Signal& signal) { return signal.member == member; });
}

GUnique<GVariant> TestHost::property(const char* name)
{
    Reply reply = call(item_, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.kde.StatusNotifierItem", name));
    GVariant* boxed = nullptr;
    if (reply.value) {
        g_variant_get(reply.value.get(), "(v)", &boxed);
    }
    return GUnique<GVariant>(boxed);
}

BusPeer::Reply TestHost::getLayout(const std::string& menuPath)
{
    const char* noProperties[] = { nullptr };
    return call(item_, menuPath, "com.canonical.dbusmenu", "GetLayout", g_variant_new("(ii^as)", 0, -1, noProperties));
}

BusPeer::Reply TestHost::event(const std::string& menuPath, int id, const char* eventId)
{
    return call(item_, menuPath, "com.canonical.dbusmenu", "Event",
        g_variant_new("(isvu)", id, eventId, g_variant_new_int32(0), 0u));
}

int nodeId(GVariant* node)
{
    gint32 id = 0;
    g_variant_get_child(node, 0, "i", &id);
    return id;
}

GUnique<GVariant> nodeProperty(GVariant* node, const char* name)
{
    GUnique<GVariant> properties(g_variant_get_child_value(node, 1));
    return GUnique<GVariant>(g_variant_lookup_value(properties.get(), name, nullptr));
}

std::size_t childCount(GVariant* node)
{
    GUnique<GVariant> children(g_variant_get_child_value(node, 2));
    return g_variant_n_children(children.get());
}

GUnique<GVariant> child(GVariant* node, std::size_t index)
{
    GUnique<GVariant> children(g_variant_get_child_value(node, 2));
    GUnique<GVariant> boxed(g_variant_get_child_value(children.get(), index));
    return GUnique<GVariant>(g_variant_get_variant(boxed.get()));
}

GUnique<GVariant> findNode(GVariant* layoutNode, const std::string& label)
{
    for (std::size_t i = 0; i < childCount(layoutNode); ++i) {
        GUnique<GVariant> node = child(layoutNode, i);
        const gchar* text = nullptr;
        if (GUnique<GVariant> properties(g_variant_get_child_value(node.get(), 1));
            g_variant_lookup(properties.get(), "label", "&s", &text) && label == text) {
            return node;
        }
        if (GUnique<GVariant> inner = findNode(node.get(), label)) {
            return inner;
        }
    }
    return nullptr;
}

} // namespace orvo::test
