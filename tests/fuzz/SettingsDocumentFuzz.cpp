// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry point for the settings reader: run with a corpus folder,
// e.g. orvo_fuzz_settings_document -max_total_time=60 corpus/
#include "tests/fuzz/SettingsDocumentCheck.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto problem = orvo::test::checkSettingsDocument(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
