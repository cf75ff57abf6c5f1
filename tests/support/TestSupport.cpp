// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestSupport.h"

#include <glib.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvo::test {

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Wake the context now and then so a predicate that depends on another
    // process (not on a main-loop event) is seen promptly.
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

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool captureStdout)
{
    int pipeFds[2] = { -1, -1 };
    if (captureStdout && pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        setpgid(0, 0);
        // A test that crashes must not leave servers behind holding ctest's
        // output pipe open.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (captureStdout) {
            dup2(pipeFds[1], STDOUT_FILENO);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (captureStdout) {
        close(pipeFds[1]);
        stdoutFd_ = pipeFds[0];
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_)
    , stdoutFd_(other.stdoutFd_)
{
    other.pid_ = -1;
    other.stdoutFd_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        stdoutFd_ = other.stdoutFd_;
        other.pid_ = -1;
        other.stdoutFd_ = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    stop();
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stdoutFd_ >= 0) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p { stdoutFd_, POLLIN, 0 };
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char c;
        if (read(stdoutFd_, &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return line;
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        g_usleep(5000);
    } while (std::chrono::steady_clock::now() < deadline);
    return -1;
}

void ChildProcess::stop()
{
    if (pid_ > 0) {
        kill(-pid_, SIGTERM);
        kill(pid_, SIGTERM);
        if (wait(std::chrono::seconds(3)) == -1 && pid_ > 0) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
}

PrivateBus::PrivateBus(const std::string& configFile)
    : daemon_({ "dbus-daemon", configFile.empty() ? "--session" : "--config-file=" + configFile, "--nofork",
                  "--nopidfile", "--print-address=1" },
        true)
{
    address_ = daemon_.readLine();
    if (address_.empty()) {
        throw std::runtime_error("dbus-daemon gave no address");
    }
    g_setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), TRUE);
}

PrivateBus::~PrivateBus()
{
    daemon_.stop();
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "orvo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
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

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    ChildProcess child(argv, true);
    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p { child.stdoutFd(), POLLIN, 0 };
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        const ssize_t n = read(child.stdoutFd(), buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    result.status = child.wait(std::chrono::seconds(5));
    return result;
}

} // namespace orvo::test
