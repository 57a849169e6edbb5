#include "parser/transcode.h"

#include <cstring>

#include "parser/byte_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rowmend {

namespace {

constexpr char kReplacement[3] = {'\xEF', '\xBF', '\xBD'};

// Windows-1252's 0x80..0x9F; 0 marks the five it leaves undefined, which
// are read as the Latin-1 code points of the same value.
constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

inline char* put_code_point(char* out, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

inline char* put_cp1252(char* out, std::uint8_t byte) noexcept {
    std::uint32_t cp = byte;
    if (cp >= 0x80 && cp < 0xA0 && kCp1252High[cp - 0x80] != 0)
        cp = kCp1252High[cp - 0x80];
    return put_code_point(out, cp);
}

inline char* put_replacement(char* out) noexcept {
    std::memcpy(out, kReplacement, 3);
    return out + 3;
}

// The length of the run of ASCII bytes at the start of [p, end).
inline std::size_t ascii_run(const char* p, const char* end) noexcept {
    const char* const begin = p;
    for (; static_cast<std::size_t>(end - p) >= scan::Block::kSize; p += scan::Block::kSize) {
        const unsigned high = scan::Block(p).high();
        if (high != 0)
            return static_cast<std::size_t>(p - begin) + __builtin_ctz(high);
    }
    while (p < end && static_cast<std::uint8_t>(*p) < 0x80)
        ++p;
    return static_cast<std::size_t>(p - begin);
}

} // namespace

std::size_t Transcoder::feed(const char* in, std::size_t n, char* out) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(in);
    switch (encoding_) {
    case SourceEncoding::Utf8:
        return feed_utf8(bytes, n, out);
    case SourceEncoding::Utf8OrCp1252:
        return feed_utf8_or_cp1252(bytes, n, out);
    case SourceEncoding::Latin1:
    case SourceEncoding::Cp1252:
        return feed_single_byte(bytes, n, out);
    case SourceEncoding::Utf16Le:
    case SourceEncoding::Utf16Be:
        return feed_utf16(bytes, n, out);
    }
    return 0;
}

std::size_t Transcoder::finish(char* out) {
    char* p = out;
    if (encoding_ == SourceEncoding::Utf8) {
        // A sequence cut off by the end of input is one maximal subpart.
        replaced_ += seq_seen_;
        seq_seen_ = 0;
        return 0;
    }
    if (encoding_ == SourceEncoding::Utf8OrCp1252)
        return static_cast<std::size_t>(flush_pending_as_cp1252(p) - out);
    // What waits at the end is one truncated character: a high surrogate,
    // a lone byte, or both.
    const unsigned waiting = (high_surrogate_ != 0 ? 2U : 0U) + (has_odd_byte_ ? 1U : 0U);
    if (waiting != 0) {
        p = put_replacement(p);
        replaced_ += waiting;
    }
    high_surrogate_ = 0;
    has_odd_byte_ = false;
    return static_cast<std::size_t>(p - out);
}

// Follows the Unicode Standard's table of well-formed byte sequences one
// byte at a time. Bytes that turn out to be a maximal ill-formed subsequence
// go to `ill_formed` before anything else changes; the result says what the
// byte did to the sequence in progress (held in pending_).
template <class IllFormed>
Transcoder::Utf8Byte Transcoder::next_utf8(std::uint8_t b, IllFormed&& ill_formed) {
    if (seq_seen_ != 0) {
        if (b >= next_low_ && b <= next_high_) {
            pending_[seq_seen_++] = b;
            next_low_ = 0x80;
            next_high_ = 0xBF;
            if (seq_seen_ < seq_need_)
                return Utf8Byte::Pending;
            seq_seen_ = 0;
            return Utf8Byte::Complete;
        }
        // The subpart so far is ill-formed; this byte starts afresh.
        ill_formed(pending_, seq_seen_);
        seq_seen_ = 0;
    }
    if (b < 0x80)
        return Utf8Byte::Ascii;
    next_low_ = 0x80;
    next_high_ = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        seq_need_ = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        seq_need_ = 3;
        next_low_ = b == 0xE0 ? 0xA0 : 0x80;
        next_high_ = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        seq_need_ = 4;
        next_low_ = b == 0xF0 ? 0x90 : 0x80;
        next_high_ = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        ill_formed(&b, 1); // never a lead byte
        return Utf8Byte::Handled;
    }
    pending_[0] = b;
    seq_seen_ = 1;
    return Utf8Byte::Pending;
}

std::size_t Transcoder::feed_utf8(const std::uint8_t* in, std::size_t n, char* out) {
    const char* const text = reinterpret_cast<const char*>(in);
    std::size_t i = 0;
    while (i < n) {
        if (seq_seen_ == 0) {
            i += ascii_run(text + i, text + n);
            if (i == n)
                break;
        }
        next_utf8(in[i++], [&](const std::uint8_t*, std::size_t k) { replaced_ += k; });
    }
    if (n != 0)
        std::memcpy(out, in, n);
    return n;
}

char* Transcoder::flush_pending_as_cp1252(char* out) noexcept {
    for (std::uint8_t k = 0; k < seq_seen_; ++k)
        out = put_cp1252(out, pending_[k]);
    fallback_ += seq_seen_;
    seq_seen_ = 0;
    return out;
}

std::size_t Transcoder::feed_utf8_or_cp1252(const std::uint8_t* in, std::size_t n, char* out) {
    const char* const text = reinterpret_cast<const char*>(in);
    char* p = out;
    std::size_t i = 0;
    while (i < n) {
        if (seq_seen_ == 0) {
            const std::size_t run = ascii_run(text + i, text + n);
            std::memcpy(p, text + i, run);
            p += run;
            i += run;
            if (i == n)
                break;
        }
        const std::uint8_t b = in[i++];
        const Utf8Byte step = next_utf8(b, [&](const std::uint8_t* bytes, std::size_t k) {
            for (std::size_t m = 0; m < k; ++m)
                p = put_cp1252(p, bytes[m]);
            fallback_ += k;
        });
        if (step == Utf8Byte::Ascii) {
            *p++ = static_cast<char>(b);
        } else if (step == Utf8Byte::Complete && seq_need_ == 2 && pending_[0] == 0xC2 &&
                   pending_[1] < 0xA0 && kCp1252High[pending_[1] - 0x80] != 0) {
            p = put_cp1252(p, pending_[1]); // a C1 control: cp1252 punctuation
            ++c1_mapped_;
        } else if (step == Utf8Byte::Complete) {
            std::memcpy(p, pending_, seq_need_);
            p += seq_need_;
        }
    }
    return static_cast<std::size_t>(p - out);
}

std::size_t Transcoder::feed_single_byte(const std::uint8_t* in, std::size_t n, char* out) {
    const char* const text = reinterpret_cast<const char*>(in);
    char* p = out;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t run = ascii_run(text + i, text + n);
        std::memcpy(p, text + i, run);
        p += run;
        i += run;
        for (; i < n && in[i] >= 0x80; ++i) {
            p = encoding_ == SourceEncoding::Cp1252 ? put_cp1252(p, in[i])
                                                    : put_code_point(p, in[i]);
        }
    }
    return static_cast<std::size_t>(p - out);
}

std::size_t Transcoder::feed_utf16(const std::uint8_t* in, std::size_t n, char* out) {
    const bool little = encoding_ == SourceEncoding::Utf16Le;
    char* p = out;
    std::size_t i = 0;
    auto unit_at = [&](std::uint8_t first, std::uint8_t second) -> std::uint16_t {
        return little ? static_cast<std::uint16_t>(first | (second << 8))
                      : static_cast<std::uint16_t>((first << 8) | second);
    };
    auto take = [&](std::uint16_t unit) {
        if (high_surrogate_ != 0) {
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                const std::uint32_t cp =
                    0x10000 + ((static_cast<std::uint32_t>(high_surrogate_) - 0xD800) << 10) +
                    (unit - 0xDC00);
                p = put_code_point(p, cp);
                high_surrogate_ = 0;
                return;
            }
            p = put_replacement(p); // a high surrogate without its pair
            replaced_ += 2;
            high_surrogate_ = 0;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            high_surrogate_ = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            p = put_replacement(p);
            replaced_ += 2;
        } else {
            p = put_code_point(p, unit);
        }
    };
    if (has_odd_byte_ && n != 0) {
        take(unit_at(odd_byte_, in[0]));
        has_odd_byte_ = false;
        i = 1;
    }
    for (; i + 1 < n; i += 2) {
#if defined(__SSE2__)
        // Eight ASCII code units at a time: every byte that is not the low
        // one is zero and every low one is below 0x80, so packing the units
        // into bytes gives the UTF-8. Most of most CSV files is ASCII.
        while (high_surrogate_ == 0 && n - i >= 16) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            const __m128i low =
                little ? _mm_and_si128(units, _mm_set1_epi16(0x00FF)) : _mm_srli_epi16(units, 8);
            const __m128i rest =
                little ? _mm_srli_epi16(units, 8) : _mm_and_si128(units, _mm_set1_epi16(0x00FF));
            const __m128i over = _mm_or_si128(rest, _mm_and_si128(low, _mm_set1_epi16(0x0080)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, _mm_setzero_si128())) != 0xFFFF)
                break;
            _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(low, low));
            p += 8;
            i += 16;
        }
        if (i + 1 >= n)
            break;
#endif
        const std::uint16_t unit = unit_at(in[i], in[i + 1]);
        if (unit < 0x80 && high_surrogate_ == 0)
            *p++ = static_cast<char>(unit);
        else
            take(unit);
    }
    if (i < n) {
        has_odd_byte_ = true;
        odd_byte_ = in[i];
    }
    return static_cast<std::size_t>(p - out);
}

} // namespace rowmend
