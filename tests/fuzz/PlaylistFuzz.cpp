// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry point for the HLS playlist reader: run with a corpus folder,
// e.g. orvo_fuzz_playlist -max_total_time=120 corpus/playlist
#include "tests/fuzz/PlaylistCheck.h"

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A GLib critical from the reader is a misuse of GLib: let it count as a crash.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto problem = orvo::test::checkPlaylist(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
