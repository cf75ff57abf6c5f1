// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/player/PlaybackPolicy.h"

#include <glib.h>

#include <algorithm>

namespace orvo::platform::native::hls {
namespace {

// How far from the live edge a fresh stream starts: RFC 8216 §6.3.3 asks for
// at least three target durations.
constexpr std::size_t liveEdgeSegments = 3;

} // namespace

bool canDecode(std::string_view codec)
{
    // What the decode pipeline plays with the GStreamer packages the app
    // depends on, by RFC 6381 name. Audio only: a variant carrying video would
    // cost bandwidth for pictures nobody sees, so video names are not here.
    static constexpr std::string_view decodable[] = {
        "mp4a.40.2", // AAC-LC, what most stations send: avdec_aac (libav) or faad
        "mp4a.40.5", // HE-AAC (SBR), common for low-bandwidth variants
        "mp4a.40.29", // HE-AAC v2 (SBR + parametric stereo)
        "mp4a.40.34", // MP3 as an MPEG-4 audio object type: mpg123audiodec (good)
        "mp4a.6b", // MP3 by its MPEG-1 audio object type indication
        "mp4a.69", // MP3 at the MPEG-2 low sample rates
        "ac-3", // Dolby Digital: avdec_ac3 (libav)
        "ec-3", // Dolby Digital Plus: avdec_eac3 (libav)
        "opus", // opusdec (base); "Opus" is the MP4 sample entry
        "flac", // flacdec (good); "fLaC" is the MP4 sample entry
        // Not here: mp4a.40.42 (xHE-AAC/USAC) has no decoder in Debian 12's
        // GStreamer or libav; mp4a.40.1 (AAC Main) is all but unused in HLS.
    };
    // Sample entries and hex object type indications are written in either case.
    const auto same = [&](std::string_view name) {
        return name.size() == codec.size() && std::equal(name.begin(), name.end(), codec.begin(), [](char a, char b) {
            return g_ascii_tolower(a) == g_ascii_tolower(b);
        });
    };
    return std::any_of(std::begin(decodable), std::end(decodable), same);
}

std::optional<std::size_t> chooseVariant(const MasterPlaylist& master, std::optional<std::uint64_t> below)
{
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < master.variants.size(); ++i) {
        const Variant& variant = master.variants[i];
        if (below && variant.bandwidth >= *below) {
            continue;
        }
        if (!std::all_of(
                variant.codecs.begin(), variant.codecs.end(), [](const std::string& c) { return canDecode(c); })) {
            continue;
        }
        // Strictly higher: of equal variants the first listed wins.
        if (!best || variant.bandwidth > master.variants[*best].bandwidth) {
            best = i;
        }
    }
    return best;
}

std::size_t startIndex(const MediaPlaylist& playlist)
{
    if (playlist.endList || playlist.segments.size() <= liveEdgeSegments) {
        return 0;
    }
    return playlist.segments.size() - liveEdgeSegments;
}

std::array<std::uint8_t, 16> ivFor(const Segment& segment)
{
    if (segment.key.iv) {
        return *segment.key.iv;
    }
    std::array<std::uint8_t, 16> iv {};
    for (std::size_t i = 0; i < 8; ++i) {
        iv[15 - i] = static_cast<std::uint8_t>(segment.sequence >> (8 * i));
    }
    return iv;
}

std::chrono::milliseconds reloadDelay(const MediaPlaylist& playlist, bool changed)
{
    const std::chrono::milliseconds target
        = std::clamp(playlist.targetDuration, std::chrono::seconds(1), std::chrono::seconds(maxSeconds));
    return changed ? target : target / 2;
}

} // namespace orvo::platform::native::hls
