// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What must hold for any bytes given to the playlist reader: it returns; an
// error says why and where; an accepted playlist is consistent (numbering,
// addresses, ranges, keys, a variant choice the player can decode). Shared by
// the libFuzzer target and the corpus run among the normal tests.

#include "platform/linux/player/Playlist.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace orvo::test {

inline constexpr std::string_view playlistCheckBase = "https://127.0.0.1:47443/liveradio/vessa1/playlist.m3u8?t=1";

namespace playlist_check {

using namespace orvo::platform::native::hls;

// Every address is resolved against the playlist's https one.
inline bool absolute(const std::string& uri)
{
    const auto colon = uri.find("://");
    return colon != std::string::npos && colon > 0 && uri.find_first_of("/?#") > colon;
}

inline std::string check(const MediaPlaylist& playlist, std::size_t inputBytes)
{
    if (playlist.targetDuration < std::chrono::seconds(1)) {
        return "accepted a target duration below a second";
    }
    const auto& segments = playlist.segments;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& segment = segments[i];
        const Segment* previous = i > 0 ? &segments[i - 1] : nullptr;
        const auto previousDiscontinuity = previous ? previous->discontinuitySequence : playlist.discontinuitySequence;
        if (segment.sequence != (previous ? previous->sequence + 1 : playlist.mediaSequence)) {
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
        for (const auto& r : { segment.range, segment.init ? segment.init->range : std::nullopt }) {
            if (r && (r->length == 0 || r->offset > std::numeric_limits<std::uint64_t>::max() - r->length)) {
                return "accepted a byte range that is empty or ends beyond 2^64";
            }
        }
        for (const Key* key : { &segment.key, segment.init ? &segment.init->key : nullptr }) {
            if (key && (key->method == Key::Method::None) != key->uri.empty()) {
                return "a key has an address exactly when it has no method";
            }
        }
        if (segment.init && segment.init->key.method == Key::Method::Aes128 && !segment.init->key.iv) {
            return "an encrypted init section without IV";
        }
        if (previous && previous->init && !segment.init) {
            return "an init section stopped applying";
        }
        ivFor(segment);
    }
    if (segments.empty() ? startIndex(playlist) != 0 : startIndex(playlist) >= segments.size()) {
        return "start index outside the playlist";
    }
    const auto unchanged = reloadDelay(playlist, false);
    if (unchanged <= std::chrono::milliseconds(0) || reloadDelay(playlist, true) < unchanged) {
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
    // Each step down gives a strictly lower bandwidth the player can decode
    // (no CODECS: assumed playable), and nothing decodable lies between the steps.
    const auto decodable = [](const Variant& v) { return std::all_of(v.codecs.begin(), v.codecs.end(), canDecode); };
    std::optional<std::uint64_t> below;
    for (std::size_t steps = 0; steps <= master.variants.size(); ++steps) {
        const auto chosen = chooseVariant(master, below);
        if (chosen
            && (*chosen >= master.variants.size() || !decodable(master.variants[*chosen])
                || (below && master.variants[*chosen].bandwidth >= *below))) {
            return "chose a variant that is not there, not playable or not lower";
        }
        for (const auto& variant : master.variants) {
            if (decodable(variant) && (!below || variant.bandwidth < *below)
                && (!chosen || variant.bandwidth > master.variants[*chosen].bandwidth)) {
                return "a better decodable variant was passed over";
            }
        }
        if (!chosen) {
            return {};
        }
        below = master.variants[*chosen].bandwidth;
    }
    return "stepping down never ends";
}

} // namespace playlist_check

// An empty string when the properties hold, else what went wrong.
inline std::string checkPlaylist(std::string_view bytes)
{
    const auto parsed = platform::native::hls::parse(bytes, playlistCheckBase);
    if (const auto* error = std::get_if<platform::native::hls::ParseError>(&parsed)) {
        const auto lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
        return error->reason.empty() || error->line > lines ? "an error without a reason or past the last line" : "";
    }
    if (const auto* master = std::get_if<platform::native::hls::MasterPlaylist>(&parsed)) {
        return playlist_check::check(*master);
    }
    return playlist_check::check(std::get<platform::native::hls::MediaPlaylist>(parsed), bytes.size());
}

} // namespace orvo::test
