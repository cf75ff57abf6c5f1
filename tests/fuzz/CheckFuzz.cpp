// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry point for a check the corpus replays share: ORVO_FUZZ_HEADER
// and ORVO_FUZZ_CHECK name it (see CMakeLists.txt).
#include ORVO_FUZZ_HEADER

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A GLib critical or warning from a reader is a misuse of GLib: let it count
// as a crash.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto problem = orvo::test::ORVO_FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
