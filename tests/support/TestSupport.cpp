// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestSupport.h"

#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvo::test {

using platform::glib::adopt;
using platform::glib::GRef;
using platform::glib::GUnique;

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Wakes the context for predicates on another process's doings.
    const guint ticker = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool ok = predicate();
    while (!ok && std::chrono::steady_clock::now() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
        ok = predicate();
    }
    g_source_remove(ticker);
    return ok;
}

void drainMainContext()
{
    while (g_main_context_iteration(nullptr, FALSE)) { }
}

namespace {

GRef<GSubprocess> spawn(const std::vector<std::string>& argv, GSubprocessFlags flags)
{
    auto launcher = adopt(g_subprocess_launcher_new(flags));
    g_subprocess_launcher_set_child_setup(
        launcher.get(),
        [](gpointer) {
            setpgid(0, 0);
            // A crashed test leaves no server holding ctest's output open.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
        },
        nullptr, nullptr);
    std::vector<const char*> args;
    for (const auto& a : argv) {
        args.push_back(a.c_str());
    }
    args.push_back(nullptr);
    GUnique<GError> error;
    auto process = adopt(g_subprocess_launcher_spawnv(launcher.get(), args.data(), platform::glib::out(error)));
    if (!process) {
        throw std::runtime_error(argv[0] + ": " + error->message);
    }
    return process;
}

// Signals the whole group (a server's children too) unless already reaped.
void signalGroup(GSubprocess* process, int signal)
{
    if (const char* pid = g_subprocess_get_identifier(process)) {
        kill(-std::atoi(pid), signal);
    }
}

int exitStatus(GSubprocess* process)
{
    return g_subprocess_get_if_exited(process) ? g_subprocess_get_exit_status(process)
                                               : 128 + g_subprocess_get_term_sig(process);
}

// Runs one asynchronous GIO call on a main context of its own (nothing else
// of the test runs meanwhile), cancelled after timeout; returns its result.
GRef<GAsyncResult> await(
    const std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>& start, std::chrono::milliseconds timeout)
{
    GUnique<GMainContext> context(g_main_context_new());
    g_main_context_push_thread_default(context.get());
    auto cancellable = adopt(g_cancellable_new());
    GRef<GAsyncResult> result;
    start(
        cancellable.get(),
        [](GObject*, GAsyncResult* done, gpointer out) {
            static_cast<GRef<GAsyncResult>*>(out)->reset(G_ASYNC_RESULT(g_object_ref(done)));
        },
        &result);
    GSource* timer = g_timeout_source_new(static_cast<guint>(timeout.count()));
    g_source_set_callback(
        timer,
        [](gpointer cancel) {
            g_cancellable_cancel(G_CANCELLABLE(cancel));
            return G_SOURCE_REMOVE;
        },
        cancellable.get(), nullptr);
    g_source_attach(timer, context.get());
    g_source_unref(timer); // the context holds it
    while (!result) {
        g_main_context_iteration(context.get(), TRUE);
    }
    g_main_context_pop_thread_default(context.get());
    return result;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool captureStdout)
    : process_(spawn(argv, captureStdout ? G_SUBPROCESS_FLAGS_STDOUT_PIPE : G_SUBPROCESS_FLAGS_NONE))
{
    if (captureStdout) {
        stdout_ = adopt(g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_.get())));
    }
}

ChildProcess::~ChildProcess()
{
    stop();
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    if (!stdout_) {
        return {};
    }
    const auto result = await(
        [&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
            g_data_input_stream_read_line_async(stdout_.get(), G_PRIORITY_DEFAULT, cancel, done, data);
        },
        timeout);
    const GUnique<char> line(g_data_input_stream_read_line_finish(stdout_.get(), result.get(), nullptr, nullptr));
    return line ? line.get() : "";
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (!process_) {
        return -1;
    }
    const auto result = await([&](GCancellable* cancel, GAsyncReadyCallback done,
                                  gpointer data) { g_subprocess_wait_async(process_.get(), cancel, done, data); },
        timeout);
    return g_subprocess_wait_finish(process_.get(), result.get(), nullptr) ? exitStatus(process_.get()) : -1;
}

void ChildProcess::stop()
{
    if (process_ && g_subprocess_get_identifier(process_.get())) {
        signalGroup(process_.get(), SIGTERM);
        if (wait(std::chrono::seconds(3)) == -1) {
            signalGroup(process_.get(), SIGKILL);
            g_subprocess_wait(process_.get(), nullptr, nullptr);
        }
    }
    stdout_.reset();
    process_.reset();
}

PrivateBus::PrivateBus()
{
    // GTestDBus also clears DISPLAY, which is the test's business.
    const GUnique<char> display(g_strdup(g_getenv("DISPLAY")));
    bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus_);
    address_ = g_test_dbus_get_bus_address(bus_);
    if (display) {
        g_setenv("DISPLAY", display.get(), TRUE);
    }
}

PrivateBus::~PrivateBus()
{
    if (bus_) {
        // g_test_dbus_down() would wait 30 s for the session connection the
        // application keeps for life to be finalized: only stop the daemon.
        g_test_dbus_stop(bus_);
        static auto* stopped = new std::vector<GTestDBus*>; // reachable, so no leak report
        stopped->push_back(bus_);
    }
}

TempDir::TempDir()
{
    const GUnique<char> path(g_dir_make_tmp("orvo-test-XXXXXX", nullptr));
    if (!path) {
        throw std::runtime_error("no scratch folder");
    }
    path_ = path.get();
}

TempDir::~TempDir()
{
    std::error_code error;
    // Make read-only folders left by a test removable again.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        std::filesystem::permissions(
            it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(path_, error);
}

std::string readFile(const std::filesystem::path& path)
{
    GUnique<char> bytes;
    gsize size = 0;
    g_file_get_contents(path.c_str(), platform::glib::out(bytes), &size, nullptr);
    return bytes ? std::string(bytes.get(), size) : std::string();
}

void writeFile(const std::filesystem::path& path, std::string_view bytes)
{
    g_mkdir_with_parents(path.parent_path().c_str(), 0700);
    g_file_set_contents(path.c_str(), bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
}

int inChild(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

CommandResult runCommand(const std::vector<std::string>& argv)
{
    std::vector<const char*> args { "timeout", "-s", "KILL", "20" };
    for (const auto& a : argv) {
        args.push_back(a.c_str());
    }
    args.push_back(nullptr);
    GUnique<char> output;
    int status = -1;
    if (!g_spawn_sync(nullptr, const_cast<char**>(args.data()), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
            platform::glib::out(output), nullptr, &status, nullptr)) {
        return {};
    }
    return { WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), output ? output.get() : "" };
}

DBusMock::DBusMock(const char* name, const char* path, const std::string& dbusTemplate, const std::string& parameters)
    : name_(name)
    , path_(path)
    , process_({ "/usr/bin/python3", "-m", "dbusmock", "--template", dbusTemplate, "--parameters", parameters,
          "--logfile", "/dev/null" })
{
    auto bus = adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    bool owned = false;
    const guint watch = g_bus_watch_name_on_connection(
        bus.get(), name, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, gpointer seen) { *static_cast<bool*>(seen) = true; }, nullptr,
        &owned, nullptr);
    const bool up = waitFor([&] { return owned; }, std::chrono::seconds(30));
    g_bus_unwatch_name(watch);
    if (!up) {
        throw std::runtime_error(std::string("python3-dbusmock did not take ") + name);
    }
}

GUnique<GVariant> DBusMock::mock(const char* method, GVariant* parameters) const
{
    auto bus = adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    return GUnique<GVariant>(g_dbus_connection_call_sync(bus.get(), name_, path_, "org.freedesktop.DBus.Mock", method,
        parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
}

NotificationServer::NotificationServer()
    : DBusMock("org.freedesktop.Notifications", "/org/freedesktop/Notifications", "notification_daemon")
{
}

std::vector<std::vector<GUnique<GVariant>>> DBusMock::calls(const char* method) const
{
    std::vector<std::vector<GUnique<GVariant>>> list;
    const auto reply = mock("GetMethodCalls", g_variant_new("(s)", method));
    GVariantIter* calls = nullptr;
    GVariantIter* args = nullptr;
    g_variant_get(reply.get(), "(a(tav))", &calls);
    while (g_variant_iter_next(calls, "(tav)", nullptr, &args)) {
        auto& call = list.emplace_back();
        for (GVariant* value = nullptr; g_variant_iter_next(args, "v", &value);) {
            call.emplace_back(value);
        }
        g_variant_iter_free(args);
    }
    g_variant_iter_free(calls);
    return list;
}

std::vector<NotificationServer::Notification> NotificationServer::shown() const
{
    std::vector<Notification> list;
    // Notify's arguments: app_name, replaces_id, icon, summary, body, actions, …
    for (const auto& arg : calls("Notify")) {
        auto text = [&](int n) { return std::string(g_variant_get_string(arg.at(n).get(), nullptr)); };
        Notification n { static_cast<guint32>(list.size() + 1), text(0), text(3), text(4), {} };
        const GUnique<char*> actions(g_variant_dup_strv(arg.at(5).get(), nullptr));
        n.actions.assign(actions.get(), actions.get() + g_strv_length(actions.get()));
        list.push_back(std::move(n));
    }
    return list;
}

void NotificationServer::click(guint32 id, const char* action) const
{
    mock("EmitSignal",
        g_variant_new("(sss@av)", "", "ActionInvoked", "us", g_variant_new_parsed("[<%u>, <%s>]", id, action)));
    mock("EmitSignal",
        g_variant_new("(sss@av)", "", "NotificationClosed", "uu", g_variant_new_parsed("[<%u>, <uint32 2>]", id)));
    // The stand-in sent both signals before its reply to the same connection:
    // they wait in the main context now.
    drainMainContext();
}

} // namespace orvo::test
