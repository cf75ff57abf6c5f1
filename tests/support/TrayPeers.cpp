// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TrayPeers.h"

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
    : DBusMock(
        "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", ORVO_TEST_SUPPORT_DIR "/status_notifier_watcher.py")
{
}

std::vector<std::string> TestWatcher::registrations() const
{
    std::vector<std::string> services;
    for (const auto& arguments : calls("RegisterStatusNotifierItem")) {
        services.emplace_back(g_variant_get_string(arguments.at(0).get(), nullptr));
    }
    return services;
}

TestHost::TestHost(const std::string& item)
    : item_(item)
{
    if (const auto path = property("Menu"); path && g_variant_is_of_type(path.get(), G_VARIANT_TYPE_OBJECT_PATH)) {
        menuPath_ = g_variant_get_string(path.get(), nullptr);
    }
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

BusPeer::Reply TestHost::callItem(const char* method, GVariant* parameters)
{
    return call(item_, "/StatusNotifierItem", "org.kde.StatusNotifierItem", method, parameters);
}

GUnique<GVariant> TestHost::layout(guint32* revision)
{
    const char* noProperties[] = { nullptr };
    const auto reply
        = call(item_, menuPath_, "com.canonical.dbusmenu", "GetLayout", g_variant_new("(ii^as)", 0, -1, noProperties));
    if (!reply.value) {
        return nullptr;
    }
    if (revision) {
        g_variant_get_child(reply.value.get(), 0, "u", revision);
    }
    return GUnique<GVariant>(g_variant_get_child_value(reply.value.get(), 1));
}

namespace {

GUnique<GVariant> findNode(GVariant* node, const std::string& label)
{
    for (std::size_t i = 0; i < childCount(node); ++i) {
        GUnique<GVariant> next = child(node, i);
        const auto text = nodeProperty(next.get(), "label");
        if (text && label == g_variant_get_string(text.get(), nullptr)) {
            return next;
        }
        if (auto inner = findNode(next.get(), label)) {
            return inner;
        }
    }
    return nullptr;
}

} // namespace

GUnique<GVariant> TestHost::item(const std::vector<std::string>& labels)
{
    GUnique<GVariant> node = layout();
    for (const auto& label : labels) {
        node = node ? findNode(node.get(), label) : nullptr;
    }
    return node;
}

BusPeer::Reply TestHost::event(int id, const char* eventId)
{
    return call(item_, menuPath_, "com.canonical.dbusmenu", "Event",
        g_variant_new("(isvu)", id, eventId, g_variant_new_int32(0), 0u));
}

BusPeer::Reply TestHost::click(const std::vector<std::string>& labels)
{
    if (const auto node = item(labels)) {
        return event(nodeId(node.get()), "clicked");
    }
    Reply reply;
    g_set_error(
        platform::glib::out(reply.error), G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no item %s", labels.back().c_str());
    return reply;
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

} // namespace orvo::test
