#pragma once
// Finding the next byte of interest in a run of ordinary bytes. The parser's
// state machine only runs on delimiters, quotes and line breaks; these scans
// skip everything in between sixteen bytes at a time (SSE2 is part of every
// x86-64 processor) or eight at a time elsewhere.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmend::scan {

namespace detail {

constexpr std::uint64_t kLows = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Nonzero in the high bit of each byte of `word` equal to `byte`'s broadcast
// (exact for the first match, which is all the callers use).
inline std::uint64_t match_word(std::uint64_t word, std::uint64_t broadcast) noexcept {
    const std::uint64_t x = word ^ broadcast;
    return (x - kLows) & ~x & kHighs;
}

inline const char* first_match(const char* p, std::uint64_t mask) noexcept {
    return p + (__builtin_ctzll(mask) >> 3);
}

} // namespace detail

// As find_any3, and sets `high` when a byte of 0x80 or above lies before the
// match, so that finished fields known to be ASCII skip UTF-8 validation.
inline const char* find_any3_noting_high(const char* p, const char* end, std::uint8_t a, std::uint8_t b,
                                         std::uint8_t c, bool& high) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                                         _mm_cmpeq_epi8(chunk, vc));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        const auto top = static_cast<unsigned>(_mm_movemask_epi8(chunk));
        if (mask != 0) {
            high = high || (top & ((mask & (0U - mask)) - 1)) != 0;
            return p + __builtin_ctz(mask);
        }
        high = high || top != 0;
    }
#endif
    for (; p < end; ++p) {
        const auto x = static_cast<std::uint8_t>(*p);
        if (x == a || x == b || x == c) return p;
        high = high || x >= 0x80;
    }
    return end;
}

// First byte in [p, end) equal to a, b or c; `end` when there is none.
inline const char* find_any3(const char* p, const char* end, std::uint8_t a, std::uint8_t b,
                             std::uint8_t c) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                                         _mm_cmpeq_epi8(chunk, vc));
        const int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#else
    const std::uint64_t ba = detail::kLows * a, bb = detail::kLows * b, bc = detail::kLows * c;
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t mask = detail::match_word(word, ba) | detail::match_word(word, bb) |
                                   detail::match_word(word, bc);
        if (mask != 0) break;
    }
#endif
    for (; p < end; ++p) {
        const auto x = static_cast<std::uint8_t>(*p);
        if (x == a || x == b || x == c) return p;
    }
    return end;
}

// First byte in [p, end) equal to a or b; `end` when there is none.
inline const char* find_any2(const char* p, const char* end, std::uint8_t a, std::uint8_t b) noexcept {
    return find_any3(p, end, a, b, b);
}

// First byte in [p, end) equal to any of a, b, c or d; `end` when there is none.
inline const char* find_any4(const char* p, const char* end, std::uint8_t a, std::uint8_t b,
                             std::uint8_t c, std::uint8_t d) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    const __m128i vd = _mm_set1_epi8(static_cast<char>(d));
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                                         _mm_or_si128(_mm_cmpeq_epi8(chunk, vc), _mm_cmpeq_epi8(chunk, vd)));
        const int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; p < end; ++p) {
        const auto x = static_cast<std::uint8_t>(*p);
        if (x == a || x == b || x == c || x == d) return p;
    }
    return end;
}

} // namespace rowmend::scan
