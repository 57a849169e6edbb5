#include "parser/block_masks.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define ROWMEND_HAVE_AVX2_PATH 1
#endif

namespace rowmend::scan {

namespace {

void classify_portable(const char* p, std::uint8_t quote, std::uint8_t delimiter,
                       BlockMasks& out) noexcept {
    BlockMasks m;
    for (std::size_t i = 0; i < kBlock; ++i) {
        const auto c = static_cast<std::uint8_t>(p[i]);
        const std::uint64_t bit = std::uint64_t{1} << i;
        m.quote |= c == quote ? bit : 0;
        m.delimiter |= c == delimiter ? bit : 0;
        m.lf |= c == '\n' ? bit : 0;
        m.cr |= c == '\r' ? bit : 0;
        m.high |= c >= 0x80 ? bit : 0;
    }
    out = m;
}

#if defined(__SSE2__)
void classify_sse2(const char* p, std::uint8_t quote, std::uint8_t delimiter,
                   BlockMasks& out) noexcept {
    const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
    const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    BlockMasks m;
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        auto mask = [&](__m128i eq) {
            return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq)))
                   << (16 * i);
        };
        m.quote |= mask(_mm_cmpeq_epi8(bytes, q));
        m.delimiter |= mask(_mm_cmpeq_epi8(bytes, d));
        m.lf |= mask(_mm_cmpeq_epi8(bytes, lf));
        m.cr |= mask(_mm_cmpeq_epi8(bytes, cr));
        m.high |= mask(bytes);
    }
    out = m;
}
#endif

#if defined(ROWMEND_HAVE_AVX2_PATH)
__attribute__((target("avx2"))) inline std::uint64_t mask64(__m256i lo, __m256i hi) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(lo))) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32;
}

__attribute__((target("avx2"))) void
classify_avx2(const char* p, std::uint8_t quote, std::uint8_t delimiter, BlockMasks& out) noexcept {
    const __m256i q = _mm256_set1_epi8(static_cast<char>(quote));
    const __m256i d = _mm256_set1_epi8(static_cast<char>(delimiter));
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    out.quote = mask64(_mm256_cmpeq_epi8(lo, q), _mm256_cmpeq_epi8(hi, q));
    out.delimiter = mask64(_mm256_cmpeq_epi8(lo, d), _mm256_cmpeq_epi8(hi, d));
    out.lf = mask64(_mm256_cmpeq_epi8(lo, lf), _mm256_cmpeq_epi8(hi, lf));
    out.cr = mask64(_mm256_cmpeq_epi8(lo, cr), _mm256_cmpeq_epi8(hi, cr));
    out.high = mask64(lo, hi);
}
#endif

ClassifyBlock choose() noexcept {
#if defined(ROWMEND_HAVE_AVX2_PATH)
    if (__builtin_cpu_supports("avx2"))
        return classify_avx2;
#endif
#if defined(__SSE2__)
    return classify_sse2;
#else
    return classify_portable;
#endif
}

} // namespace

ClassifyBlock block_classifier() noexcept {
    static const ClassifyBlock chosen = choose();
    return chosen;
}

ClassifyBlock portable_classifier() noexcept {
    return classify_portable;
}

ClassifyBlock sse2_classifier() noexcept {
#if defined(__SSE2__)
    return classify_sse2;
#else
    return nullptr;
#endif
}

ClassifyBlock avx2_classifier() noexcept {
#if defined(ROWMEND_HAVE_AVX2_PATH)
    if (__builtin_cpu_supports("avx2"))
        return classify_avx2;
#endif
    return nullptr;
}

void classify_partial(ClassifyBlock classify, const char* p, std::size_t size, std::uint8_t quote,
                      std::uint8_t delimiter, BlockMasks& out) noexcept {
    char padded[kBlock] = {};
    if (size != 0)
        std::memcpy(padded, p, size);
    classify(padded, quote, delimiter, out);
    const std::uint64_t valid = size >= kBlock ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
    out.quote &= valid;
    out.delimiter &= valid;
    out.lf &= valid;
    out.cr &= valid;
    out.high &= valid;
}

} // namespace rowmend::scan
