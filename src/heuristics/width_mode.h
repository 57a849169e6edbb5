#pragma once
// The most frequent field count among sampled rows, shared by delimiter
// sniffing and column-count inference.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace rowmend {

struct WidthMode {
    std::size_t width = 0; // 0 when no width qualified
    std::size_t rows = 0;  // how many sampled rows have it
};

// The most frequent width of at least `min_width` in `widths`, which it sorts
// in place. Of equally frequent widths the largest wins: padding short rows
// loses nothing, merging long ones loses field boundaries. Counting by
// sorting walks the counts in a fixed order, so the answer never depends on
// a hash map's order.
WidthMode width_mode(std::span<std::size_t> widths, std::size_t min_width = 0);

// The field counts of the first non-blank rows of `prefix`, up to as many as
// `out` holds, parsed as the heuristics always parse: with the double quote
// and repair on. Returns how many it wrote, or nothing when those rows run
// past a prefix that is not `final`.
std::optional<std::size_t> sample_row_widths(std::string_view prefix, std::uint8_t delimiter,
                                             bool final, std::span<std::size_t> out);

} // namespace rowmend
