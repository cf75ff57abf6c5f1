// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/Quitting.h"
#include "platform/linux/core/WarmUp.h"

#include <glib-unix.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace orvo::platform {
namespace {

std::vector<void (*)()>& menuOpeningTasks()
{
    static std::vector<void (*)()> tasks;
    return tasks;
}

std::vector<void (*)()>& quittingTasks()
{
    static std::vector<void (*)()> tasks;
    return tasks;
}

struct InstanceAction {
    const char* name;
    void (*handler)(int);
};

std::vector<InstanceAction>& instanceActions()
{
    static std::vector<InstanceAction> actions;
    return actions;
}

class GLibApplication final : public Application {
public:
    GLibApplication()
        : loop_(g_main_loop_new(nullptr, FALSE))
    {
        useUserLocale();
        // The application cannot work without the session bus: find out now,
        // before anything is built on it.
        claimSingleInstance(native::sessionBus());
    }

    void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }

    void run() override
    {
        g_idle_add_full(G_PRIORITY_HIGH_IDLE, &GLibApplication::finishLaunching, this, nullptr);
        // A session that ends sends SIGTERM; leave the loop as quit would.
        g_unix_signal_add(SIGTERM, &GLibApplication::quitOnSignal, this);
        g_unix_signal_add(SIGINT, &GLibApplication::quitOnSignal, this);
        g_main_loop_run(loop_.get());
        for (auto* task : quittingTasks()) {
            task();
        }
        // Answers already queued (the reply to the quit click itself) still
        // reach their callers before the process ends.
        g_dbus_connection_flush_sync(native::sessionBus(), nullptr, nullptr);
    }

    void terminate() override { g_main_loop_quit(loop_.get()); }

private:
    // The user's locale for text handling and the libraries' own messages. A
    // locale the machine has not generated makes setlocale fail as a whole and
    // would leave the process in ASCII: keep every category that exists and
    // let the others be C.UTF-8, which glibc always has. Numbers stay in the C
    // form, so playlists and settings read the same in every language. The
    // menu's language does not depend on any of this (see Localization.cpp).
    static void useUserLocale()
    {
        if (!std::setlocale(LC_ALL, "")) {
            std::setlocale(LC_ALL, "C.UTF-8");
            for (int category : { LC_CTYPE, LC_COLLATE, LC_MESSAGES, LC_TIME, LC_MONETARY }) {
                std::setlocale(category, "");
            }
        }
        std::setlocale(LC_NUMERIC, "C");
    }

    // One instance per session: a second launch would add a second tray item
    // and fight over the keys. The instance's bus name is held until the
    // process ends, and the instance's actions are exported beside it
    // (org.gtk.Actions, as GApplication does), which is how
    // "orvomenu --hotkey N" reaches it. (GApplication itself is not used: a
    // second launch of it waits on the first one's main loop, up to D-Bus's
    // 25 s, before it can tell that one is running.)
    static void claimSingleInstance(GDBusConnection* bus)
    {
        GSimpleActionGroup* actions = g_simple_action_group_new(); // exported until the process ends
        for (const auto& action : instanceActions()) {
            GSimpleAction* simple = g_simple_action_new(action.name, G_VARIANT_TYPE_INT32);
            g_signal_connect(simple, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant* parameter, gpointer handler) {
                reinterpret_cast<void (*)(int)>(handler)(g_variant_get_int32(parameter));
            }),
                reinterpret_cast<gpointer>(action.handler));
            g_action_map_add_action(G_ACTION_MAP(actions), G_ACTION(simple));
            g_object_unref(simple);
        }
        g_dbus_connection_export_action_group(bus, native::instanceObjectPath, G_ACTION_GROUP(actions), nullptr);

        glib::GUnique<GError> error;
        auto reply = glib::GUnique<GVariant>(
            g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", native::instanceBusName, 4u /* DBUS_NAME_FLAG_DO_NOT_QUEUE */),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, glib::out(error)));
        // A bus that cannot be asked (it refused the name, or broke off) is
        // an error, not a sign of another instance.
        if (!reply) {
            std::fprintf(stderr, "orvomenu: cannot claim %s on the session bus: %s\n", native::instanceBusName,
                error ? error->message : "unknown error");
            std::exit(1);
        }
        guint32 result = 0;
        g_variant_get(reply.get(), "(u)", &result);
        // 1: primary owner, 4: already the owner; 3: someone else has it.
        if (result != 1 && result != 4) {
            std::fprintf(stderr, "orvomenu: already running in this session\n");
            std::exit(0);
        }
    }

    static gboolean finishLaunching(gpointer self)
    {
        auto* app = static_cast<GLibApplication*>(self);
        if (app->delegate_) {
            app->delegate_->applicationDidFinishLaunching();
        }
        return G_SOURCE_REMOVE;
    }

    static gboolean quitOnSignal(gpointer self)
    {
        static_cast<GLibApplication*>(self)->terminate();
        return G_SOURCE_CONTINUE;
    }

    glib::GUnique<GMainLoop> loop_;
    ApplicationDelegate* delegate_ = nullptr;
};

} // namespace

void native::whenMenuOpens(void (*task)())
{
    menuOpeningTasks().push_back(task);
}

void native::whenQuitting(void (*task)())
{
    quittingTasks().push_back(task);
}

void native::menuOpens()
{
    for (auto* task : menuOpeningTasks()) {
        task();
    }
}

void native::addInstanceAction(const char* name, void (*handler)(int))
{
    instanceActions().push_back({ name, handler });
}

Application& Application::sharedApplication()
{
    static GLibApplication* app = new GLibApplication(); // lives until the process ends
    return *app;
}

} // namespace orvo::platform
