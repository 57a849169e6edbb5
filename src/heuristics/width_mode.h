#pragma once
// The most frequent field count among sampled rows, shared by delimiter
// sniffing and column-count inference.

#include <cstddef>
#include <span>

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

} // namespace rowmend
