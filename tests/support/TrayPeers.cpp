// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TrayPeers.h"
#include "tests/support/TestSupport.h"

#include <memory>
#include <stdexcept>

namespace orvo::test {

using platform::glib::out;
using platform::glib::sink;

namespace {

constexpr const char* kWatcherXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  </interface>
</node>)xml";

} // namespace

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
    if (connection_) {
        // Leaving the bus drops every name the peer owned, as a crashing or
        // quitting panel would.
        g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
    }
}

BusPeer::Reply BusPeer::call(const std::string& destination, const std::string& path, const char* interface,
    const char* method, GVariant* parameters)
{
    struct State {
        bool done = false;
        Reply reply;
    };
    // Shared with the callback: it must stay valid even if waiting gives up.
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
    static GUnique<GDBusNodeInfo> node(g_dbus_node_info_new_for_xml(kWatcherXml, nullptr));
    static const GDBusInterfaceVTable vtable = { &TestWatcher::methodCall, nullptr, nullptr, {} };
    object_ = g_dbus_connection_register_object(
        connection_.get(), "/StatusNotifierWatcher", node->interfaces[0], &vtable, this, nullptr, nullptr);
    ownership_ = g_bus_own_name_on_connection(
        connection_.get(), "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer self) { static_cast<TestWatcher*>(self)->owned_ = true; }, nullptr,
        this, nullptr);
    if (!waitFor([&] { return owned_; })) {
        throw std::runtime_error("test watcher could not own its name");
    }
}

TestWatcher::~TestWatcher()
{
    g_bus_unown_name(ownership_);
    g_dbus_connection_unregister_object(connection_.get(), object_);
}

void TestWatcher::methodCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
    GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self)
{
    if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
        const gchar* service = nullptr;
        g_variant_get(parameters, "(&s)", &service);
        static_cast<TestWatcher*>(self)->registrations_.push_back({ sender, service });
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
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
    std::size_t n = 0;
    for (const Signal& signal : signals_) {
        n += signal.member == member ? 1 : 0;
    }
    return n;
}

GUnique<GVariant> TestHost::property(const char* name, const std::string& path)
{
    Reply reply = call(item_, path, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.kde.StatusNotifierItem", name));
    if (!reply.value) {
        return nullptr;
    }
    GVariant* boxed = nullptr;
    g_variant_get(reply.value.get(), "(v)", &boxed);
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
    GUnique<GVariant> id(g_variant_get_child_value(node, 0));
    return g_variant_get_int32(id.get());
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
        GUnique<GVariant> value = nodeProperty(node.get(), "label");
        if (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)
            && label == g_variant_get_string(value.get(), nullptr)) {
            return node;
        }
        if (GUnique<GVariant> inner = findNode(node.get(), label)) {
            return inner;
        }
    }
    return nullptr;
}

} // namespace orvo::test
