#pragma once
// Finding the next byte of interest in a run of ordinary bytes. The parser's
// state machine only runs on delimiters, quotes and line breaks; these scans
// skip everything in between sixteen bytes at a time (SSE2 is part of every
// x86-64 processor); elsewhere they fall back to a plain byte loop.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmend::scan {

// First byte in [p, end) equal to a, b or c; `end` when there is none. Sets
// `high` when a byte of 0x80 or above lies before it, so that finished fields
// known to be ASCII skip UTF-8 validation.
inline const char* find_any3(const char* p, const char* end, std::uint8_t a, std::uint8_t b,
                             std::uint8_t c, bool& high) noexcept {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
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
        if (x == a || x == b || x == c)
            return p;
        high = high || x >= 0x80;
    }
    return end;
}

// First byte in [p, end) equal to a or b; `end` when there is none.
inline const char* find_any2(const char* p, const char* end, std::uint8_t a,
                             std::uint8_t b) noexcept {
    bool ignored = false;
    return find_any3(p, end, a, b, b, ignored);
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
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                         _mm_or_si128(_mm_cmpeq_epi8(chunk, vc), _mm_cmpeq_epi8(chunk, vd)));
        const int mask = _mm_movemask_epi8(hit);
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; p < end; ++p) {
        const auto x = static_cast<std::uint8_t>(*p);
        if (x == a || x == b || x == c || x == d)
            return p;
    }
    return end;
}

} // namespace rowmend::scan
