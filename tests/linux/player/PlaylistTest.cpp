// SPDX-License-Identifier: GPL-3.0-or-later
// The HLS playlist reader over playlists as servers write them, each with a
// note on what is odd about it, over the ways they go wrong, and over the fuzz corpus.
#include "platform/linux/player/Playlist.h"
#include "tests/fuzz/PlaylistCheck.h"

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

std::string describe(const Key& key)
{
    if (key.method == Key::Method::None) {
        return "";
    }
    return " key " + key.uri + (key.iv ? " iv " + hex(*key.iv) : "");
}

std::string describe(const std::optional<ByteRange>& range)
{
    return range ? " " + std::to_string(range->length) + "@" + std::to_string(range->offset) : "";
}

// One line per segment: "sequence/discontinuity-sequence[!] duration uri ...",
// "!" marking a discontinuity before it.
std::string describe(const Parsed& parsed)
{
    std::ostringstream out;
    if (const auto* error = std::get_if<ParseError>(&parsed)) {
        out << "error at line " << error->line << ": " << error->reason;
    } else if (const auto* master = std::get_if<MasterPlaylist>(&parsed)) {
        for (const auto& variant : master->variants) {
            out << variant.bandwidth << " " << variant.uri;
            for (const auto& codec : variant.codecs) {
                out << " [" << codec << "]";
            }
            out << "\n";
        }
    } else {
        const auto& media = std::get<MediaPlaylist>(parsed);
        out << "target " << media.targetDuration.count() << (media.endList ? " ended\n" : " live\n");
        for (const auto& s : media.segments) {
            out << s.sequence << "/" << s.discontinuitySequence << (s.discontinuity ? "! " : " ") << s.duration << " "
                << s.uri << describe(s.range) << describe(s.key);
            if (s.init) {
                out << " init " << s.init->uri << describe(s.init->range) << describe(s.init->key);
            }
            out << "\n";
        }
    }
    return out.str();
}

struct Case {
    const char* note;
    std::string_view text;
    std::string_view expected;
};

TEST(PlaylistReader, ReadsPlaylistsAsServersWriteThem)
{
    const Case cases[] = {
        { "a live window as our encoder writes it: BOM, CRLF, titles with commas, relative names that drop the "
          "playlist's query, dot segments, date tags and comments between",
            "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-VERSION:3\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-MEDIA-SEQUENCE:41\r\n"
            "# written by the Vessa 1 encoder\r\n#EXT-X-PROGRAM-DATE-TIME:2026-12-06T12:00:00.000Z\r\n"
            "#EXTINF:2.000,Vessa 1, morning show\r\nseg41.ts\r\n#EXTINF:1.96\r\n./a/../seg42.ts?x=%2F\r\n"
            "#EXT-X-CUE-OUT:30\r\n#EXTINF:2,\r\n/liveradio/vessa1/seg43.ts\r\n",
            "target 2 live\n41/0 2 https://127.0.0.1:47443/liveradio/vessa1/seg41.ts\n"
            "42/0 1.96 https://127.0.0.1:47443/liveradio/vessa1/seg42.ts?x=%2F\n"
            "43/0 2 https://127.0.0.1:47443/liveradio/vessa1/seg43.ts\n" },
        { "fMP4: the map applies until the next one; a key before a map encrypts it too (IV zero when left out)",
            "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MAP:URI=\"../init-a.mp4\"\n#EXTINF:4,\na1.m4s\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXT-X-MAP:URI=\"init-b.mp4\"\n#EXTINF:4,\nb1.m4s\n",
            "target 4 live\n0/0 4 https://127.0.0.1:47443/liveradio/vessa1/a1.m4s "
            "init https://127.0.0.1:47443/liveradio/init-a.mp4\n"
            "1/0 4 https://127.0.0.1:47443/liveradio/vessa1/b1.m4s key https://127.0.0.1:47443/liveradio/vessa1/k "
            "init https://127.0.0.1:47443/liveradio/vessa1/init-b.mp4 "
            "key https://127.0.0.1:47443/liveradio/vessa1/k iv 00000000000000000000000000000000\n" },
        { "one file cut by byte ranges: the map's range from the start, an explicit offset, then ranges that run on",
            "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-MAP:URI=\"main.mp4\",BYTERANGE=\"720\"\n"
            "#EXTINF:6,\n#EXT-X-BYTERANGE:1000@720\nmain.mp4\n#EXT-X-BYTERANGE:1100\n#EXTINF:6,\nmain.mp4\n"
            "#EXTINF:6,\n#EXT-X-BYTERANGE:900\nmain.mp4\n#EXT-X-ENDLIST\n",
            "target 6 ended\n"
            "0/0 6 https://127.0.0.1:47443/liveradio/vessa1/main.mp4 1000@720 "
            "init https://127.0.0.1:47443/liveradio/vessa1/main.mp4 720@0\n"
            "1/0 6 https://127.0.0.1:47443/liveradio/vessa1/main.mp4 1100@1720 "
            "init https://127.0.0.1:47443/liveradio/vessa1/main.mp4 720@0\n"
            "2/0 6 https://127.0.0.1:47443/liveradio/vessa1/main.mp4 900@2820 "
            "init https://127.0.0.1:47443/liveradio/vessa1/main.mp4 720@0\n" },
        { "AES-128 with a lower-case IV for the segments up to METHOD=NONE",
            "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:7\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.example/vessa1.key\",IV=0x0123456789abcdef0123456789ABCDEF,"
            "KEYFORMAT=\"identity\"\n#EXTINF:2,\ns7.ts\n#EXTINF:2,\ns8.ts\n#EXT-X-KEY:METHOD=NONE\n#EXTINF:2,\ns9.ts\n",
            "target 2 live\n7/0 2 https://127.0.0.1:47443/liveradio/vessa1/s7.ts key https://keys.example/vessa1.key "
            "iv 0123456789abcdef0123456789abcdef\n8/0 2 https://127.0.0.1:47443/liveradio/vessa1/s8.ts key "
            "https://keys.example/vessa1.key iv 0123456789abcdef0123456789abcdef\n"
            "9/0 2 https://127.0.0.1:47443/liveradio/vessa1/s9.ts\n" },
        { "discontinuities: each tag counts, a leading one and a doubled one too; only the next segment is marked",
            "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-DISCONTINUITY-SEQUENCE:12\n#EXT-X-DISCONTINUITY\n"
            "#EXTINF:2,\nad1.ts\n#EXTINF:2,\nad2.ts\n#EXT-X-DISCONTINUITY\n#EXT-X-DISCONTINUITY\n#EXTINF:2,\nshow.ts\n#"
            "EXTINF:2,\nshow2.ts\n"
            "#EXT-X-DISCONTINUITY\n",
            "target 2 live\n0/13! 2 https://127.0.0.1:47443/liveradio/vessa1/ad1.ts\n"
            "1/13 2 https://127.0.0.1:47443/liveradio/vessa1/ad2.ts\n"
            "2/15! 2 https://127.0.0.1:47443/liveradio/vessa1/show.ts\n"
            "3/15 2 https://127.0.0.1:47443/liveradio/vessa1/show2.ts\n" },
        { "RFC 8216 §8.4: AVERAGE-BANDWIDTH ignored, CODECS only on the audio variant",
            "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1280000,AVERAGE-BANDWIDTH=1000000\nhttp://example.com/low.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=65000,CODECS=\"mp4a.40.5\"\nhttp://example.com/audio-only.m3u8\n",
            "1280000 http://example.com/low.m3u8\n65000 http://example.com/audio-only.m3u8 [mp4a.40.5]\n" },
        { "RFC 8216 §8.6: renditions and I-frame streams ignored, a quoted comma-free CODECS placeholder kept",
            "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"English\",DEFAULT=YES,URI=\"main/"
            "english-audio.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=1280000,CODECS=\"...\",AUDIO=\"aac\"\nlow/video-only.m3u8\n"
            "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=86000,URI=\"low/iframe.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=65000,CODECS=\"mp4a.40.5\",AUDIO=\"aac\"\nmain/english-audio.m3u8\n",
            "1280000 https://127.0.0.1:47443/liveradio/vessa1/low/video-only.m3u8 [...]\n"
            "65000 https://127.0.0.1:47443/liveradio/vessa1/main/english-audio.m3u8 [mp4a.40.5]\n" },
        { "our master: two AAC variants and a video one, spaces after CODECS commas, RESOLUTION and a blank line "
          "between tag and URI",
            "#EXTM3U\n#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-STREAM-INF:BANDWIDTH=48000,CODECS=\"mp4a.40.29\"\nlow/"
            "index.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=140000,CODECS=\"mp4a.40.2\"\n\nhigh/index.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=900000,RESOLUTION=640x360,CODECS=\"avc1.4d401e, "
            "mp4a.40.2\"\nvideo/index.m3u8\n",
            "48000 https://127.0.0.1:47443/liveradio/vessa1/low/index.m3u8 [mp4a.40.29]\n"
            "140000 https://127.0.0.1:47443/liveradio/vessa1/high/index.m3u8 [mp4a.40.2]\n"
            "900000 https://127.0.0.1:47443/liveradio/vessa1/video/index.m3u8 [avc1.4d401e] [mp4a.40.2]\n" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(parse(c.text, base)), c.expected) << c.note;
    }
}

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
        { "#EXT-X-TARGETDURATION:2\n#EXTM3U\n", 1 },
        { "#EXTM3U\n", 0 },
        { "#EXTM3U\n#EXTINF:2,\na.ts\n", 0 }, // no target duration
        { "#EXTM3U\n#EXT-X-TARGETDURATION:0\n", 2 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:-5\n", 2 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-TARGETDURATION:3\n", 3 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION\n", 2 },
        { "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:18446744073709551616\n", 2 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:18446744073709551615\n#EXTINF:2,\na\n#EXTINF:2,"
          "\nb\n",
            7 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-DISCONTINUITY-SEQUENCE:18446744073709551615\n"
          "#EXT-X-DISCONTINUITY\n#EXTINF:2,\na\n",
            6 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\na\n#EXT-X-MEDIA-SEQUENCE:5\n", 5 },
        { "#EXTM3U\n#EXT-X-DISCONTINUITY\n#EXT-X-DISCONTINUITY-SEQUENCE:5\n", 3 },
        { "#EXTM3U\n#EXTINF:-1,\n", 2 },
        { "#EXTM3U\n#EXTINF:nan,\n", 2 },
        { "#EXTM3U\n#EXTINF:inf,\n", 2 },
        { "#EXTM3U\n#EXTINF:1e3,\n", 2 },
        { "#EXTM3U\n#EXTINF:1.2.3,\n", 2 },
        { "#EXTM3U\n#EXTINF:,\n", 2 },
        { "#EXTM3U\n#EXTINF:100000,\n", 2 }, // over a day
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-ENDLIST\n", 3 }, // no URI at the end
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXTINF:2,\na.ts\n", 3 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\na.ts\n", 3 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:CODECS=\"mp4a.40.2\"\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=fast\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n#EXT-X-STREAM-INF:BANDWIDTH=2\nb.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"mp4a.40.2\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,BANDWIDTH=2\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=mp4a.40.2\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=\"1\"\na.m3u8\n", 2 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\na.m3u8\n#EXTINF:2,\nb.ts\n", 4 },
        { "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\na.m3u8\nb.m3u8\n", 4 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-BYTERANGE:100\na.ts\n", 5 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-BYTERANGE:100@0\na.ts\n#EXTINF:2,\n"
          "#EXT-X-BYTERANGE:100\nb.ts\n",
            8 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\na.ts\n#EXTINF:2,\n#EXT-X-BYTERANGE:100\na.ts\n", 7 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-BYTERANGE:0@5\na.ts\n", 5 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n#EXT-X-BYTERANGE:2@18446744073709551615\na.ts\n", 5 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-BYTERANGE:5@0\n#EXT-X-BYTERANGE:5@0\n", 4 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-BYTERANGE:5@0\n", 3 },
        { "#EXTM3U\n#EXT-X-KEY:URI=\"k\"\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"\"\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES-CTR,URI=\"k\"\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"skd://k\",KEYFORMAT=\"com.apple.streamingkeydelivery\"\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x0123456789abcdef0123456789abcdef0\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0xZZ\n", 2 },
        { "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0123456789abcdef0123456789abcdef\n", 2 },
        { "#EXTM3U\n#EXT-X-MAP:BYTERANGE=\"5@0\"\n", 2 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nseg%zz.ts\n", 4 },
        { "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nhttps:/..//host/a.ts\n", 4 }, // no host once resolved
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

TEST(PlaylistReader, KnowsWhichCodecsTheDecoderPlays)
{
    for (const auto* codec : { "mp4a.40.2", "mp4a.40.5", "mp4a.40.29", "MP4A.40.2", "mp4a.40.34", "mp4a.6B", "mp4a.69",
             "ac-3", "ec-3", "Opus", "opus", "fLaC" }) {
        EXPECT_TRUE(canDecode(codec)) << codec;
    }
    for (const auto* codec : { "avc1.4d401e", "hvc1.1.6.L93.B0", "vp09.00.10.08", "mp4a.40.42", "mp4a.40", "mp4a.40.2 ",
             "mp4a.40.22", "", "..." }) {
        EXPECT_FALSE(canDecode(codec)) << codec;
    }
}

TEST(PlaylistReader, ChoosesTheBestDecodableVariantAndStepsDown)
{
    MasterPlaylist master;
    master.variants = {
        { "v/hd", 1200000, { "avc1.64001f", "mp4a.40.2" } }, // sound and pictures: not for us
        { "v/he", 48000, { "mp4a.40.5" } }, { "v/xhe", 256000, { "mp4a.40.42" } }, // no decoder
        { "v/lc", 128000, { "mp4a.40.2" } }, { "v/lc-again", 128000, { "mp4a.40.2" } },
        { "v/plain", 96000, {} }, // no CODECS: assumed playable
    };
    EXPECT_EQ(chooseVariant(master), 3u);
    EXPECT_EQ(chooseVariant(master, 128000), 5u); // strictly below
    EXPECT_EQ(chooseVariant(master, 96000), 1u);
    EXPECT_EQ(chooseVariant(master, 48000), std::nullopt);
    master.variants.resize(3);
    master.variants.erase(master.variants.begin() + 1);
    EXPECT_EQ(chooseVariant(master), std::nullopt);
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

TEST(PlaylistReader, IvIsExplicitOrTheSequenceNumber)
{
    Segment segment;
    segment.sequence = 0x0102030405060708;
    EXPECT_EQ(hex(ivFor(segment)), "00000000000000000102030405060708");
    const auto parsed = parse("#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:9\n"
                              "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x1F\n#EXTINF:2,\na.ts\n",
        base);
    ASSERT_TRUE(std::holds_alternative<MediaPlaylist>(parsed)) << describe(parsed);
    // A short hexadecimal sequence is the same number with its leading zeros left out.
    EXPECT_EQ(hex(ivFor(std::get<MediaPlaylist>(parsed).segments.at(0))), "0000000000000000000000000000001f");
}

// The fuzz corpus through the fuzz target's own checks (tests/fuzz explores further).
TEST(PlaylistCorpus, SeedsHoldTheFuzzChecks)
{
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ORVO_PLAYLIST_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes { std::istreambuf_iterator<char>(in), {} };
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(orvo::test::checkPlaylist(bytes), "") << name;
        EXPECT_EQ(
            std::holds_alternative<ParseError>(parse(bytes, orvo::test::playlistCheckBase)), name.starts_with("bad-"))
            << name;
        ++seeds;
    }
    EXPECT_GE(seeds, 10u);
}

} // namespace
