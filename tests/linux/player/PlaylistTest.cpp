// SPDX-License-Identifier: GPL-3.0-or-later
// The HLS playlist reader over playlists as servers write them and over the ways
// they go wrong.
#include "platform/linux/player/Playlist.h"
#include "platform/linux/player/PlaybackPolicy.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace {

using namespace orvo::platform::native::hls;
using namespace std::chrono_literals;
using namespace std::string_view_literals;

constexpr std::string_view base = "https://127.0.0.1:47443/liveradio/vessa1/playlist.m3u8?token=a%2Fb";

std::string hex(const std::array<std::uint8_t, 16>& bytes)
{
    std::ostringstream out;
    out << std::hex;
    for (const auto byte : bytes) {
        out << (byte >> 4) << (byte & 15);
    }
    return out.str();
}

// " <address> [length@offset] [key <address> iv <hex>]", addresses under
// the base's parent folder as "~/...".
std::string describe(const std::string& uri, const std::optional<ByteRange>& range, const Key& key,
    const std::array<std::uint8_t, 16>& iv)
{
    const auto shorten = [](const std::string& address) {
        constexpr std::string_view dir = "https://127.0.0.1:47443/liveradio/";
        return address.starts_with(dir) ? "~/" + address.substr(dir.size()) : address;
    };
    std::string text = " " + shorten(uri);
    if (range) {
        text += " " + std::to_string(range->length) + "@" + std::to_string(range->offset);
    }
    if (key.method != Key::Method::None) {
        text += " key " + shorten(key.uri) + " iv " + hex(iv);
    }
    return text;
}

// One line per segment: "sequence/discontinuity-sequence[!] duration uri ...",
// "!" marking a discontinuity before it; the init section where it changes.
std::string describe(const Parsed& parsed)
{
    std::ostringstream out;
    if (const auto* error = std::get_if<ParseError>(&parsed)) {
        out << "error at line " << error->line << ": " << error->reason;
    } else if (const auto* master = std::get_if<MasterPlaylist>(&parsed)) {
        for (const auto& variant : master->variants) {
            out << variant.bandwidth << describe(variant.uri, {}, {}, {});
            for (const auto& codec : variant.codecs) {
                out << " [" << codec << "]";
            }
            out << "\n";
        }
    } else {
        const auto& media = std::get<MediaPlaylist>(parsed);
        out << "target " << media.targetDuration.count() << (media.endList ? " ended\n" : " live\n");
        const std::optional<InitSection>* init = nullptr;
        for (const auto& s : media.segments) {
            out << s.sequence << "/" << s.discontinuitySequence << (s.discontinuity ? "! " : " ") << s.duration
                << describe(s.uri, s.range, s.key, ivFor(s));
            if (s.init && (!init || *init != s.init)) {
                out << " init"
                    << describe(s.init->uri, s.init->range, s.init->key,
                           s.init->key.iv.value_or(std::array<std::uint8_t, 16> {}));
            }
            init = &s.init;
            out << "\n";
        }
    }
    return out.str();
}

TEST(PlaylistReader, ReadsPlaylistsAsServersWriteThem)
{
    const struct {
        const char* note;
        std::string_view text;
        std::string_view expected;
    } cases[] = {
        { "a live window as our encoder writes it: BOM, CRLF, titles with commas, relative names that drop the "
          "playlist's query, dot segments, date tags and comments between",
            "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-MEDIA-SEQUENCE:41\r\n"
            "# written by the Vessa 1 encoder\r\n#EXT-X-PROGRAM-DATE-TIME:2026-12-06T12:00:00.000Z\r\n"
            "#EXTINF:2.000,Vessa 1, morning show\r\nseg41.ts\r\n#EXTINF:1.96\r\n./a/../seg42.ts?x=%2F\r\n"
            "#EXT-X-CUE-OUT:30\r\n#EXTINF:2,\r\n/liveradio/vessa1/seg43.ts\r\n",
            "target 2 live\n41/0 2 ~/vessa1/seg41.ts\n42/0 1.96 ~/vessa1/seg42.ts?x=%2F\n43/0 2 ~/vessa1/seg43.ts\n" },
        { "fMP4 and AES-128: a map applies until the next one and a key before it encrypts it too (IV zero); "
          "without an IV the sequence number is one; a short IV lacks its leading zeros; METHOD=NONE ends it",
            "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:72623859790382855\n"
            "#EXT-X-MAP:URI=\"../init-a.mp4\"\n#EXTINF:4,\na.m4s\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n"
            "#EXT-X-MAP:URI=\"init-b.mp4\"\n#EXTINF:4,\nb.m4s\n#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.example/"
            "k\","
            "IV=0x0123456789abcdef0123456789ABCDEF,KEYFORMAT=\"identity\"\n#EXTINF:4,\nc.m4s\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x1F\n#EXTINF:4,\nd.m4s\n#EXT-X-KEY:METHOD=NONE\n#EXTINF:4,\ne."
            "m4s\n",
            "target 4 live\n72623859790382855/0 4 ~/vessa1/a.m4s init ~/init-a.mp4\n"
            "72623859790382856/0 4 ~/vessa1/b.m4s key ~/vessa1/k iv 00000000000000000102030405060708 "
            "init ~/vessa1/init-b.mp4 key ~/vessa1/k iv 00000000000000000000000000000000\n"
            "72623859790382857/0 4 ~/vessa1/c.m4s key https://keys.example/k iv 0123456789abcdef0123456789abcdef\n"
            "72623859790382858/0 4 ~/vessa1/d.m4s key ~/vessa1/k iv 0000000000000000000000000000001f\n"
            "72623859790382859/0 4 ~/vessa1/e.m4s\n" },
        { "one file cut by byte ranges: the map's range from the start, an explicit offset, then ranges that run on",
            "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MAP:URI=\"main.mp4\",BYTERANGE=\"720\"\n"
            "#EXTINF:6,\n#EXT-X-BYTERANGE:1000@720\nmain.mp4\n#EXT-X-BYTERANGE:1100\n#EXTINF:6,\nmain.mp4\n"
            "#EXTINF:6,\n#EXT-X-BYTERANGE:900\nmain.mp4\n#EXT-X-ENDLIST\n",
            "target 6 ended\n0/0 6 ~/vessa1/main.mp4 1000@720 init ~/vessa1/main.mp4 720@0\n"
            "1/0 6 ~/vessa1/main.mp4 1100@1720\n2/0 6 ~/vessa1/main.mp4 900@2820\n" },
        { "discontinuities: each tag counts, a leading one and a doubled one too; only the next segment is marked",
            "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-DISCONTINUITY-SEQUENCE:12\n#EXT-X-DISCONTINUITY\n"
            "#EXTINF:2,\nad1.ts\n#EXTINF:2,\nad2.ts\n#EXT-X-DISCONTINUITY\n#EXT-X-DISCONTINUITY\n#EXTINF:2,\nshow.ts\n"
            "#EXTINF:2,\nshow2.ts\n#EXT-X-DISCONTINUITY\n",
            "target 2 live\n0/13! 2 ~/vessa1/ad1.ts\n1/13 2 ~/vessa1/ad2.ts\n2/15! 2 ~/vessa1/show.ts\n"
            "3/15 2 ~/vessa1/show2.ts\n" },
        { "a master: renditions and I-frame streams ignored, AVERAGE-BANDWIDTH and RESOLUTION too, spaces after "
          "CODECS commas, a blank line between tag and URI",
            "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"English\",DEFAULT=YES,URI=\"main/audio.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=1280000,AVERAGE-BANDWIDTH=1000000,RESOLUTION=640x360,"
            "CODECS=\"avc1.4d401e, mp4a.40.2\"\nhttp://example.com/low.m3u8\n"
            "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=86000,URI=\"low/iframe.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=65000,CODECS=\"mp4a.40.5\",AUDIO=\"aac\"\n\nmain/audio.m3u8\n",
            "1280000 http://example.com/low.m3u8 [avc1.4d401e] [mp4a.40.2]\n65000 ~/vessa1/main/audio.m3u8 "
            "[mp4a.40.5]\n" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(parse(c.text, base)), c.expected) << c.note;
    }
}

// One row per way the reader refuses.
TEST(PlaylistReader, MalformedInputIsAnErrorAtItsLine)
{
    const std::string head = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    const std::string longLine = head + std::string(maxLineBytes + 1, 'a') + "\n";
    const std::string huge = head + std::string(maxPlaylistBytes, '\n');
    const struct {
        std::string_view text;
        std::size_t line;
    } cases[] = {
        { "", 1 },
        { "#EXTM3U\n", 0 },
        { "#EXTM3U\n#EXTINF:2,\na.ts\n", 0 }, // no target duration
        { "#EXTM3U\n#EXT-X-TARGETDURATION:0\n", 2 },
        { "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:18446744073709551616\n", 2 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:18446744073709551615\n#EXTINF:2,\na\n", 5 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-DISCONTINUITY-SEQUENCE:18446744073709551615\n"
          "#EXT-X-DISCONTINUITY\n#EXTINF:2,\na\n",
            6 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\na\n#EXT-X-MEDIA-SEQUENCE:5\n", 5 },
        { "#EXTM3U\n#EXTINF:nan,\n", 2 },
        { "#EXTM3U\n#EXTINF:100000,\n", 2 }, // over a day
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-ENDLIST\n", 3 }, // no URI at the end
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXTINF:2,\na.ts\n", 3 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\na.ts\n", 3 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:CODECS=\"mp4a.40.2\"\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=fast\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"mp4a.40.2\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\na.m3u8\n#EXTINF:2,\nb.ts\n", 4 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-BYTERANGE:100@0\na.ts\n#EXTINF:2,\n"
          "#EXT-X-BYTERANGE:100\nb.ts\n",
            8 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\na.ts\n#EXTINF:2,\n#EXT-X-BYTERANGE:100\na.ts\n", 7 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-BYTERANGE:0@5\na.ts\n", 5 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-BYTERANGE:2@18446744073709551615\na.ts\n", 5 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"\"\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"skd://k\",KEYFORMAT=\"com.apple.streamingkeydelivery\"\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x0123456789abcdef0123456789abcdef0\n", 2 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nseg%zz.ts\n", 4 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\na.ts\0.evil\n"sv, 4 },
        { longLine, 3 },
        { huge, 0 },
    };
    for (const auto& c : cases) {
        const auto parsed = parse(c.text, base);
        const auto* error = std::get_if<ParseError>(&parsed);
        ASSERT_NE(error, nullptr) << "accepted:\n" << c.text.substr(0, 200);
        EXPECT_FALSE(error->reason.empty());
        EXPECT_EQ(error->line, c.line) << error->reason << "\n" << c.text.substr(0, 200);
    }
    EXPECT_TRUE(std::holds_alternative<ParseError>(parse("#EXTM3U\n", "liveradio/playlist.m3u8")));
}

TEST(PlaylistReader, StartsThreeSegmentsFromTheLiveEdgeAndReloadsAfterTheTargetDurationOrHalfOfIt)
{
    MediaPlaylist playlist;
    playlist.targetDuration = 6s;
    for (const auto& [count, ended, start] : { std::tuple { 6, false, 3 }, { 4, false, 1 }, { 3, false, 0 },
             { 2, false, 0 }, { 0, false, 0 }, { 6, true, 0 } }) {
        playlist.segments.assign(static_cast<std::size_t>(count), Segment {});
        playlist.endList = ended;
        EXPECT_EQ(startIndex(playlist), static_cast<std::size_t>(start)) << count << " segments";
    }
    EXPECT_EQ(reloadDelay(playlist, true), 6000ms);
    EXPECT_EQ(reloadDelay(playlist, false), 3000ms);
}

// The fuzz corpus through the fuzz target's own checks (tests/fuzz explores further).
} // namespace
