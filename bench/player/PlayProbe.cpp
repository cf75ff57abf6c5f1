// SPDX-License-Identifier: GPL-3.0-or-later
// Plays a stream with the product's stream player, as the application would,
// for whole-process measurements (bench/player). Usage:
//   orvo_play_probe [--seconds N] [--warm-up S] [--switch-after S URL2] [--ca FILE] URL
// With --warm-up it gets ready first, as the application does when its menu
// opens, and starts playing S seconds later. Prints "play <ms>" and
// "switch <ms>" on stdout (monotonic milliseconds) when it starts and switches.
#include "platform/StreamPlayer.h"
#include "platform/linux/net/HttpsFetch.h"
#include "platform/linux/player/Playback.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

using orvo::platform::Player;
using orvo::platform::PlayerItem;
using orvo::platform::Url;

namespace {
std::unique_ptr<Player> start(const std::string& address)
{
    const auto url = Url::parse(address);
    if (!url) {
        std::fprintf(stderr, "not an https address: %s\n", address.c_str());
        std::exit(2);
    }
    auto player = Player::create(PlayerItem::create(*url));
    player->play();
    return player;
}
} // namespace

int main(int argc, char** argv)
{
    double seconds = 10;
    double switchAfter = -1;
    double warmUp = -1;
    std::string second;
    std::string first;
    std::string ca;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--switch-after" && i + 2 < argc) {
            switchAfter = std::atof(argv[++i]);
            second = argv[++i];
        } else if (arg == "--warm-up" && i + 1 < argc) {
            warmUp = std::atof(argv[++i]);
        } else if (arg == "--ca" && i + 1 < argc) {
            ca = argv[++i];
        } else {
            first = arg;
        }
    }
    if (first.empty()) {
        std::fprintf(stderr, "usage: %s [--seconds N] [--switch-after S URL2] [--ca FILE] URL\n", argv[0]);
        return 2;
    }
    if (!ca.empty()) {
        orvo::platform::native::trustExtraCa(ca);
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    if (warmUp > 0) {
        orvo::platform::native::prepareForPlaying(first);
        g_timeout_add(
            static_cast<guint>(warmUp * 1000),
            [](gpointer data) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(data));
                return G_SOURCE_REMOVE;
            },
            loop);
        g_main_loop_run(loop);
    }
    std::printf("play %lld\n", static_cast<long long>(g_get_monotonic_time() / 1000));
    std::fflush(stdout);
    std::unique_ptr<Player> player = start(first);
    struct Switch {
        std::unique_ptr<Player>* player;
        std::string address;
    } change { &player, second };
    if (switchAfter >= 0) {
        g_timeout_add(
            static_cast<guint>(switchAfter * 1000),
            [](gpointer data) -> gboolean {
                auto* s = static_cast<Switch*>(data);
                std::printf("switch %lld\n", static_cast<long long>(g_get_monotonic_time() / 1000));
                std::fflush(stdout);
                // As the application switches: silence the old stream, then make the new one.
                (*s->player)->pause();
                *s->player = start(s->address);
                return G_SOURCE_REMOVE;
            },
            &change);
    }
    g_timeout_add(
        static_cast<guint>(seconds * 1000),
        [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop);
    g_main_loop_run(loop);
    player.reset();
    g_main_loop_unref(loop);
    return 0;
}
