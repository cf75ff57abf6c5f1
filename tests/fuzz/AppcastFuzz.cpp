// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry point for the appcast reader and the version ordering: run
// with a corpus folder, e.g. orvo_fuzz_appcast -max_total_time=60 corpus/appcast
#include "tests/fuzz/AppcastCheck.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto problem = orvo::test::checkAppcast(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
