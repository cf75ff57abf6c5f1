// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Reading HLS playlists (RFC 8216): pure functions over text, no I/O. What the
// live fetcher needs to know of a master or media playlist, with every address
// made absolute against the playlist's own address. What to play of it is
// PlaybackPolicy.h's.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvo::platform::native::hls {

// Bounds on what is read at all: a bigger playlist or line is an error.
inline constexpr std::size_t maxPlaylistBytes = 1024 * 1024;
inline constexpr std::size_t maxLineBytes = 64 * 1024;
// The longest duration read (EXTINF, EXT-X-TARGETDURATION): a day is far beyond
// any real segment and keeps sums and millisecond counts clear of overflow.
inline constexpr std::uint64_t maxSeconds = 24 * 60 * 60;

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

struct Key {
    enum class Method { None, Aes128 };
    Method method = Method::None;
    std::string uri; // absolute; empty for None
    // The explicit IV; when absent the segment's media sequence number is the IV.
    std::optional<std::array<std::uint8_t, 16>> iv;
    bool operator==(const Key&) const = default;
};

// An EXT-X-MAP: bytes to feed the decoder before the segments it applies to.
struct InitSection {
    std::string uri; // absolute
    std::optional<ByteRange> range;
    // The EXT-X-KEY in force where the EXT-X-MAP stands: it encrypts the init
    // section too (RFC 8216 §4.3.2.4). Its IV is always explicit here, since no
    // sequence number applies; a server that leaves it out gets zero.
    Key key;
    bool operator==(const InitSection&) const = default;
};

struct Segment {
    std::string uri; // absolute
    double duration = 0; // seconds, from EXTINF
    std::uint64_t sequence = 0; // media sequence number
    std::uint64_t discontinuitySequence = 0;
    bool discontinuity = false; // an EXT-X-DISCONTINUITY stands before it
    std::optional<ByteRange> range; // EXT-X-BYTERANGE, offset resolved
    Key key; // the EXT-X-KEY in force
    std::optional<InitSection> init; // the EXT-X-MAP in force
    bool operator==(const Segment&) const = default;
};

struct MediaPlaylist {
    std::chrono::seconds targetDuration { 0 };
    std::uint64_t mediaSequence = 0;
    std::uint64_t discontinuitySequence = 0;
    bool endList = false;
    std::vector<Segment> segments;
    bool operator==(const MediaPlaylist&) const = default;
};

struct Variant {
    std::string uri; // absolute
    std::uint64_t bandwidth = 0;
    std::vector<std::string> codecs; // empty when CODECS is absent
    bool operator==(const Variant&) const = default;
};

struct MasterPlaylist {
    std::vector<Variant> variants; // in playlist order
    bool operator==(const MasterPlaylist&) const = default;
};

struct ParseError {
    std::string reason;
    std::size_t line = 0; // 1-based; 0 when not tied to a line
};

using Parsed = std::variant<MasterPlaylist, MediaPlaylist, ParseError>;

// Reads a playlist fetched from baseUri (an absolute address). Unknown tags are
// ignored; anything malformed or out of bounds gives a ParseError, and so do
// encryption we cannot undo (SAMPLE-AES, key formats other than "identity").
// A media playlist has a target duration of 1 s to a day and may have no
// segments yet; a master playlist has at least one variant.
Parsed parse(std::string_view text, std::string_view baseUri);

} // namespace orvo::platform::native::hls
