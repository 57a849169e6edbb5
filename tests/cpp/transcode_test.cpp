// Decoding to UTF-8: encoded input on one side, UTF-8 and the count of bytes
// replaced on the other; every case also fed one byte at a time and in
// uneven chunks, which must not change a byte of the output.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "parser/transcode.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

struct Decoded {
    std::string text;
    std::uint64_t replaced;
};

// Everything the transcoder gives for `in` fed in pieces of `chunk` bytes.
std::string feed_in_chunks(Transcoder& transcoder, const std::string& in, std::size_t chunk) {
    std::string out;
    for (std::size_t at = 0; at < in.size(); at += chunk) {
        const std::size_t n = std::min(chunk, in.size() - at);
        std::string room(Transcoder::max_output(n), '\0');
        room.resize(transcoder.feed(in.data() + at, n, room.data()));
        out += room;
    }
    std::string room(Transcoder::max_output(0), '\0');
    room.resize(transcoder.finish(room.data()));
    return out + room;
}

Decoded decode(SourceEncoding encoding, const std::string& in, std::size_t chunk) {
    Transcoder transcoder(encoding);
    const std::string out = feed_in_chunks(transcoder, in, chunk);
    // UTF-8 passes through unchanged; only its count matters.
    return {encoding == SourceEncoding::Utf8 ? in : out, transcoder.replaced_bytes()};
}

TEST(Transcoder, DecodesAndCountsReplacements) {
    using E = SourceEncoding;
    struct Case {
        E encoding;
        std::string in;
        std::string out;
        std::uint64_t replaced;
    };
    const std::vector<Case> table = {
        {E::Latin1, "caf\xE9,na\xEFve\n", "caf\xC3\xA9,na\xC3\xAFve\n", 0},
        {E::Latin1, "\x80\x9F\xFF", "\xC2\x80\xC2\x9F\xC3\xBF", 0},
        {E::Cp1252, "\x80 \x93q\x94 \x85", "\xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D \xE2\x80\xA6",
         0},
        // The five bytes Windows-1252 leaves undefined read as Latin-1.
        {E::Cp1252, "\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D", 0},
        {E::Cp1252, "\xE9t\xE9", "\xC3\xA9t\xC3\xA9", 0},
        {E::Utf16Le, std::string("a\0,\0\xE9\0\n\0", 8), "a,\xC3\xA9\n", 0},
        {E::Utf16Be, std::string("\0a\0,\x20\xAC", 6), "a,\xE2\x82\xAC", 0},
        {E::Utf16Le, std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80", 0}, // U+1F600
        {E::Utf16Le,
         std::string("\x00\xDC"
                     "A\0",
                     4),
         "\xEF\xBF\xBD"
         "A",
         2}, // lone low
        {E::Utf16Le,
         std::string("\x00\xD8"
                     "A\0",
                     4),
         "\xEF\xBF\xBD"
         "A",
         2}, // high, no pair
        {E::Utf16Le,
         std::string("\x00\xD8"
                     "A",
                     3),
         "\xEF\xBF\xBD", 3}, // cut off
        {E::Utf16Le, std::string("A\0B", 3), "A\xEF\xBF\xBD", 1},
        {E::Utf8, "plain ascii\n", "plain ascii\n", 0},
        {E::Utf8, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "", 0},
        {E::Utf8,
         "a\xFF"
         "b\xC0\xAF"
         "c",
         "", 3},
        {E::Utf8,
         "\xE2\x82"
         ",x",
         "", 2},                              // a subpart cut by a delimiter
        {E::Utf8, "\xED\xA0\x80", "", 3},     // a surrogate: three subparts of one
        {E::Utf8, "\xF0\x9F\x98", "", 3},     // cut off by the end of input
        {E::Utf8, "\xF4\x90\x80\x80", "", 4}, // above U+10FFFF
    };
    for (const Case& c : table) {
        for (const std::size_t chunk :
             {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, c.in.size() + 1}) {
            SCOPED_TRACE(show(c.in) + " in chunks of " + std::to_string(chunk));
            const Decoded got = decode(c.encoding, c.in, chunk);
            if (c.encoding != SourceEncoding::Utf8) {
                EXPECT_EQ(show(got.text), show(c.out));
            }
            EXPECT_EQ(got.replaced, c.replaced);
        }
    }
}

TEST(Transcoder, UTF16RunsOfASCIIAroundOtherCharacters) {
    // Long enough for the eight-unit fast path, with the character that
    // stops it at every offset.
    const std::vector<std::pair<std::u16string, std::string>> others = {
        {u"\u00E9", "\xC3\xA9"}, {u"\u20AC", "\xE2\x82\xAC"}, {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {u"\u0100", "\xC4\x80"}, {u"\u0080", "\xC2\x80"},
    };
    for (const auto& [other, other_utf8] : others) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::u16string units;
            std::string want;
            for (std::size_t k = 0; k < 40; ++k) {
                if (k == at) {
                    units += other;
                    want += other_utf8;
                }
                units += static_cast<char16_t>('a' + k % 26);
                want += static_cast<char>('a' + k % 26);
            }
            for (const bool little : {true, false}) {
                std::string in;
                for (const char16_t u : units) {
                    const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
                    in += little ? std::string{lo, hi} : std::string{hi, lo};
                }
                SCOPED_TRACE(show(in));
                const Decoded got =
                    decode(little ? SourceEncoding::Utf16Le : SourceEncoding::Utf16Be, in, 17);
                EXPECT_EQ(show(got.text), show(want));
                EXPECT_EQ(got.replaced, 0u);
            }
        }
    }
}

TEST(Transcoder, UTF8WithCp1252FallbackKeepsWhatIsNotUTF8) {
    struct Case {
        std::string in;
        std::string out;
        std::uint64_t fallback;
    };
    const std::vector<Case> table = {
        {"caf\xC3\xA9", "caf\xC3\xA9", 0},
        {"Bj\xF6rn;G\xF6teborg", "Bj\xC3\xB6rn;G\xC3\xB6teborg", 2},
        {"\x93q\x94", "\xE2\x80\x9Cq\xE2\x80\x9D", 2},
        {"\xE2\x82", "\xC3\xA2\xE2\x80\x9A", 2}, // cut off: both bytes as cp1252
        {"\xE2\x82x\xE2\x82\xAC", "\xC3\xA2\xE2\x80\x9Ax\xE2\x82\xAC", 2},
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC", 3},
        {"\x81", "\xC2\x81", 1},
    };
    for (const Case& c : table) {
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, c.in.size() + 1}) {
            SCOPED_TRACE(show(c.in) + " in chunks of " + std::to_string(chunk));
            Transcoder transcoder(SourceEncoding::Utf8OrCp1252);
            const std::string out = feed_in_chunks(transcoder, c.in, chunk);
            EXPECT_EQ(show(out), show(c.out));
            EXPECT_EQ(transcoder.fallback_bytes(), c.fallback);
            EXPECT_EQ(transcoder.replaced_bytes(), 0u);
        }
    }
}

TEST(Transcoder, C1ControlsAreReadAsTheirCp1252Characters) {
    struct Case {
        std::string in;
        std::string out;
        std::uint64_t mapped;
    };
    const std::vector<Case> table = {
        {"a \xC2\x96 b", "a \xE2\x80\x93 b", 1},                     // en dash
        {"\xC2\x93q\xC2\x94", "\xE2\x80\x9Cq\xE2\x80\x9D", 2},       // smart quotes
        {"\xC2\x95\xC2\x86", "\xE2\x80\xA2\xE2\x80\xA0", 2},         // bullet, dagger
        {"\xC2\x81\xC2\x8D\xC2\x9D", "\xC2\x81\xC2\x8D\xC2\x9D", 0}, // undefined in cp1252
        {"\xC2\xA0\xC2\xA9\xC3\x85", "\xC2\xA0\xC2\xA9\xC3\x85", 0}, // no controls
        {"\xC2", "\xC3\x82", 0},                                     // cut off
    };
    for (const Case& c : table) {
        for (const std::size_t chunk : {std::size_t{1}, c.in.size() + 1}) {
            SCOPED_TRACE(show(c.in) + " in chunks of " + std::to_string(chunk));
            Transcoder transcoder(SourceEncoding::Utf8OrCp1252);
            const std::string out = feed_in_chunks(transcoder, c.in, chunk);
            EXPECT_EQ(show(out), show(c.out));
            EXPECT_EQ(transcoder.c1_mapped(), c.mapped);
        }
    }
    // Plain UTF-8 keeps them: only the package's detected UTF-8 maps them.
    Transcoder plain(SourceEncoding::Utf8);
    std::string room(Transcoder::max_output(2), '\0');
    room.resize(plain.feed("\xC2\x96", 2, room.data()));
    EXPECT_EQ(show(room), show("\xC2\x96"));
}

TEST(Transcoder, UTF8CountIsWhatLossyDecodingReplaces) {
    // Valid bytes go through lossy decoding one for one and each U+FFFD is
    // three bytes, so the bytes replaced are the input less what was kept.
    const std::vector<std::string> inputs = {
        "\x80\x80\x80", "\xC2", "\xE0\x80\x80", "\xF0\x80", "a\xE2\x82\xAC\xE2\x82", "\xC3\xA9\xFE",
    };
    for (const std::string& in : inputs) {
        SCOPED_TRACE(show(in));
        const std::string lossy = lossy_utf8(in);
        std::size_t replacements = 0;
        for (std::size_t at = 0; (at = lossy.find("\xEF\xBF\xBD", at)) != std::string::npos;
             at += 3)
            ++replacements;
        const Decoded got = decode(SourceEncoding::Utf8, in, 1);
        EXPECT_EQ(got.replaced, in.size() - (lossy.size() - 3 * replacements));
    }
}

} // namespace
} // namespace rowmend::test
