// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What must hold for any bytes given to the playlist reader: it returns; an
// error says why and where; an accepted playlist is consistent (numbering,
// ranges, keys, a variant choice the player can decode); and written out again
// as a playlist it reads back the same. Shared by the libFuzzer target and the
// corpus run among the normal tests.

#include "platform/linux/player/Playlist.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace orvo::test {

inline constexpr std::string_view playlistCheckBase = "https://127.0.0.1:47443/liveradio/vessa1/playlist.m3u8?t=1";

namespace playlist_check {

using namespace orvo::platform::native::hls;

inline bool absolute(const std::string& uri)
{
    const auto colon = uri.find(':');
    return colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(uri[0]))
        && std::all_of(uri.begin(), uri.begin() + static_cast<std::ptrdiff_t>(colon),
            [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'; });
}

inline std::string hex(const std::array<std::uint8_t, 16>& bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (const auto byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

inline std::string keyTag(const Key& key)
{
    if (key.method == Key::Method::None) {
        return "#EXT-X-KEY:METHOD=NONE\n";
    }
    return "#EXT-X-KEY:METHOD=AES-128,URI=\"" + key.uri + "\"" + (key.iv ? ",IV=" + hex(*key.iv) : "") + "\n";
}

inline std::string range(const ByteRange& r)
{
    return std::to_string(r.length) + "@" + std::to_string(r.offset);
}

inline std::string write(const MediaPlaylist& playlist)
{
    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:" + std::to_string(playlist.targetDuration.count())
        + "\n#EXT-X-MEDIA-SEQUENCE:" + std::to_string(playlist.mediaSequence)
        + "\n#EXT-X-DISCONTINUITY-SEQUENCE:" + std::to_string(playlist.discontinuitySequence) + "\n";
    Key key;
    std::optional<InitSection> init;
    std::uint64_t discontinuity = playlist.discontinuitySequence;
    for (const auto& segment : playlist.segments) {
        for (; discontinuity < segment.discontinuitySequence; ++discontinuity) {
            text += "#EXT-X-DISCONTINUITY\n";
        }
        if (segment.init != init) {
            if (segment.init->key != key) {
                key = segment.init->key;
                text += keyTag(key);
            }
            init = segment.init;
            text += "#EXT-X-MAP:URI=\"" + init->uri + "\""
                + (init->range ? ",BYTERANGE=\"" + range(*init->range) + "\"" : "") + "\n";
        }
        if (segment.key != key) {
            key = segment.key;
            text += keyTag(key);
        }
        char duration[64];
        const auto end
            = std::to_chars(duration, duration + sizeof duration, segment.duration, std::chars_format::fixed).ptr;
        text += "#EXTINF:" + std::string(duration, end) + ",\n";
        if (segment.range) {
            text += "#EXT-X-BYTERANGE:" + range(*segment.range) + "\n";
        }
        text += segment.uri + "\n";
    }
    return text + (playlist.endList ? "#EXT-X-ENDLIST\n" : "");
}

inline std::string write(const MasterPlaylist& master)
{
    std::string text = "#EXTM3U\n";
    for (const auto& variant : master.variants) {
        text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(variant.bandwidth);
        for (std::size_t i = 0; i < variant.codecs.size(); ++i) {
            text += (i == 0 ? ",CODECS=\"" : ",") + variant.codecs[i];
        }
        text += (variant.codecs.empty() ? "\n" : "\"\n") + variant.uri + "\n";
    }
    return text;
}

inline std::string check(const MediaPlaylist& playlist, std::size_t inputBytes)
{
    if (playlist.targetDuration < std::chrono::seconds(1)) {
        return "accepted a target duration below a second";
    }
    const auto& segments = playlist.segments;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& segment = segments[i];
        const std::uint64_t previousDiscontinuity
            = i == 0 ? playlist.discontinuitySequence : segments[i - 1].discontinuitySequence;
        if (segment.sequence != (i == 0 ? playlist.mediaSequence : segments[i - 1].sequence + 1)) {
            return "segments are not numbered one after another";
        }
        if (segment.discontinuitySequence < previousDiscontinuity
            || (segment.discontinuitySequence > previousDiscontinuity) != segment.discontinuity
            || segment.discontinuitySequence - previousDiscontinuity > inputBytes) {
            return "the discontinuity sequence does not follow the discontinuity marks";
        }
        if (!absolute(segment.uri) || (segment.init && !absolute(segment.init->uri))) {
            return "a relative address was left: " + segment.uri;
        }
        if (!std::isfinite(segment.duration) || segment.duration < 0) {
            return "accepted a duration that is not a finite positive number";
        }
        for (const auto* r : { segment.range ? &*segment.range : nullptr,
                 segment.init && segment.init->range ? &*segment.init->range : nullptr }) {
            if (r && (r->length == 0 || r->offset > std::numeric_limits<std::uint64_t>::max() - r->length)) {
                return "accepted a byte range that is empty or ends beyond 2^64";
            }
        }
        for (const Key* key : { &segment.key, segment.init ? &segment.init->key : nullptr }) {
            if (key && (key->method == Key::Method::None) != key->uri.empty()) {
                return "a key has an address exactly when it has no method";
            }
            if (key && key->method == Key::Method::None && key->iv) {
                return "an IV without a key";
            }
        }
        if (segment.init && segment.init->key.method == Key::Method::Aes128 && !segment.init->key.iv) {
            return "an encrypted init section without IV";
        }
        if (i > 0 && segments[i - 1].init && !segment.init) {
            return "an init section stopped applying";
        }
        ivFor(segment);
    }
    if (segments.empty() ? startIndex(playlist) != 0 : startIndex(playlist) >= segments.size()) {
        return "start index outside the playlist";
    }
    const auto changed = reloadDelay(playlist, true);
    const auto unchanged = reloadDelay(playlist, false);
    if (unchanged <= std::chrono::milliseconds(0) || changed < unchanged) {
        return "reload delays are not positive or not longer after a change";
    }
    return {};
}

inline std::string check(const MasterPlaylist& master)
{
    if (master.variants.empty()) {
        return "accepted a master playlist without variants";
    }
    for (const auto& variant : master.variants) {
        if (!absolute(variant.uri)) {
            return "a relative address was left: " + variant.uri;
        }
        for (const auto& codec : variant.codecs) {
            if (codec.empty() || codec.find(',') != std::string::npos || codec.front() == ' ' || codec.back() == ' ') {
                return "a codec entry was split badly: \"" + codec + "\"";
            }
        }
    }
    // Each step down gives a strictly lower bandwidth the player can decode,
    // and nothing decodable lies between the steps.
    std::optional<std::uint64_t> below;
    for (std::size_t steps = 0; steps <= master.variants.size(); ++steps) {
        const auto chosen = chooseVariant(master, below);
        for (const auto& variant : master.variants) {
            const bool decodable = std::all_of(
                variant.codecs.begin(), variant.codecs.end(), [](const std::string& c) { return canDecode(c); });
            if (decodable && (!below || variant.bandwidth < *below)
                && (!chosen || variant.bandwidth > master.variants[*chosen].bandwidth)) {
                return "a better decodable variant was passed over";
            }
        }
        if (!chosen) {
            return {};
        }
        if (*chosen >= master.variants.size()) {
            return "chose a variant that is not there";
        }
        below = master.variants[*chosen].bandwidth;
    }
    return "stepping down never ends";
}

} // namespace playlist_check

// An empty string when the properties hold, else what went wrong.
inline std::string checkPlaylist(std::string_view bytes)
{
    using namespace playlist_check;
    const auto parsed = parse(bytes, playlistCheckBase);
    if (const auto* error = std::get_if<ParseError>(&parsed)) {
        const auto lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
        if (error->reason.empty() || error->line > lines) {
            return "an error without a reason or past the last line";
        }
        return {};
    }
    std::string problem;
    std::string again;
    if (const auto* master = std::get_if<MasterPlaylist>(&parsed)) {
        problem = check(*master);
        again = write(*master);
    } else {
        const auto& media = std::get<MediaPlaylist>(parsed);
        problem = check(media, bytes.size());
        again = write(media);
    }
    if (!problem.empty()) {
        return problem;
    }
    // Absolute addresses are longer than relative ones, so the bounds may no
    // longer let the written form through.
    std::size_t longestLine = 0;
    for (std::size_t at = 0; at < again.size();) {
        const auto end = again.find('\n', at);
        longestLine = std::max(longestLine, end - at);
        at = end + 1;
    }
    if (again.size() > maxPlaylistBytes || longestLine > maxLineBytes) {
        return {};
    }
    const auto reread = parse(again, playlistCheckBase);
    const bool same = parsed.index() == reread.index()
        && (std::holds_alternative<MasterPlaylist>(parsed)
                ? std::get<MasterPlaylist>(parsed) == std::get<MasterPlaylist>(reread)
                : std::get<MediaPlaylist>(parsed) == std::get<MediaPlaylist>(reread));
    return same ? std::string() : "a playlist written out again reads back differently:\n" + again;
}

} // namespace orvo::test
