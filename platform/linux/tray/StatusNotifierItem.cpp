// SPDX-License-Identifier: GPL-3.0-or-later
// The status item as a StatusNotifierItem on the session bus. Panels find it
// through org.kde.StatusNotifierWatcher; the picture goes out as IconPixmap on
// square canvases of the sizes panels use, the title as Title, ToolTip and the
// XAyatanaLabel extension (only some panels show the label), and the menu as
// com.canonical.dbusmenu.
#include "platform/BuildConfig.h"
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/tray/MenuExporter.h"
#include "platform/linux/tray/Rendering.h"

#include <string>
#include <vector>

namespace orvo::platform {
namespace {

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kFallbackTitle = "OrvoMenu";

// Every host fits the picture into a square slot: GNOME's 16 px, xfce's and
// Plasma's 22 or 24, larger panels 32 or 48, each also at 2x. A wide pixmap is
// squeezed by some hosts and blurred by all, so the picture goes out on square
// canvases of exactly those sides, drawn at each size, centred and letterboxed.
constexpr int kPixmapSides[] = { 16, 22, 24, 32, 44, 48, 64, 96 };

// GDBus checks every call against this: unknown methods and wrong argument
// signatures get an error reply before our code runs.
constexpr const char* kIntrospection = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <property name="XAyatanaOrderingIndex" type="u" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <method name="ProvideXdgActivationToken"><arg name="token" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
    <signal name="XAyatanaNewLabel"><arg name="label" type="s"/><arg name="guide" type="s"/></signal>
  </interface>
</node>)xml";

GDBusInterfaceInfo* itemInterfaceInfo()
{
    static glib::GUnique<GDBusNodeInfo> node(g_dbus_node_info_new_for_xml(kIntrospection, nullptr));
    return node ? g_dbus_node_info_lookup_interface(node.get(), kItemInterface) : nullptr;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

GVariant* pixmapsVariant(const std::vector<native::Raster>& rasters)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    for (const native::Raster& raster : rasters) {
        g_variant_builder_add(&builder, "(ii@ay)", raster.width, raster.height,
            g_variant_new_fixed_array(
                G_VARIANT_TYPE_BYTE, raster.argb.data(), raster.argb.size(), sizeof(std::uint8_t)));
    }
    return g_variant_builder_end(&builder);
}

// What a tray host can see of the item; compared before and after a change so
// that only real changes are announced.
struct Shown {
    std::vector<native::Raster> pixmaps;
    std::string title = kFallbackTitle; // Title and ToolTip
    std::string label; // XAyatanaLabel and its guide

    static Shown of(const StatusBarButton& button)
    {
        Shown shown;
        if (auto image = button.image()) {
            for (int side : kPixmapSides) {
                native::Raster raster = native::renderImageInSquare(*image, side);
                if (!raster.argb.empty()) {
                    shown.pixmaps.push_back(std::move(raster));
                }
            }
        }
        // The title's leading space only keeps it apart from the picture;
        // hosts space their label themselves.
        shown.label = trimmed(button.title());
        shown.title = shown.label.empty() ? kFallbackTitle : shown.label;
        return shown;
    }
};

bool samePixmaps(const std::vector<native::Raster>& a, const std::vector<native::Raster>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].width != b[i].width || a[i].height != b[i].height || a[i].argb != b[i].argb) {
            return false;
        }
    }
    return true;
}

class NotifierItem;

class NotifierButton final : public StatusBarButton {
public:
    explicit NotifierButton(NotifierItem& owner)
        : owner_(owner)
    {
    }
    void setImage(std::shared_ptr<const Image> image) override;
    void setTitle(const std::string& title) override;
    void setFont(const Font& font) override { font_ = font; } // hosts draw the label in their own font
    std::shared_ptr<const Image> image() const override { return image_; }
    std::string title() const override { return title_; }
    std::optional<Font> font() const override { return font_; }

private:
    NotifierItem& owner_;
    std::shared_ptr<const Image> image_;
    std::string title_;
    std::optional<Font> font_;
};

class NotifierItem final : public StatusItem {
public:
    explicit NotifierItem(int serial)
        : serial_(serial)
        , objectPath_(serial == 0 ? "/StatusNotifierItem" : "/StatusNotifierItem" + std::to_string(serial))
        , menu_(objectPath_ + "/Menu")
        , cancellable_(g_cancellable_new())
    {
        GDBusConnection* bus = native::sessionBus();
        static const GDBusInterfaceVTable vtable
            = { &NotifierItem::methodCall, &NotifierItem::getProperty, nullptr, {} };
        // The object stands before any watcher hears of it, so a host that
        // reacts to the registration at once finds it.
        registration_ = g_dbus_connection_register_object(
            bus, objectPath_.c_str(), itemInterfaceInfo(), &vtable, this, nullptr, nullptr);
        // Watch the watcher for the whole run: a panel that starts later, or
        // restarts, gets a new owner of the name, and we register again.
        watch_ = g_bus_watch_name_on_connection(
            bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE, &NotifierItem::watcherAppeared, nullptr, this, nullptr);
    }

    ~NotifierItem() override
    {
        g_cancellable_cancel(cancellable_.get());
        g_bus_unwatch_name(watch_);
        if (registration_) {
            g_dbus_connection_unregister_object(native::sessionBus(), registration_);
        }
    }

    StatusBarButton* button() override { return &button_; }

    void setMenu(std::shared_ptr<Menu> menu) override
    {
        menuModel_ = menu;
        menu_.publish(std::move(menu));
    }

    std::shared_ptr<Menu> menu() const override { return menuModel_; }

    // The button changed: compare with what hosts see on the next turn, so a
    // burst of setters costs one rendering and at most one signal of each kind.
    void buttonChanged()
    {
        if (!refreshIdle_) {
            refreshIdle_ = glib::SourceHandle(g_idle_add(&NotifierItem::refresh, this));
        }
    }

private:
    static gboolean refresh(gpointer data)
    {
        auto* self = static_cast<NotifierItem*>(data);
        self->refreshIdle_.forget();
        Shown next = Shown::of(self->button_);
        const bool newIcon = !samePixmaps(next.pixmaps, self->shown_.pixmaps);
        const bool newTitle = next.title != self->shown_.title;
        const bool newLabel = next.label != self->shown_.label;
        self->shown_ = std::move(next);
        if (newIcon) {
            self->emit("NewIcon", nullptr);
        }
        if (newTitle) {
            self->emit("NewTitle", nullptr);
            self->emit("NewToolTip", nullptr);
        }
        if (newLabel) {
            self->emit(
                "XAyatanaNewLabel", g_variant_new("(ss)", self->shown_.label.c_str(), self->shown_.label.c_str()));
        }
        return G_SOURCE_REMOVE;
    }

    void emit(const char* signal, GVariant* parameters)
    {
        g_dbus_connection_emit_signal(
            native::sessionBus(), nullptr, objectPath_.c_str(), kItemInterface, signal, parameters, nullptr);
    }

    static void watcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data)
    {
        auto* self = static_cast<NotifierItem*>(data);
        self->menuChecks_ = 0;
        self->registerOnceMenuServes();
    }

    // A host asks for the menu as soon as the item is registered, and
    // libdbusmenu exports its object only after an asynchronous bus look-up
    // that can take a while on a busy machine: register once the menu answers.
    void registerOnceMenuServes()
    {
        const char* noProperties[] = { nullptr };
        g_dbus_connection_call(native::sessionBus(), g_dbus_connection_get_unique_name(native::sessionBus()),
            menu_.objectPath().c_str(), "com.canonical.dbusmenu", "GetLayout",
            g_variant_new("(ii^as)", 0, 0, noProperties), nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, cancellable_.get(),
            &NotifierItem::menuChecked, this);
    }

    static void menuChecked(GObject* source, GAsyncResult* result, gpointer data)
    {
        glib::GUnique<GError> error;
        glib::GUnique<GVariant> reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
        if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            return; // the item is gone
        }
        auto* self = static_cast<NotifierItem*>(data);
        // Not exported yet: look again shortly, for a second at most; then
        // register all the same, as a late menu is better than no item.
        if (!reply && ++self->menuChecks_ < 100) {
            self->menuCheckTimer_ = glib::SourceHandle(g_timeout_add(
                10,
                [](gpointer item) -> gboolean {
                    auto* me = static_cast<NotifierItem*>(item);
                    me->menuCheckTimer_.forget();
                    me->registerOnceMenuServes();
                    return G_SOURCE_REMOVE;
                },
                self));
            return;
        }
        self->registerWithWatcher();
    }

    void registerWithWatcher()
    {
        GDBusConnection* bus = native::sessionBus();
        // The first item is found by our bus name at the well-known path;
        // further items name their own path (the watcher takes the sender).
        const std::string service = serial_ == 0 ? g_dbus_connection_get_unique_name(bus) : objectPath_;
        g_dbus_connection_call(bus, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
            g_variant_new("(s)", service.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, cancellable_.get(),
            &NotifierItem::registered, nullptr);
    }

    static void registered(GObject* source, GAsyncResult* result, gpointer)
    {
        // A failure leaves nothing to do: a watcher that answers badly or
        // vanishes meanwhile is replaced by one we register with again.
        glib::GUnique<GError> error;
        glib::GUnique<GVariant>(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
    }

    static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
        GDBusMethodInvocation* invocation, gpointer)
    {
        // The item is its menu and has nothing else to activate. Most hosts
        // open the menu themselves on a click since ItemIsMenu is true; Plasma
        // calls Activate (or SecondaryActivate) and opens the menu only when
        // that call fails, so those two fail on purpose. ContextMenu, Scroll
        // and the activation token have nothing to do.
        if (g_strcmp0(method, "Activate") == 0 || g_strcmp0(method, "SecondaryActivate") == 0) {
            g_dbus_method_invocation_return_error_literal(
                invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED, "The item only has a menu");
            return;
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    static GVariant* getProperty(
        GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError** error, gpointer data)
    {
        auto* self = static_cast<NotifierItem*>(data);
        const std::string property = name;
        const Shown& shown = self->shown_;
        if (property == "Category")
            return g_variant_new_string("ApplicationStatus");
        if (property == "Id")
            return g_variant_new_string(build::appId);
        if (property == "Title")
            return g_variant_new_string(shown.title.c_str());
        if (property == "Status")
            return g_variant_new_string("Active");
        if (property == "WindowId")
            return g_variant_new_int32(0);
        if (property == "Menu")
            return g_variant_new_object_path(self->menu_.objectPath().c_str());
        if (property == "ItemIsMenu")
            return g_variant_new_boolean(TRUE);
        if (property == "IconPixmap")
            return pixmapsVariant(shown.pixmaps);
        if (property == "OverlayIconPixmap" || property == "AttentionIconPixmap")
            return pixmapsVariant({});
        if (property == "IconName" || property == "IconThemePath" || property == "OverlayIconName"
            || property == "AttentionIconName" || property == "AttentionMovieName")
            return g_variant_new_string("");
        if (property == "ToolTip")
            return g_variant_new("(s@a(iiay)ss)", "", pixmapsVariant({}), shown.title.c_str(), "");
        if (property == "XAyatanaLabel" || property == "XAyatanaLabelGuide")
            return g_variant_new_string(shown.label.c_str());
        if (property == "XAyatanaOrderingIndex")
            return g_variant_new_uint32(0);
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", name);
        return nullptr;
    }

    const int serial_;
    const std::string objectPath_;
    NotifierButton button_ { *this };
    native::MenuExporter menu_;
    int menuChecks_ = 0;
    glib::SourceHandle menuCheckTimer_;
    std::shared_ptr<Menu> menuModel_;
    Shown shown_;
    glib::SourceHandle refreshIdle_;
    glib::GRef<GCancellable> cancellable_;
    guint registration_ = 0;
    guint watch_ = 0;
};

void NotifierButton::setImage(std::shared_ptr<const Image> image)
{
    image_ = std::move(image);
    owner_.buttonChanged();
}

void NotifierButton::setTitle(const std::string& title)
{
    title_ = title;
    owner_.buttonChanged();
}

class NotifierStatusBar final : public StatusBar {
public:
    std::shared_ptr<StatusItem> statusItemWithLength(double) override
    {
        // Hosts size the item from its picture and label; the length hint has
        // no counterpart here.
        return std::make_shared<NotifierItem>(nextSerial_++);
    }

private:
    int nextSerial_ = 0;
};

} // namespace

StatusBar& StatusBar::systemStatusBar()
{
    static NotifierStatusBar* bar = new NotifierStatusBar(); // lives until the process ends
    return *bar;
}

} // namespace orvo::platform
