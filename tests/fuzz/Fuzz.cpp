// SPDX-License-Identifier: GPL-3.0-or-later
// The readers of untrusted bytes must return on any input. ORVO_FUZZ_READER
// picks one: a libFuzzer target with clang, and in every build a replay of its
// corpus folder among the tests. GLib warnings count as crashes.
#include "platform/linux/player/Playlist.h"
#include "platform/linux/services/Services.h"
#include "platform/linux/store/SettingsDocument.h"

#include <glib.h>

#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace orvo::platform::native;
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING));
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)(ORVO_FUZZ_READER);
    return 0;
}

#ifndef ORVO_LIBFUZZER
int main(int, char** argv)
{
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        gchar* bytes = nullptr;
        gsize size = 0;
        g_file_get_contents(entry.path().c_str(), &bytes, &size, nullptr);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes), size);
        g_free(bytes);
    }
}
#endif
