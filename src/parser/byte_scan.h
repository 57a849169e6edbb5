#pragma once
// Finding bytes of interest in runs of ordinary bytes. The parser's state
// machine only runs on delimiters, quotes and line breaks; every scanner
// skips what lies between them a block at a time through one primitive,
// Block: sixteen bytes, asked which of them equal a given byte (a bit mask,
// bit i for byte i) and which are 0x80 or above. SSE2 is part of every x86-64
// processor and NEON of every AArch64 one; elsewhere (or with
// ROWMEND_SCAN_PORTABLE defined, to measure or debug it) Block works on two
// 64-bit words. Every kind is built on every platform where it can be, so
// the tests hold each to the same answers.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace rowmend::scan {

// Sixteen bytes as two 64-bit words: plain integer arithmetic, for processors
// without a vector unit the compiler may assume.
class WordBlock {
  public:
    static constexpr std::size_t kSize = 16;

    explicit WordBlock(const char* p) noexcept {
        std::memcpy(&low_, p, 8);
        std::memcpy(&high_, p + 8, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        // Byte i must sit in bits 8i..8i+7 for the masks to number bytes in order.
        low_ = __builtin_bswap64(low_);
        high_ = __builtin_bswap64(high_);
#endif
    }

    // Bit i set when byte i equals `b`.
    unsigned eq(std::uint8_t b) const noexcept { return any(b); }

    // Bit i set when byte i equals any of `bytes`: the word tests are joined
    // before the one gather, so each further byte costs a few operations.
    template <class... Bytes> unsigned any(Bytes... bytes) const noexcept {
        const std::uint64_t low = (zeros(low_ ^ (kOnes * static_cast<std::uint8_t>(bytes))) | ...);
        const std::uint64_t high =
            (zeros(high_ ^ (kOnes * static_cast<std::uint8_t>(bytes))) | ...);
        return gather(low) | gather(high) << 8;
    }

    // Bit i set when byte i is 0x80 or above.
    unsigned high() const noexcept { return gather(low_ & kTops) | gather(high_ & kTops) << 8; }

  private:
    static constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    static constexpr std::uint64_t kTops = 0x8080808080808080ULL;
    static constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

    // 0x80 in each byte of `x` that is zero, 0 in the others. Exact: the sum
    // of the low seven bits never carries into the next byte, unlike the
    // shorter (x - ones) & ~x idiom, which also marks a 0x01 above a zero.
    static std::uint64_t zeros(std::uint64_t x) noexcept {
        return ~(((x & kLow7) + kLow7) | x) & kTops;
    }

    // The top bits of the eight bytes of `tops` (each 0x80 or 0) as bits 0-7.
    // The multiplier moves byte i's bit to bit 56 + i; the products land on
    // distinct bits, so nothing carries.
    static unsigned gather(std::uint64_t tops) noexcept {
        return static_cast<unsigned>(((tops >> 7) * 0x0102040810204080ULL) >> 56);
    }

    std::uint64_t low_;
    std::uint64_t high_;
};

#if defined(__SSE2__)
class Sse2Block {
  public:
    static constexpr std::size_t kSize = 16;

    explicit Sse2Block(const char* p) noexcept
        : bytes_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) {}

    unsigned eq(std::uint8_t b) const noexcept { return any(b); }

    template <class... Bytes> unsigned any(Bytes... bytes) const noexcept {
        return static_cast<unsigned>(_mm_movemask_epi8(
            (_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(static_cast<char>(bytes))) | ...)));
    }

    unsigned high() const noexcept { return static_cast<unsigned>(_mm_movemask_epi8(bytes_)); }

  private:
    __m128i bytes_;
};
#endif

#if defined(__ARM_NEON) && defined(__aarch64__)
class NeonBlock {
  public:
    static constexpr std::size_t kSize = 16;

    explicit NeonBlock(const char* p) noexcept
        : bytes_(vld1q_u8(reinterpret_cast<const std::uint8_t*>(p))) {}

    unsigned eq(std::uint8_t b) const noexcept { return any(b); }

    template <class... Bytes> unsigned any(Bytes... bytes) const noexcept {
        return mask((vceqq_u8(bytes_, vdupq_n_u8(static_cast<std::uint8_t>(bytes))) | ...));
    }

    unsigned high() const noexcept { return mask(vcltzq_s8(vreinterpretq_s8_u8(bytes_))); }

  private:
    // NEON has no movemask: keep bit i%8 of lane i (the lanes are all ones or
    // all zeros), then three pairwise additions sum lanes 0-7 into byte 0 and
    // lanes 8-15 into byte 1.
    static unsigned mask(uint8x16_t lanes) noexcept {
        static constexpr std::uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                   1, 2, 4, 8, 16, 32, 64, 128};
        uint8x16_t sum = vandq_u8(lanes, vld1q_u8(kBits));
        sum = vpaddq_u8(sum, sum);
        sum = vpaddq_u8(sum, sum);
        sum = vpaddq_u8(sum, sum);
        return vgetq_lane_u16(vreinterpretq_u16_u8(sum), 0);
    }

    uint8x16_t bytes_;
};
#endif

#if defined(ROWMEND_SCAN_PORTABLE)
using Block = WordBlock;
#elif defined(__SSE2__)
using Block = Sse2Block;
#elif defined(__ARM_NEON) && defined(__aarch64__)
using Block = NeonBlock;
#else
using Block = WordBlock;
#endif

// The bits below the lowest set bit of a non-zero mask.
inline unsigned below_first(unsigned mask) noexcept {
    return (mask & (0U - mask)) - 1;
}

// Bits set in a 16-bit mask, without relying on a POPCNT instruction that a
// baseline x86-64 build may not use (the builtin would become a library call).
inline unsigned count16(unsigned x) noexcept {
    x = x - ((x >> 1) & 0x5555U);
    x = (x & 0x3333U) + ((x >> 2) & 0x3333U);
    x = (x + (x >> 4)) & 0x0F0FU;
    return (x + (x >> 8)) & 0x1FU;
}

// First byte in [p, end) equal to any of `targets`; `end` when there is
// none. Sets `high` when a byte of 0x80 or above lies before it, so that
// finished fields known to be ASCII skip UTF-8 validation.
template <class... Bytes>
inline const char* find_first_noting_high(const char* p, const char* end, bool& high,
                                          Bytes... targets) noexcept {
    for (; static_cast<std::size_t>(end - p) >= Block::kSize; p += Block::kSize) {
        const Block block(p);
        const unsigned hit = block.any(targets...);
        const unsigned top = block.high();
        if (hit != 0) {
            high = high || (top & below_first(hit)) != 0;
            return p + __builtin_ctz(hit);
        }
        high = high || top != 0;
    }
    for (; p < end; ++p) {
        const auto x = static_cast<std::uint8_t>(*p);
        if (((x == targets) || ...))
            return p;
        high = high || x >= 0x80;
    }
    return end;
}

// The same, also setting `marked` when a byte equal to `mark_a` or `mark_b`
// lies before it: the parser notes in passing the bytes that decide how a
// field is written out, so that deciding costs no second scan.
template <class... Bytes>
inline const char* find_first_noting(const char* p, const char* end, bool& high, bool& marked,
                                     std::uint8_t mark_a, std::uint8_t mark_b,
                                     Bytes... targets) noexcept {
    for (; static_cast<std::size_t>(end - p) >= Block::kSize; p += Block::kSize) {
        const Block block(p);
        const unsigned hit = (block.eq(targets) | ...);
        const unsigned top = block.high();
        const unsigned mark = block.eq(mark_a) | block.eq(mark_b);
        if (hit != 0) {
            const unsigned before = below_first(hit);
            high = high || (top & before) != 0;
            marked = marked || (mark & before) != 0;
            return p + __builtin_ctz(hit);
        }
        high = high || top != 0;
        marked = marked || mark != 0;
    }
    for (; p < end; ++p) {
        const auto x = static_cast<std::uint8_t>(*p);
        if (((x == targets) || ...))
            return p;
        high = high || x >= 0x80;
        marked = marked || x == mark_a || x == mark_b;
    }
    return end;
}

// The same, for callers that do not care about high bytes.
template <class... Bytes>
inline const char* find_first(const char* p, const char* end, Bytes... targets) noexcept {
    bool ignored = false;
    return find_first_noting_high(p, end, ignored, targets...);
}

} // namespace rowmend::scan
