// SPDX-License-Identifier: GPL-3.0-or-later
// Soak run of the real application parts on a private session bus against the
// demo radio: many channel switches (each a new stream player and a menu
// rebuild with export), then long playback. Prints memory, open files and
// threads as it goes; they should not grow.
//
//   build/bench/bench/orvo_bench_soak [switches=10000] [playback-seconds=3600] [origins=1]
//
// With origins=2 the radio answers playlists from two origins out of step in
// turn, as a broken CDN does: threads and memory must stay flat all the same.
//
// Needs a build whose stream host is the demo radio (tools/radio), as the dev preset has it.
#include "bench/BenchSupport.h"
#include "platform/BuildConfig.h"
#include "platform/StatusBar.h"
#include "platform/linux/core/PlaybackNotice.h"
#include "src/AudioPlayer.h"
#include "src/MenuManager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

using namespace orvo;
using namespace std::chrono_literals;

namespace {

long statusField(const std::string& field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return 0;
}

long openFiles()
{
    long n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// What the open files are, by kind ("socket", "anon_inode:[eventfd]", …).
std::string openFileKinds()
{
    std::map<std::string, int> kinds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        auto target = std::filesystem::read_symlink(entry.path(), error).string();
        target = target.substr(0, target.find(':'));
        ++kinds[target];
    }
    std::string text;
    for (const auto& [kind, count] : kinds) {
        text += " " + kind + "=" + std::to_string(count);
    }
    return text;
}

void sample(const char* phase, long step)
{
    std::printf("%-9s %7ld  RSS %7.1f MB  fds %4ld  threads %3ld\n", phase, step, statusField("VmRSS") / 1024.0,
        openFiles(), statusField("Threads"));
    if (g_getenv("ORVO_SOAK_FILES")) {
        std::printf("          open files:%s\n", openFileKinds().c_str());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    const long switches = argc > 1 ? std::atol(argv[1]) : 10000;
    const long playbackSeconds = argc > 2 ? std::atol(argv[2]) : 3600;
    const std::string origins = argc > 3 ? argv[3] : "1";
    const std::string host = build::streamHost;
    if (host.rfind("127.0.0.1:", 0) != 0) {
        std::fprintf(stderr, "this build streams from %s, not from the local radio\n", host.c_str());
        return 1;
    }

    bench::PrivateBus bus;
    bench::TempDir config;
    g_setenv("XDG_CONFIG_HOME", config.path().c_str(), TRUE);
    g_setenv("ORVO_AUDIO_SINK", "fakesink sync=true", TRUE);

    // The demo radio on the build's port and CA; a port it cannot have, it says on stderr.
    const std::string port = host.substr(10);
    const std::string caDir = std::filesystem::path(build::extraCaFile).parent_path();
    const std::string work = config.path() / "radio";
    // Their recordings made before the radio is ready, so first sounds time the app.
    const std::string channelIds = OrvoChannel::allChannels[0].id + "," + OrvoChannel::allChannels[1].id;
    const char* const command[] = { "/usr/bin/python3", ORVO_RADIO_SCRIPT, "--port", port.c_str(), "--ca-dir",
        caDir.c_str(), "--work-dir", work.c_str(), "--segment-duration", "2", "--origins", origins.c_str(),
        "--channels", channelIds.c_str(), nullptr };
    const auto radio = platform::glib::adopt(g_subprocess_newv(command, G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr));
    const auto lines = platform::glib::adopt(g_data_input_stream_new(g_subprocess_get_stdout_pipe(radio.get())));
    const platform::glib::GUnique<char> ready(g_data_input_stream_read_line(lines.get(), nullptr, nullptr, nullptr));
    if (!ready || !g_str_has_prefix(ready.get(), "READY ")) {
        std::fprintf(stderr, "the demo radio did not start\n");
        return 1;
    }

    auto item = platform::StatusBar::systemStatusBar().statusItemWithLength(-1);
    auto player = AudioPlayer::create();
    auto manager = MenuManager::create(item, player);
    manager->start();
    bench::drain();
    sample("start", 0);

    // Switches 0 to 200 ms apart, as fast clicking through the menu gives:
    // streams are released while their playlist loads, while their first
    // segment arrives and after sound.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> pause(0, 200);
    const auto& channels = OrvoChannel::allChannels;
    for (long i = 1; i <= switches; ++i) {
        // Chosen as from the menu: switches channel, rebuilds and exports.
        platform::MenuItem chosen("", "channelSelected:", "");
        chosen.setTag(i % static_cast<long>(channels.size()));
        manager->channelSelected(&chosen);
        bench::runFor(std::chrono::milliseconds(pause(random)));
        if (i % 1000 == 0 || (switches < 1000 && i % 50 == 0)) {
            sample("switches", i);
        }
    }

    // Time to first sound (the tray's notice says "Connecting…" until then),
    // before and after the long playback: it must not have grown.
    const auto firstSound = [&](const OrvoChannel& channel) {
        const auto chosen = std::chrono::steady_clock::now();
        player->play(channel);
        bench::runUntil([] { return platform::native::PlaybackNotice::instance().text().empty(); }, 10s);
        std::printf("%s: first sound after %.0f ms\n", channel.name.c_str(),
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - chosen).count());
    };
    firstSound(channels[0]);
    for (long s = 0; s < playbackSeconds; s += 30) {
        bench::runFor(std::chrono::seconds(std::min<long>(30, playbackSeconds - s)));
        sample("playing", s + 30);
    }
    firstSound(channels[1]);
    g_subprocess_force_exit(radio.get());
    return 0;
}
