#pragma once
// The parser's view of its input, 64 bytes at a time: one pass over a block
// marks every quote, delimiter, CR, LF and byte of 0x80 or above in it, and
// the state machine then jumps from mark to mark with bit operations instead
// of comparing bytes again for every field. The block is classified with
// AVX2 where the processor has it (chosen once, at run time), else with
// SSE2, else with a plain loop; every way gives the same masks.

#include <cstddef>
#include <cstdint>

namespace rowmend::scan {

inline constexpr std::size_t kBlock = 64;

// Bit i stands for byte i of the block.
struct BlockMasks {
    std::uint64_t quote = 0;
    std::uint64_t delimiter = 0;
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    std::uint64_t high = 0; // 0x80 and above
};

// Marks the 64 bytes at `p`, all of which must be readable.
using ClassifyBlock = void (*)(const char* p, std::uint8_t quote, std::uint8_t delimiter,
                               BlockMasks& out) noexcept;

// The fastest classifier this processor runs; the same one on every call.
ClassifyBlock block_classifier() noexcept;

// Each classifier by name, so that tests hold them to one another; nullptr
// where this build or processor has none.
ClassifyBlock portable_classifier() noexcept;
ClassifyBlock sse2_classifier() noexcept;
ClassifyBlock avx2_classifier() noexcept;

// The masks of the `size` bytes at `p` (fewer than 64); the bits from `size`
// on are clear.
void classify_partial(ClassifyBlock classify, const char* p, std::size_t size, std::uint8_t quote,
                      std::uint8_t delimiter, BlockMasks& out) noexcept;

// Bits set in a 64-bit mask, without relying on a POPCNT instruction that a
// baseline x86-64 build may not use (the builtin would become a library call).
inline unsigned count64(std::uint64_t x) noexcept {
    x = x - ((x >> 1) & 0x5555555555555555ULL);
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

} // namespace rowmend::scan
