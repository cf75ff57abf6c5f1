// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Application.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/core/Launch.h"

#include <glib-unix.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace orvo::platform {
namespace {

std::vector<void (*)()>& afterLaunchTasks()
{
    static std::vector<void (*)()> tasks;
    return tasks;
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
        // A quarter of a second later: the tray item registers with the panel
        // first (a few round trips), and the work is still done long before a
        // person can open the menu and click.
        for (auto* task : afterLaunchTasks()) {
            g_timeout_add_full(
                G_PRIORITY_LOW, 250,
                [](gpointer data) -> gboolean {
                    reinterpret_cast<void (*)()>(data)();
                    return G_SOURCE_REMOVE;
                },
                reinterpret_cast<gpointer>(task), nullptr);
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

void native::runAfterLaunch(void (*task)())
{
    afterLaunchTasks().push_back(task);
}

Application& Application::sharedApplication()
{
    static GLibApplication* app = new GLibApplication(); // lives until the process ends
    return *app;
}

} // namespace orvo::platform
