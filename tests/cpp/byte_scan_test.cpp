// The scan primitive: every kind of Block the build has (the portable words
// everywhere, SSE2 on x86-64, NEON on AArch64) gives the masks a byte-by-byte
// loop gives, and the scanners built on it stop where a plain loop stops.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "parser/byte_scan.h"

namespace rowmend::test {
namespace {

struct Expected {
    unsigned eq = 0;
    unsigned any = 0;
    unsigned high = 0;
};

Expected by_bytes(const char* p, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    Expected e;
    for (unsigned i = 0; i < 16; ++i) {
        const auto x = static_cast<std::uint8_t>(p[i]);
        e.eq |= static_cast<unsigned>(x == a) << i;
        e.any |= static_cast<unsigned>(x == a || x == b || x == c) << i;
        e.high |= static_cast<unsigned>(x >= 0x80) << i;
    }
    return e;
}

// Blocks full of the bytes that trip word tricks up: zeros, 0x01 (the
// borrow of a naive zero test), 0x7F/0x80/0xFF (the sign bit), the target
// itself and its neighbours, in every position, then random blocks.
std::vector<std::string> blocks(std::uint8_t target) {
    std::vector<std::string> out;
    const std::uint8_t fills[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 'a'};
    const std::uint8_t probes[] = {0x00,
                                   0x01,
                                   0x7F,
                                   0x80,
                                   0xFF,
                                   target,
                                   static_cast<std::uint8_t>(target + 1),
                                   static_cast<std::uint8_t>(target - 1),
                                   static_cast<std::uint8_t>(target ^ 0x80)};
    for (const std::uint8_t fill : fills)
        for (const std::uint8_t probe : probes)
            for (std::size_t at = 0; at < 16; ++at) {
                std::string block(16, static_cast<char>(fill));
                block[at] = static_cast<char>(probe);
                out.push_back(block);
            }
    std::mt19937 rng(target);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> near(0, 3);
    for (int n = 0; n < 2000; ++n) {
        std::string block(16, '\0');
        for (char& c : block)
            c = static_cast<char>(near(rng) == 0 ? target : byte(rng));
        out.push_back(block);
    }
    return out;
}

template <class B> class ScanBlock : public ::testing::Test {};

#if defined(__SSE2__)
using Kinds = ::testing::Types<scan::WordBlock, scan::Sse2Block>;
#elif defined(__ARM_NEON) && defined(__aarch64__)
using Kinds = ::testing::Types<scan::WordBlock, scan::NeonBlock>;
#else
using Kinds = ::testing::Types<scan::WordBlock>;
#endif
TYPED_TEST_SUITE(ScanBlock, Kinds);

TYPED_TEST(ScanBlock, MasksMatchAByteByByteLoop) {
    for (const int target :
         {0x00, 0x01, int{','}, int{'"'}, int{'\n'}, int{'\r'}, 0x7F, 0x80, 0xC3, 0xFE, 0xFF}) {
        const auto a = static_cast<std::uint8_t>(target);
        const std::uint8_t b = '\n';
        const std::uint8_t c = 0xFF;
        for (const std::string& bytes : blocks(a)) {
            const TypeParam block(bytes.data());
            const Expected want = by_bytes(bytes.data(), a, b, c);
            ASSERT_EQ(block.eq(a), want.eq) << "target " << target;
            ASSERT_EQ(block.any(a, b, c), want.any) << "target " << target;
            ASSERT_EQ(block.high(), want.high);
        }
    }
}

TEST(Scan, FindFirstStopsWhereALoopStops) {
    // Lengths and offsets around the block size, so the block loop, the
    // byte tail and the hand-over between them are all reached.
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, 7);
    const char alphabet[] = {'a', 'b', ',', '"', '\n', '\x80', '\xE9', 'z'};
    for (int n = 0; n < 3000; ++n) {
        std::string text(static_cast<std::size_t>(n % 53), 'x');
        for (char& c : text)
            c = pick(rng) < 4 ? 'x' : alphabet[pick(rng)];
        const char* const begin = text.data();
        const char* const end = begin + text.size();
        const char* want = begin;
        bool want_high = false;
        while (want < end && *want != ',' && *want != '\n') {
            want_high = want_high || static_cast<std::uint8_t>(*want) >= 0x80;
            ++want;
        }
        bool high = false;
        const char* got =
            scan::find_first_noting_high(begin, end, high, std::uint8_t{','}, std::uint8_t{'\n'});
        ASSERT_EQ(got - begin, want - begin) << text;
        ASSERT_EQ(high, want_high) << text;
    }
}

} // namespace
} // namespace rowmend::test
