// SPDX-License-Identifier: GPL-3.0-or-later
// The status item as a StatusNotifierItem on the session bus. Panels find it
// through org.kde.StatusNotifierWatcher; the picture goes out as IconPixmap on
// square canvases of the sizes panels use, the title as Title, ToolTip and the
// XAyatanaLabel extension (only some panels show the label), and the menu as
// com.canonical.dbusmenu.
#include "StatusNotifierItemSkeleton.h"
#include "platform/BuildConfig.h"
#include "platform/StatusBar.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/PlaybackNotice.h"
#include "platform/linux/store/Volume.h"
#include "platform/linux/tray/MenuExporter.h"
#include "platform/linux/tray/Rendering.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace orvo::platform {
namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";

// Every host fits the picture into a square slot: GNOME's 16 px, xfce's and
// Plasma's 22 or 24, larger panels 32 or 48, each also at 2x. A wide pixmap is
// squeezed by some hosts and blurred by all, so the picture goes out on square
// canvases of exactly those sides, drawn at each size, centred and letterboxed.
constexpr int kPixmapSides[] = { 16, 22, 24, 32, 44, 48, 64, 96 };
// How long the item waits for a tray before saying that none is there.
constexpr guint noTraySeconds = 5;

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
        // Trusted (any bytes are a valid "ay"), so that the skeleton's
        // comparison with the value it holds is a memcmp, not both printed
        // as text: that took 30 ms per menu rebuild.
        glib::GUnique<GBytes> bytes(g_bytes_new(raster.argb.data(), raster.argb.size()));
        g_variant_builder_add(&builder, "(ii@ay)", raster.width, raster.height,
            g_variant_new_from_bytes(G_VARIANT_TYPE_BYTESTRING, bytes.get(), TRUE));
    }
    return g_variant_builder_end(&builder);
}

// What a tray host can see of the item; compared before and after a change so
// that only real changes are announced.
struct Shown {
    std::vector<native::Raster> pixmaps;
    std::string title = build::appName; // Title and ToolTip
    std::string label; // XAyatanaLabel and its guide
    std::string notice; // the ToolTip's text: connecting, trying again, cannot be played

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
        shown.title = shown.label.empty() ? build::appName : shown.label;
        shown.notice = native::PlaybackNotice::instance().text();
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

template <typename... Arguments> gboolean refuse(gpointer, GDBusMethodInvocation* invocation, Arguments...)
{
    g_dbus_method_invocation_return_error_literal(
        invocation, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED, "The item only has a menu");
    return TRUE;
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
        auto* sni = skeleton();
        orvo_tray_status_notifier_item_set_category(sni, "ApplicationStatus");
        orvo_tray_status_notifier_item_set_id(sni, build::appId);
        orvo_tray_status_notifier_item_set_status(sni, "Active");
        orvo_tray_status_notifier_item_set_menu(sni, menu_.objectPath().c_str());
        orvo_tray_status_notifier_item_set_item_is_menu(sni, TRUE);
        // The rest keep the skeleton's empty values.
        show(Shown {});
        // The item is its menu. Most hosts open the menu themselves on a
        // click since ItemIsMenu is true; Plasma calls Activate and opens the
        // menu only when that call fails, so it fails on purpose. A middle
        // click (SecondaryActivate) pauses or resumes the current channel and
        // the wheel sets the volume, as in other tray players. ContextMenu and
        // the activation token have nothing to do.
        g_signal_connect(sni, "handle-activate", G_CALLBACK((refuse<gint, gint>)), nullptr);
        g_signal_connect(sni, "handle-secondary-activate", G_CALLBACK(&NotifierItem::secondaryActivate), this);
        g_signal_connect(sni, "handle-context-menu", G_CALLBACK((native::acknowledge<gint, gint>)), nullptr);
        g_signal_connect(sni, "handle-scroll", G_CALLBACK(&NotifierItem::scroll), nullptr);
        g_signal_connect(
            sni, "handle-provide-xdg-activation-token", G_CALLBACK(native::acknowledge<const char*>), nullptr);

        GDBusConnection* bus = native::sessionBus();
        // The object stands before any watcher hears of it, so a host that
        // reacts to the registration at once finds it.
        glib::GUnique<GError> error;
        if (!g_dbus_interface_skeleton_export(
                G_DBUS_INTERFACE_SKELETON(sni), bus, objectPath_.c_str(), glib::out(error))) {
            g_warning("The status item is unavailable: %s", error->message);
        }
        // Watch the watcher for the whole run: a panel that starts later, or
        // restarts, gets a new owner of the name, and we register again.
        watch_ = g_bus_watch_name_on_connection(bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
            &NotifierItem::watcherAppeared, &NotifierItem::watcherVanished, this, nullptr);
        if (serial_ == 0) {
            native::PlaybackNotice::instance().onChange([this] { buttonChanged(); });
        }
    }

    ~NotifierItem() override
    {
        if (serial_ == 0) {
            native::PlaybackNotice::instance().onChange(nullptr);
        }
        g_cancellable_cancel(cancellable_.get());
        g_bus_unwatch_name(watch_);
        g_dbus_interface_skeleton_unexport(G_DBUS_INTERFACE_SKELETON(skeleton()));
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
    OrvoTrayStatusNotifierItem* skeleton() const { return ORVO_TRAY_STATUS_NOTIFIER_ITEM(skeleton_.get()); }

    // Hosts read the properties again when the item's own New* signals say
    // so; PropertiesChanged, which the skeleton adds, is not what they follow.
    void show(Shown next)
    {
        auto* sni = skeleton();
        if (next.pixmaps.empty() || !samePixmaps(next.pixmaps, shown_.pixmaps)) {
            orvo_tray_status_notifier_item_set_icon_pixmap(sni, pixmapsVariant(next.pixmaps));
        }
        orvo_tray_status_notifier_item_set_title(sni, next.title.c_str());
        orvo_tray_status_notifier_item_set_tool_tip(
            sni, g_variant_new("(s@a(iiay)ss)", "", pixmapsVariant({}), next.title.c_str(), next.notice.c_str()));
        orvo_tray_status_notifier_item_set_xayatana_label(sni, next.label.c_str());
        orvo_tray_status_notifier_item_set_xayatana_label_guide(sni, next.label.c_str());
        shown_ = std::move(next);
    }

    static gboolean refresh(gpointer data)
    {
        auto* self = static_cast<NotifierItem*>(data);
        self->refreshIdle_.forget();
        Shown next = Shown::of(self->button_);
        const bool newIcon = !samePixmaps(next.pixmaps, self->shown_.pixmaps);
        const bool newTitle = next.title != self->shown_.title;
        const bool newLabel = next.label != self->shown_.label;
        const bool newToolTip = newTitle || next.notice != self->shown_.notice;
        self->show(std::move(next));
        auto* sni = self->skeleton();
        if (newIcon) {
            orvo_tray_status_notifier_item_emit_new_icon(sni);
        }
        if (newTitle) {
            orvo_tray_status_notifier_item_emit_new_title(sni);
        }
        if (newToolTip) {
            orvo_tray_status_notifier_item_emit_new_tool_tip(sni);
        }
        if (newLabel) {
            orvo_tray_status_notifier_item_emit_xayatana_new_label(
                sni, self->shown_.label.c_str(), self->shown_.label.c_str());
        }
        return G_SOURCE_REMOVE;
    }

    static void watcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data)
    {
        auto* self = static_cast<NotifierItem*>(data);
        self->noTrayTimer_.reset();
        self->menuChecks_ = 0;
        self->registerOnceMenuServes();
    }

    // Without a tray on the bus the item waits for one; after a few seconds
    // (a panel that starts with the session comes sooner) the user is told
    // once what is missing.
    static void watcherVanished(GDBusConnection*, const gchar*, gpointer data)
    {
        auto* self = static_cast<NotifierItem*>(data);
        static bool told = false;
        if (told || self->serial_ != 0 || self->noTrayTimer_) {
            return;
        }
        self->noTrayTimer_ = glib::SourceHandle(g_timeout_add_seconds(
            noTraySeconds,
            [](gpointer item) -> gboolean {
                static_cast<NotifierItem*>(item)->noTrayTimer_.forget();
                told = true;
                std::fprintf(stderr,
                    "%s: no system tray shows its item: nothing owns %s. It will appear once a tray does: on GNOME "
                    "install and turn on gnome-shell-extension-appindicator; elsewhere add the panel's status "
                    "notifier (tray) applet.\n",
                    build::appId, kWatcherName);
                return G_SOURCE_REMOVE;
            },
            self));
    }

    static gboolean secondaryActivate(
        OrvoTrayStatusNotifierItem* sni, GDBusMethodInvocation* invocation, gint, gint, gpointer data)
    {
        const auto& menu = static_cast<NotifierItem*>(data)->menuModel_;
        // The checked channel, chosen again: pause or resume.
        const std::function<std::shared_ptr<MenuItem>(const Menu&)> current = [&](const Menu& in) {
            for (const auto& item : in.items()) {
                if (item && item->action() == Selector("channelSelected:") && item->state() == 1) {
                    return item;
                }
                if (auto inner = item && item->submenu() ? current(*item->submenu()) : nullptr) {
                    return inner;
                }
            }
            return std::shared_ptr<MenuItem>();
        };
        orvo_tray_status_notifier_item_complete_secondary_activate(sni, invocation);
        if (auto item = menu ? current(*menu) : nullptr) {
            performMenuItemAction(*item);
        }
        return TRUE;
    }

    // Hosts send a notch of the wheel as 120 (Plasma) or 1 (most others).
    static gboolean scroll(OrvoTrayStatusNotifierItem* sni, GDBusMethodInvocation* invocation, gint delta,
        const gchar* orientation, gpointer)
    {
        if (g_strcmp0(orientation, "horizontal") != 0 && delta != 0) {
            const long long notches
                = std::abs(static_cast<long long>(delta)) >= 120 ? delta / 120 : (delta > 0 ? 1 : -1);
            native::Volume::instance().step(notches);
        }
        orvo_tray_status_notifier_item_complete_scroll(sni, invocation);
        return TRUE;
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

    const int serial_;
    const std::string objectPath_;
    NotifierButton button_ { *this };
    native::MenuExporter menu_;
    int menuChecks_ = 0;
    glib::SourceHandle menuCheckTimer_;
    glib::SourceHandle noTrayTimer_;
    std::shared_ptr<Menu> menuModel_;
    Shown shown_;
    glib::SourceHandle refreshIdle_;
    glib::GRef<GCancellable> cancellable_;
    glib::GRef<OrvoTrayStatusNotifierItemSkeleton> skeleton_ { ORVO_TRAY_STATUS_NOTIFIER_ITEM_SKELETON(
        orvo_tray_status_notifier_item_skeleton_new()) };
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
