// SPDX-License-Identifier: GPL-3.0-or-later
// GStreamer's registry cache, kept fresh away from the first click. When the
// cache is missing or older than the plugins (first run after install, or a
// plugin package update), gst_init() scans every plugin, which takes half a
// second or more. A child process at low priority does that scan soon after
// launch: the cache is shared through the file, so this process neither
// waits nor holds the registry in memory while it idles.
#include "platform/linux/player/Playback.h"

#include "platform/linux/core/GLibPtr.h"

#include <gst/gst.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

namespace orvo::platform::native {
namespace {

using glib::GUnique;

std::mutex refreshLock;
std::condition_variable refreshDone;
bool refreshing = false; // guarded by refreshLock

std::optional<std::int64_t> modified(const std::string& path)
{
    struct stat info { };
    if (stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// The first of the variables that is set, split at colons.
std::vector<std::string> pathsFrom(std::initializer_list<const char*> variables)
{
    for (const char* variable : variables) {
        if (const char* value = g_getenv(variable)) {
            std::vector<std::string> paths;
            GUnique<char*> parts(g_strsplit(value, G_SEARCHPATH_SEPARATOR_S, -1));
            for (char** part = parts.get(); *part; ++part) {
                if (**part) {
                    paths.emplace_back(*part);
                }
            }
            return paths;
        }
    }
    return {};
}

// When the registry cache was written, found where gst_init() looks for it.
std::optional<std::int64_t> registryWritten()
{
    const auto named = pathsFrom({ "GST_REGISTRY_1_0", "GST_REGISTRY" });
    if (!named.empty()) {
        return modified(named.front());
    }
    GUnique<char> folder(g_build_filename(g_get_user_cache_dir(), "gstreamer-1.0", nullptr));
    GUnique<GDir> dir(g_dir_open(folder.get(), 0, nullptr));
    std::optional<std::int64_t> newest;
    for (const char* name = dir ? g_dir_read_name(dir.get()) : nullptr; name; name = g_dir_read_name(dir.get())) {
        if (g_str_has_prefix(name, "registry.") && g_str_has_suffix(name, ".bin")) {
            GUnique<char> path(g_build_filename(folder.get(), name, nullptr));
            if (const auto written = modified(path.get()); written && (!newest || *written > *newest)) {
                newest = written;
            }
        }
    }
    return newest;
}

} // namespace

bool pluginRegistryStale()
{
    if (g_strcmp0(g_getenv("GST_REGISTRY_UPDATE"), "no") == 0) {
        return false;
    }
    const auto written = registryWritten();
    if (!written) {
        return true;
    }
    // A package that adds, replaces or removes a plugin renames files in its
    // folder, which moves the folder's time on.
    auto folders = pathsFrom({ "GST_PLUGIN_SYSTEM_PATH_1_0", "GST_PLUGIN_SYSTEM_PATH" });
    if (folders.empty()) {
        GUnique<char> user(g_build_filename(g_get_user_data_dir(), "gstreamer-1.0", "plugins", nullptr));
        folders = { ORVO_GST_PLUGINS_DIR, user.get() };
    }
    for (auto& extra : pathsFrom({ "GST_PLUGIN_PATH_1_0", "GST_PLUGIN_PATH" })) {
        folders.push_back(std::move(extra));
    }
    for (const auto& folder : folders) {
        if (const auto changed = modified(folder); changed && *changed > *written) {
            return true;
        }
    }
    return false;
}

void refreshPluginRegistry()
{
    static bool started = false;
    if (started) {
        return;
    }
    started = true;
    char self[] = "/proc/self/exe";
    std::string argument = registryRefreshOption;
    char* argv[] = { self, argument.data(), nullptr };
    GPid child = 0;
    const auto lowPriority = [](gpointer) { setpriority(PRIO_PROCESS, 0, 10); };
    if (!g_spawn_async(nullptr, argv, nullptr, static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD), lowPriority,
            nullptr, &child, nullptr)) {
        return;
    }
    {
        std::lock_guard lock(refreshLock);
        refreshing = true;
    }
    g_child_watch_add(
        child,
        [](GPid pid, gint, gpointer) {
            g_spawn_close_pid(pid);
            {
                std::lock_guard lock(refreshLock);
                refreshing = false;
            }
            refreshDone.notify_all();
        },
        nullptr);
}

void rebuildPluginRegistry()
{
    // A stale cache makes gst_init() scan the plugins, each in a scanner
    // process of its own, and write the cache anew.
    gst_init(nullptr, nullptr);
}

void awaitPluginRegistry()
{
    std::unique_lock lock(refreshLock);
    refreshDone.wait(lock, [] { return !refreshing; });
}

} // namespace orvo::platform::native
