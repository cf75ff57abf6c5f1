// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
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

class GLibApplication final : public Application {
public:
    GLibApplication()
        : loop_(g_main_loop_new(nullptr, FALSE))
    {
        std::setlocale(LC_ALL, "");
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
        // Answers already queued (the reply to the quit click itself) still
        // reach their callers before the process ends.
        g_dbus_connection_flush_sync(native::sessionBus(), nullptr, nullptr);
    }

    void terminate() override { g_main_loop_quit(loop_.get()); }

private:
    // One instance per session: a second launch would add a second tray item
    // and fight over the key grabs. The name is held until the process ends.
    static void claimSingleInstance(GDBusConnection* bus)
    {
        glib::GUnique<GError> error;
        auto reply = glib::GUnique<GVariant>(
            g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", native::instanceBusName, 4u /* DBUS_NAME_FLAG_DO_NOT_QUEUE */),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, glib::out(error)));
        guint32 result = 0;
        if (reply) {
            g_variant_get(reply.get(), "(u)", &result);
        }
        // 1: primary owner, 4: already the owner.
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

void native::menuOpens()
{
    for (auto* task : menuOpeningTasks()) {
        task();
    }
}

Application& Application::sharedApplication()
{
    static GLibApplication* app = new GLibApplication(); // lives until the process ends
    return *app;
}

} // namespace orvo::platform
