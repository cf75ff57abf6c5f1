// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/player/Playlist.h"

#include "platform/linux/core/GLibPtr.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace orvo::platform::native::hls {
namespace {

using glib::GUnique;

// Raised anywhere inside the reader and turned into a ParseError at its
// boundary, so each check is one line where the rule is.
struct Malformed {
    std::string reason;
    std::optional<std::size_t> line; // absent: the line being read
};

[[noreturn]] void fail(std::string reason, std::optional<std::size_t> line = std::nullopt)
{
    throw Malformed { std::move(reason), line };
}

constexpr std::uint64_t maxUint = std::numeric_limits<std::uint64_t>::max();

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string quote(std::string_view what)
{
    return "\"" + std::string(what) + "\"";
}

// RFC 8216 §4.2 decimal-integer: digits only, up to 2^64 - 1.
std::uint64_t decimalInteger(std::string_view text, std::string_view what)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), isDigit)) {
        fail(std::string(what) + " is not a whole number: " + quote(text));
    }
    std::uint64_t value = 0;
    if (std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc()) {
        fail(std::string(what) + " does not fit in 64 bits: " + quote(text));
    }
    return value;
}

// RFC 8216 §4.2 decimal-floating-point, in seconds: digits and at most one
// point, so no sign, exponent, "inf" or "nan" gets through.
double seconds(std::string_view text, std::string_view what)
{
    const auto digits = std::count_if(text.begin(), text.end(), isDigit);
    const auto points = std::count(text.begin(), text.end(), '.');
    if (digits == 0 || points > 1 || static_cast<std::size_t>(digits + points) != text.size()) {
        fail(std::string(what) + " is not a decimal number: " + quote(text));
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)
        || value > static_cast<double>(maxSeconds)) {
        fail(std::string(what) + " is out of range: " + quote(text));
    }
    return value;
}

// "n[@o]" of EXT-X-BYTERANGE and the BYTERANGE attribute of EXT-X-MAP.
struct RawRange {
    std::uint64_t length = 0;
    std::optional<std::uint64_t> offset;
};

RawRange rawRange(std::string_view text)
{
    RawRange range;
    const auto at = text.find('@');
    range.length = decimalInteger(text.substr(0, at), "byte range length");
    if (at != std::string_view::npos) {
        range.offset = decimalInteger(text.substr(at + 1), "byte range offset");
    }
    return range;
}

ByteRange checkedRange(std::uint64_t offset, std::uint64_t length)
{
    // The fetcher asks for bytes offset..offset+length-1: both must exist.
    if (length == 0) {
        fail("empty byte range");
    }
    if (offset > maxUint - length) {
        fail("byte range ends beyond 2^64");
    }
    return { offset, length };
}

std::array<std::uint8_t, 16> iv(std::string_view text)
{
    // A hexadecimal-sequence naming a 128-bit number; shorter ones are that
    // number with leading zeros left out.
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || text.size() > 2 + 32) {
        fail("IV is not 0x and up to 32 hex digits: " + quote(text));
    }
    std::array<std::uint8_t, 16> bytes {};
    std::size_t nibble = 0; // counted from the least significant end
    for (auto it = text.rbegin(); it != text.rend() - 2; ++it, ++nibble) {
        const char c = *it;
        int value = 0;
        if (isDigit(c)) {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else {
            fail("IV is not 0x and up to 32 hex digits: " + quote(text));
        }
        bytes[15 - nibble / 2] |= static_cast<std::uint8_t>(nibble % 2 ? value << 4 : value);
    }
    return bytes;
}

// An RFC 8216 §4.2 attribute-list: NAME=value pairs separated by commas, a
// value either a quoted-string or running to the next comma.
class AttributeList {
public:
    explicit AttributeList(std::string_view text)
    {
        std::size_t at = 0;
        while (true) {
            while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
                ++at;
            }
            if (at == text.size()) {
                return;
            }
            const auto equals = text.find('=', at);
            const auto name = trim(text.substr(at, equals == std::string_view::npos ? equals : equals - at));
            if (equals == std::string_view::npos || name.empty()
                || name.find_first_of(",\"") != std::string_view::npos) {
                fail("attribute without a name or value: " + quote(text.substr(at)));
            }
            if (find(name)) {
                fail("attribute " + std::string(name) + " given twice");
            }
            Attribute attribute { name, {}, false };
            at = equals + 1;
            if (at < text.size() && text[at] == '"') {
                const auto close = text.find('"', at + 1);
                if (close == std::string_view::npos) {
                    fail("attribute " + std::string(name) + " has no closing quote");
                }
                attribute.value = text.substr(at + 1, close - at - 1);
                attribute.quoted = true;
                at = close + 1;
                while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
                    ++at;
                }
                if (at < text.size() && text[at] != ',') {
                    fail("text after the quoted value of " + std::string(name));
                }
            } else {
                const auto comma = std::min(text.find(',', at), text.size());
                attribute.value = trim(text.substr(at, comma - at));
                at = comma;
            }
            attributes_.push_back(attribute);
            if (at < text.size()) {
                ++at; // the comma
            }
        }
    }

    std::optional<std::string_view> quoted(std::string_view name) const { return value(name, true); }
    std::optional<std::string_view> plain(std::string_view name) const { return value(name, false); }

private:
    struct Attribute {
        std::string_view name;
        std::string_view value;
        bool quoted;
    };

    const Attribute* find(std::string_view name) const
    {
        const auto it
            = std::find_if(attributes_.begin(), attributes_.end(), [&](const Attribute& a) { return a.name == name; });
        return it == attributes_.end() ? nullptr : &*it;
    }

    std::optional<std::string_view> value(std::string_view name, bool quoted) const
    {
        const Attribute* attribute = find(name);
        if (!attribute) {
            return std::nullopt;
        }
        if (attribute->quoted != quoted) {
            fail("attribute " + std::string(name) + (quoted ? " must be quoted" : " must not be quoted"));
        }
        return attribute->value;
    }

    std::vector<Attribute> attributes_;
};

// Reads the lines after #EXTM3U one by one; which kind of playlist it is
// follows from the first tag that only one kind may hold.
class Reader {
public:
    explicit Reader(GUri* base)
        : base_(base)
    {
    }

    void read(std::string_view line, std::size_t number)
    {
        line_ = number;
        if (line.empty()) {
            return;
        }
        if (line.front() != '#') {
            uriLine(line);
            return;
        }
        if (line.substr(0, 4) != "#EXT") {
            return; // a comment
        }
        const auto colon = line.find(':');
        const auto tag = line.substr(1, colon == std::string_view::npos ? colon : colon - 1);
        std::optional<std::string_view> value;
        if (colon != std::string_view::npos) {
            value = line.substr(colon + 1);
        }
        const auto required = [&] {
            if (!value) {
                fail(std::string(tag) + " without a value");
            }
            return *value;
        };

        if (tag == "EXT-X-STREAM-INF") {
            streamInf(AttributeList(required()));
        } else if (tag == "EXTINF") {
            extInf(required());
        } else if (tag == "EXT-X-TARGETDURATION") {
            targetDuration(required());
        } else if (tag == "EXT-X-MEDIA-SEQUENCE") {
            beforeFirstSegment(tag);
            setOnce(mediaSequence_, decimalInteger(required(), tag), tag);
        } else if (tag == "EXT-X-DISCONTINUITY-SEQUENCE") {
            beforeFirstSegment(tag);
            if (discontinuities_ > 0) {
                fail("EXT-X-DISCONTINUITY-SEQUENCE after an EXT-X-DISCONTINUITY");
            }
            setOnce(discontinuitySequence_, decimalInteger(required(), tag), tag);
        } else if (tag == "EXT-X-DISCONTINUITY") {
            media();
            ++discontinuities_;
            pendingDiscontinuity_ = true;
        } else if (tag == "EXT-X-BYTERANGE") {
            media();
            if (pendingRange_) {
                fail("two EXT-X-BYTERANGE tags for one segment");
            }
            pendingRange_ = rawRange(required());
            pendingRangeLine_ = line_;
        } else if (tag == "EXT-X-KEY") {
            media();
            key_ = key(AttributeList(required()));
        } else if (tag == "EXT-X-MAP") {
            map(AttributeList(required()));
        } else if (tag == "EXT-X-ENDLIST") {
            media();
            media_.endList = true;
        }
        // Anything else (EXT-X-VERSION, EXT-X-MEDIA, EXT-X-PROGRAM-DATE-TIME,
        // low-latency parts, vendor tags) changes nothing we play.
    }

    Parsed finish()
    {
        if (pendingVariant_) {
            fail("EXT-X-STREAM-INF without a URI line", pendingLine_);
        }
        if (kind_ == Kind::Master) {
            return std::move(master_);
        }
        if (pendingDuration_) {
            fail("EXTINF without a URI line", pendingLine_);
        }
        if (pendingRange_) {
            fail("EXT-X-BYTERANGE without a segment", pendingRangeLine_);
        }
        if (kind_ == Kind::Unknown) {
            fail("neither EXT-X-STREAM-INF nor EXT-X-TARGETDURATION", 0);
        }
        if (!targetDuration_) {
            fail("media playlist without EXT-X-TARGETDURATION", 0);
        }
        media_.targetDuration = std::chrono::seconds(*targetDuration_);
        media_.mediaSequence = mediaSequence_.value_or(0);
        media_.discontinuitySequence = discontinuitySequence_.value_or(0);
        return std::move(media_);
    }

private:
    enum class Kind { Unknown, Master, Media };

    void become(Kind kind)
    {
        if (kind_ != Kind::Unknown && kind_ != kind) {
            fail("mixes master and media playlist tags");
        }
        kind_ = kind;
    }
    void media() { become(Kind::Media); }

    // Tags whose value numbers the segments must come before any segment, and
    // may repeat only when they agree.
    void beforeFirstSegment(std::string_view tag)
    {
        media();
        if (!media_.segments.empty() || pendingDuration_) {
            fail(std::string(tag) + " after the first segment");
        }
    }
    void setOnce(std::optional<std::uint64_t>& field, std::uint64_t value, std::string_view tag)
    {
        if (field && *field != value) {
            fail(std::string(tag) + " given twice with different values");
        }
        field = value;
    }

    void targetDuration(std::string_view text)
    {
        media();
        const auto value = decimalInteger(text, "EXT-X-TARGETDURATION");
        // Zero would have the playlist reloaded without pause.
        if (value == 0 || value > maxSeconds) {
            fail("EXT-X-TARGETDURATION out of range: " + quote(text));
        }
        setOnce(targetDuration_, value, "EXT-X-TARGETDURATION");
    }

    std::string resolve(std::string_view reference)
    {
        GUnique<GError> error;
        const GUnique<GUri> uri(
            // Encoded: escapes such as %2F in a token stay as the server wrote them.
            g_uri_parse_relative(base_, std::string(reference).c_str(), G_URI_FLAGS_ENCODED, glib::out(error)));
        if (!uri) {
            fail("bad address " + quote(reference) + ": " + (error ? error->message : "unknown"));
        }
        // Every address is fetched from a host. Refusing host-less ones also
        // keeps "https:/..//x" out: a path starting "//" that GLib 2.74 cannot
        // write back (a critical and NULL) and 2.84 writes as "https:/.//x".
        const char* host = g_uri_get_host(uri.get());
        if (!host || !*host) {
            fail("bad address " + quote(reference) + ": no host");
        }
        const GUnique<char> text(g_uri_to_string(uri.get()));
        if (!text) {
            fail("bad address " + quote(reference));
        }
        return text.get();
    }

    std::string uriAttribute(const AttributeList& attributes, std::string_view tag)
    {
        const auto uri = attributes.quoted("URI");
        if (!uri || uri->empty()) {
            fail(std::string(tag) + " without URI");
        }
        return resolve(*uri);
    }

    void streamInf(const AttributeList& attributes)
    {
        become(Kind::Master);
        if (pendingVariant_) {
            fail("EXT-X-STREAM-INF without a URI line", pendingLine_);
        }
        Variant variant;
        const auto bandwidth = attributes.plain("BANDWIDTH");
        if (!bandwidth) {
            fail("EXT-X-STREAM-INF without BANDWIDTH");
        }
        variant.bandwidth = decimalInteger(*bandwidth, "BANDWIDTH");
        if (const auto codecs = attributes.quoted("CODECS")) {
            std::string_view rest = *codecs;
            while (!rest.empty()) {
                const auto comma = std::min(rest.find(','), rest.size());
                if (const auto codec = trim(rest.substr(0, comma)); !codec.empty()) {
                    variant.codecs.emplace_back(codec);
                }
                rest.remove_prefix(std::min(comma + 1, rest.size()));
            }
        }
        pendingVariant_ = std::move(variant);
        pendingLine_ = line_;
    }

    void extInf(std::string_view value)
    {
        media();
        if (pendingDuration_) {
            fail("EXTINF without a URI line", pendingLine_);
        }
        // The title after the comma is for people; the comma itself is often
        // left out when there is none.
        pendingDuration_ = seconds(trim(value.substr(0, value.find(','))), "EXTINF duration");
        pendingLine_ = line_;
    }

    Key key(const AttributeList& attributes)
    {
        const auto method = attributes.plain("METHOD");
        if (!method) {
            fail("EXT-X-KEY without METHOD");
        }
        if (*method == "NONE") {
            return {};
        }
        // SAMPLE-AES leaves the container readable but the samples encrypted,
        // which takes a decryptor inside the demuxer; key formats other than
        // the plain key file are DRM systems. Neither can be played here.
        if (*method != "AES-128") {
            fail("encryption method " + std::string(*method) + " cannot be played");
        }
        if (const auto format = attributes.quoted("KEYFORMAT"); format && *format != "identity") {
            fail("key format " + quote(*format) + " cannot be played");
        }
        Key key;
        key.method = Key::Method::Aes128;
        key.uri = uriAttribute(attributes, "EXT-X-KEY");
        if (const auto text = attributes.plain("IV")) {
            key.iv = iv(*text);
        }
        return key;
    }

    void map(const AttributeList& attributes)
    {
        media();
        InitSection init;
        init.uri = uriAttribute(attributes, "EXT-X-MAP");
        if (const auto text = attributes.quoted("BYTERANGE")) {
            // Nothing precedes an init section to continue from: the start.
            const auto raw = rawRange(*text);
            init.range = checkedRange(raw.offset.value_or(0), raw.length);
        }
        init.key = key_;
        if (init.key.method == Key::Method::Aes128 && !init.key.iv) {
            init.key.iv.emplace();
        }
        init_ = std::move(init);
    }

    void uriLine(std::string_view line)
    {
        if (pendingVariant_) {
            pendingVariant_->uri = resolve(line);
            master_.variants.push_back(std::move(*pendingVariant_));
            pendingVariant_.reset();
            return;
        }
        if (!pendingDuration_) {
            fail("URI line without EXTINF or EXT-X-STREAM-INF before it");
        }
        Segment segment;
        segment.uri = resolve(line);
        segment.duration = *pendingDuration_;
        // The last number is kept free, so that the segment after any
        // segment has a number: a player counting on never wraps to 0.
        segment.sequence = media_.segments.empty() ? mediaSequence_.value_or(0) : media_.segments.back().sequence + 1;
        if (segment.sequence == maxUint) {
            fail("media sequence number reaches 2^64 - 1");
        }
        // Each EXT-X-DISCONTINUITY so far counts once (RFC 8216 §6.2.2).
        const auto base = discontinuitySequence_.value_or(0);
        if (discontinuities_ > maxUint - base) {
            fail("discontinuity sequence number beyond 2^64");
        }
        segment.discontinuitySequence = base + discontinuities_;
        segment.discontinuity = pendingDiscontinuity_;
        if (pendingRange_) {
            segment.range = resolveRange(*pendingRange_, segment.uri);
        }
        segment.key = key_;
        segment.init = init_;
        media_.segments.push_back(std::move(segment));
        pendingDuration_.reset();
        pendingRange_.reset();
        pendingDiscontinuity_ = false;
    }

    ByteRange resolveRange(const RawRange& raw, const std::string& uri)
    {
        if (raw.offset) {
            return checkedRange(*raw.offset, raw.length);
        }
        // Without an offset the range follows the previous segment's, which
        // must be a range of the same resource (RFC 8216 §4.3.2.2).
        if (media_.segments.empty() || !media_.segments.back().range || media_.segments.back().uri != uri) {
            fail("EXT-X-BYTERANGE without offset and no earlier range of the same resource");
        }
        const auto& previous = *media_.segments.back().range;
        return checkedRange(previous.offset + previous.length, raw.length);
    }

    GUri* base_;
    std::size_t line_ = 0;
    Kind kind_ = Kind::Unknown;

    MasterPlaylist master_;
    std::optional<Variant> pendingVariant_;

    MediaPlaylist media_;
    std::optional<std::uint64_t> targetDuration_;
    std::optional<std::uint64_t> mediaSequence_;
    std::optional<std::uint64_t> discontinuitySequence_;
    std::uint64_t discontinuities_ = 0;
    bool pendingDiscontinuity_ = false;
    std::optional<double> pendingDuration_;
    std::optional<RawRange> pendingRange_;
    std::size_t pendingLine_ = 0;
    std::size_t pendingRangeLine_ = 0;
    Key key_;
    std::optional<InitSection> init_;
};

} // namespace

Parsed parse(std::string_view text, std::string_view baseUri)
{
    if (text.size() > maxPlaylistBytes) {
        return ParseError { "playlist larger than 1 MiB", 0 };
    }
    GUnique<GError> error;
    const GUnique<GUri> base(g_uri_parse(std::string(baseUri).c_str(), G_URI_FLAGS_ENCODED, glib::out(error)));
    if (!base) {
        return ParseError { "the playlist's own address is not absolute: " + quote(baseUri), 0 };
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }

    Reader reader(base.get());
    std::size_t number = 0;
    try {
        std::size_t at = 0;
        do {
            const auto end = std::min(text.find('\n', at), text.size());
            const auto raw = text.substr(at, end - at);
            at = end + 1;
            ++number;
            if (raw.size() > maxLineBytes) {
                fail("line longer than 64 KiB");
            }
            // A C string cannot hold a NUL, so a URI would silently end there.
            if (raw.find('\0') != std::string_view::npos) {
                fail("NUL byte");
            }
            const auto line = trim(raw);
            if (number == 1) {
                if (line != "#EXTM3U") {
                    fail("does not start with #EXTM3U");
                }
                continue;
            }
            reader.read(line, number);
        } while (at < text.size());
        return reader.finish();
    } catch (const Malformed& malformed) {
        return ParseError { malformed.reason, malformed.line.value_or(number) };
    }
}

} // namespace orvo::platform::native::hls
