#pragma once
// Finding bytes of interest in runs of ordinary bytes. The parser's state
// machine only runs on delimiters, quotes and line breaks; every scanner
// skips what lies between them a block at a time through one primitive,
// Block: sixteen bytes, asked which of them equal a given byte (a bit mask)
// and which are 0x80 or above. SSE2 is part of every x86-64 processor;
// elsewhere Block builds the same masks with a plain loop.

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmend::scan {

class Block {
  public:
    static constexpr std::size_t kSize = 16;

    explicit Block(const char* p) noexcept {
#if defined(__SSE2__)
        bytes_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
#else
        for (std::size_t i = 0; i < kSize; ++i)
            bytes_[i] = static_cast<std::uint8_t>(p[i]);
#endif
    }

    // Bit i set when byte i equals `b`.
    unsigned eq(std::uint8_t b) const noexcept {
#if defined(__SSE2__)
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(static_cast<char>(b)))));
#else
        unsigned mask = 0;
        for (std::size_t i = 0; i < kSize; ++i)
            mask |= static_cast<unsigned>(bytes_[i] == b) << i;
        return mask;
#endif
    }

    // Bit i set when byte i is 0x80 or above.
    unsigned high() const noexcept {
#if defined(__SSE2__)
        return static_cast<unsigned>(_mm_movemask_epi8(bytes_));
#else
        unsigned mask = 0;
        for (std::size_t i = 0; i < kSize; ++i)
            mask |= static_cast<unsigned>(bytes_[i] >= 0x80) << i;
        return mask;
#endif
    }

  private:
#if defined(__SSE2__)
    __m128i bytes_;
#else
    std::uint8_t bytes_[kSize];
#endif
};

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
        const unsigned hit = (block.eq(targets) | ...);
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
