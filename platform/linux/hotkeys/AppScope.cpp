// SPDX-License-Identifier: GPL-3.0-or-later
// The app's own systemd scope, so that the desktop portal knows it by its
// desktop entry however it was started.
//
// xdg-desktop-portal before 1.20 (Debian 12 has 1.16) has no Registry: it
// takes an unsandboxed app's id from the calling process's systemd user unit,
// app-[<launcher>-]<id>[-<random>|@<random>].(scope|service|slice), and it
// does so once per bus connection, on the first portal call of any kind (its
// src/xdp-utils.c keeps the answer by unique name until the name goes away).
// A launcher or the autostart generator puts the app in such a unit; a
// terminal or a script does not, and KDE then files the shortcuts under
// another group. So, before its first portal call, the app moves itself into
// app-<id>-<pid>.scope through the systemd user manager, as launchers do, and
// waits until the job has run.
#include "platform/BuildConfig.h"
#include "platform/linux/core/Bus.h"
#include "platform/linux/core/GLibPtr.h"
#include "platform/linux/hotkeys/Backends.h"

#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace orvo::platform::native {
namespace {

constexpr const char* systemdName = "org.freedesktop.systemd1";
constexpr const char* systemdPath = "/org/freedesktop/systemd1";
constexpr const char* managerInterface = "org.freedesktop.systemd1.Manager";
// Launchers do not wait for a scope either; a manager that takes longer is
// not worth the keys' delay.
constexpr guint jobPatience = 5;

// Whether the portal reads our id from this unit name: app-, an optional
// launcher name and a dash, our id, then -, @ or the suffix.
bool namesUs(std::string_view unit)
{
    const std::string_view id = build::desktopId;
    if (!unit.starts_with("app-")) {
        return false;
    }
    unit.remove_prefix(4);
    const auto dash = unit.find('-');
    for (const auto at : { std::size_t { 0 }, dash == std::string_view::npos ? unit.size() : dash + 1 }) {
        const auto rest = unit.substr(at);
        if (rest.starts_with(id) && rest.size() > id.size()
            && std::string_view("-@.").find(rest[id.size()]) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

// True when the process should move: it is in no unit that names us, and in
// no service either (whoever runs it as a service keeps it).
bool shouldMove()
{
    std::ifstream cgroups("/proc/self/cgroup");
    bool move = true;
    // Only systemd's own hierarchy names units: "0::<path>" on the unified
    // one, "N:name=systemd:<path>" on a hybrid one.
    for (std::string line; std::getline(cgroups, line);) {
        const std::string_view entry(line);
        const auto path = entry.find(":/");
        if (path == std::string_view::npos
            || !(entry.substr(0, path).ends_with(":") || entry.substr(0, path).ends_with(":name=systemd"))) {
            continue;
        }
        const std::string_view unit = entry.substr(entry.rfind('/') + 1);
        move = move && !namesUs(unit) && !unit.ends_with(".service");
    }
    return move;
}

class Scope {
public:
    void enter(std::function<void()> then)
    {
        if (state_ == State::Done) {
            then();
            return;
        }
        waiting_.push_back(std::move(then));
        if (state_ == State::Waiting) {
            return;
        }
        state_ = State::Waiting;
        if (!shouldMove()) {
            finish();
            return;
        }
        GDBusConnection* bus = sessionBus();
        removed_ = glib::SubscriptionHandle(bus,
            g_dbus_connection_signal_subscribe(bus, systemdName, managerInterface, "JobRemoved", systemdPath, nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &Scope::onJobRemoved, this, nullptr));
        const guint32 pid = static_cast<guint32>(getpid());
        const std::string unit = "app-" + std::string(build::desktopId) + "-" + std::to_string(pid) + ".scope";
        GVariantBuilder properties;
        g_variant_builder_init(&properties, G_VARIANT_TYPE("a(sv)"));
        g_variant_builder_add(&properties, "(sv)", "Description", g_variant_new_string(build::appName));
        g_variant_builder_add(&properties, "(sv)", "Slice", g_variant_new_string("app.slice"));
        g_variant_builder_add(&properties, "(sv)", "CollectMode", g_variant_new_string("inactive-or-failed"));
        g_variant_builder_add(
            &properties, "(sv)", "PIDs", g_variant_new_fixed_array(G_VARIANT_TYPE_UINT32, &pid, 1, sizeof pid));
        g_dbus_connection_call(bus, systemdName, systemdPath, managerInterface, "StartTransientUnit",
            g_variant_new("(ssa(sv)a(sa(sv)))", unit.c_str(), "fail", &properties, nullptr), G_VARIANT_TYPE("(o)"),
            G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, &Scope::onStarted, this);
        patience_ = glib::SourceHandle(g_timeout_add_seconds(jobPatience, &Scope::onImpatient, this));
    }

private:
    enum class State { Idle, Waiting, Done };

    static void onStarted(GObject* source, GAsyncResult* result, gpointer data)
    {
        auto* self = static_cast<Scope*>(data);
        glib::GUnique<GError> error;
        const glib::GUnique<GVariant> reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
        if (self->state_ != State::Waiting) {
            return;
        }
        if (!reply) {
            // Typically no systemd user manager on this bus: the app goes on
            // as it was started.
            g_debug("no scope of our own: %s", error->message);
            self->finish();
            return;
        }
        const char* job = nullptr;
        g_variant_get(reply.get(), "(&o)", &job);
        self->job_ = job;
        if (self->job_ == self->finished_) { // systemd replies first; just in case it did not
            self->finish();
        }
    }

    static void onJobRemoved(
        GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters, gpointer data)
    {
        auto* self = static_cast<Scope*>(data);
        const char* job = nullptr;
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uoss)"))) {
            g_variant_get(parameters, "(u&o&s&s)", nullptr, &job, nullptr, nullptr);
            self->finished_ = job;
            if (self->finished_ == self->job_) {
                self->finish();
            }
        }
    }

    static gboolean onImpatient(gpointer data)
    {
        auto* self = static_cast<Scope*>(data);
        self->patience_.forget();
        self->finish();
        return G_SOURCE_REMOVE;
    }

    void finish()
    {
        state_ = State::Done;
        removed_.reset();
        patience_.reset();
        for (auto& then : std::exchange(waiting_, {})) {
            then();
        }
    }

    State state_ = State::Idle;
    std::vector<std::function<void()>> waiting_;
    std::string job_;
    std::string finished_;
    glib::SubscriptionHandle removed_;
    glib::SourceHandle patience_;
};

} // namespace

void enterAppScope(std::function<void()> then)
{
    static Scope* scope = new Scope(); // lives until the process ends
    scope->enter(std::move(then));
}

} // namespace orvo::platform::native
