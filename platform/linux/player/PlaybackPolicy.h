// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the live fetcher plays of a playlist read by Playlist.h: which codecs
// and variant, where a fresh stream starts, each segment's IV, and when a live
// playlist is loaded again. Pure functions, no I/O.

#include "platform/linux/player/Playlist.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvo::platform::native::hls {

// Whether the player can decode a CODECS entry (RFC 6381 form, e.g. "mp4a.40.2").
bool canDecode(std::string_view codec);

// The variant to play: the highest BANDWIDTH whose codecs can all be decoded,
// below `below` when given (stepping down after repeated stalls). Variants
// without CODECS count as decodable. Absent when none qualifies.
std::optional<std::size_t> chooseVariant(
    const MasterPlaylist& master, std::optional<std::uint64_t> below = std::nullopt);

// Index of the segment to start a fresh stream with: three segments back from
// the live edge of a live playlist, the first segment of an ended one (RFC 8216
// §6.3.3). 0 for a playlist without segments.
std::size_t startIndex(const MediaPlaylist& playlist);

// The AES-128 IV of a segment: its key's IV, or its sequence number as a
// 128-bit big-endian integer.
std::array<std::uint8_t, 16> ivFor(const Segment& segment);

// When to load a live playlist again, counted from when its last load began:
// the target duration after it changed, half of it when it did not (RFC 8216
// §6.3.4). The target duration counts as at least a second.
std::chrono::milliseconds reloadDelay(const MediaPlaylist& playlist, bool changed);

} // namespace orvo::platform::native::hls
