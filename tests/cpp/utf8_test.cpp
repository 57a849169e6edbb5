// UTF-8 helpers: ASCII and validity checks, lossy decoding, the White_Space
// matcher and the blank-row test built on it.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/utf8.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string lossy(std::string_view in) {
    std::string out;
    utf8::append_lossy(out, in);
    return out;
}

TEST(Utf8, IsAsciiLooksAtEveryByte) {
    // A single high byte at every offset of inputs that straddle the
    // eight-byte words the check reads.
    for (std::size_t size = 1; size <= 33; ++size) {
        const std::string clean(size, 'a');
        EXPECT_TRUE(utf8::is_ascii(clean.data(), clean.size()));
        for (std::size_t at = 0; at < size; ++at) {
            std::string text = clean;
            text[at] = '\x80';
            EXPECT_FALSE(utf8::is_ascii(text.data(), text.size()))
                << "size " << size << " at " << at;
        }
    }
    EXPECT_TRUE(utf8::is_ascii("", 0));
    EXPECT_TRUE(utf8::is_ascii("\x7F\x00\x01", 3));
}

TEST(Utf8, IsValidAndAppendLossyFollowTheTableOfWellFormedSequences) {
    struct Case {
        std::string bytes;
        std::string decoded;
    };
    const std::vector<Case> table = {
        {"", ""},
        {"plain", "plain"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xE2\x82", kFffd},
        {"\xF0\x80", kFffd + kFffd},
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},
        {"\xC0\xAF", kFffd + kFffd},
        {"\xE0\x80\xAF", kFffd + kFffd + kFffd},
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
        {"\xF8\x88\x80\x80\x80", kFffd + kFffd + kFffd + kFffd + kFffd},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"\xF3\xBF\xBF", kFffd},
        {"abcdefgh\xFF"
         "ijklmnop",
         "abcdefgh" + kFffd + "ijklmnop"},
        {"abcdefg\xC3", "abcdefg" + kFffd},
        {"\xC3"
         "abcdefgh",
         kFffd + "abcdefgh"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(show(c.bytes));
        EXPECT_EQ(lossy(c.bytes), c.decoded);
        EXPECT_EQ(utf8::is_valid(c.bytes.data(), c.bytes.size()), c.bytes == c.decoded);
    }
    // Appending keeps what the output already holds.
    std::string out = "keep";
    utf8::append_lossy(out, "\xFF");
    EXPECT_EQ(out, "keep" + kFffd);
}

TEST(Utf8, RandomBytesDecodeLikeTheReference) {
    const std::vector<std::uint8_t> interesting = {
        0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
        0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    std::mt19937_64 rng(99);
    for (int i = 0; i < 50000; ++i) {
        const std::size_t length = std::uniform_int_distribution<std::size_t>(0, 24)(rng);
        std::string bytes;
        for (std::size_t k = 0; k < length; ++k) {
            bytes.push_back(
                static_cast<char>(interesting[std::uniform_int_distribution<std::size_t>(
                    0, interesting.size() - 1)(rng)]));
        }
        const std::string decoded = lossy(bytes);
        ASSERT_EQ(decoded, lossy_utf8(bytes)) << show(bytes);
        ASSERT_EQ(utf8::is_valid(bytes.data(), bytes.size()), valid_utf8(bytes)) << show(bytes);
        ASSERT_TRUE(valid_utf8(decoded)) << show(bytes);
    }
}

TEST(Utf8, EveryScalarValueRoundTrips) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const std::string text = encode_utf8(c);
        ASSERT_TRUE(utf8::is_valid(text.data(), text.size()))
            << std::hex << static_cast<unsigned>(c);
        ASSERT_EQ(lossy(text), text) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(WhitespaceMatcher, MatchesExactlyTheWhiteSpaceCodePoints) {
    // Every scalar value on its own, and after a space so that the matcher
    // has to come back to its start state first.
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const std::string text = encode_utf8(c);
        utf8::WhitespaceMatcher alone;
        alone.feed(text.data(), text.size());
        ASSERT_EQ(alone.matched(), is_white_space(c)) << std::hex << static_cast<unsigned>(c);
        utf8::WhitespaceMatcher after;
        after.feed(' ');
        after.feed(text.data(), text.size());
        ASSERT_EQ(after.matched(), is_white_space(c)) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(WhitespaceMatcher, RejectsIncompleteAndIllFormedSequences) {
    struct Case {
        std::string bytes;
        bool matched;
        bool failed;
    };
    const std::vector<Case> table = {
        {"", true, false},
        {" \t\n\v\f\r", true, false},
        {"\xC2", false, false},     // could still become U+00A0
        {"\xE2\x80", false, false}, // could still become U+2000
        {"\xE3\x80", false, false},
        {"\xC2\xA0\xC2", false, false},
        {"\xC2\x20", false, true},
        {"\xE2\x80\x8B", false, true}, // U+200B is not White_Space
        {"\xE2\x81\x9E", false, true}, // U+205E
        {"\xE1\x9A\x81", false, true}, // U+1681
        {"\xE3\x80\x81", false, true}, // U+3001
        {"\xFF", false, true},
        {"\x80", false, true},
        {" x ", false, true},
        {"\xC2\xA0x", false, true},
        // A failed matcher stays failed.
        {"x ", false, true},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(show(c.bytes));
        utf8::WhitespaceMatcher matcher;
        matcher.feed(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(matcher.matched(), c.matched);
        EXPECT_EQ(matcher.failed(), c.failed);
    }
}

} // namespace
} // namespace rowmend::test
