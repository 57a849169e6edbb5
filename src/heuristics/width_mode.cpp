#include "heuristics/width_mode.h"

#include <algorithm>

namespace rowmend {

WidthMode width_mode(std::span<std::size_t> widths, std::size_t min_width) {
    std::sort(widths.begin(), widths.end());
    WidthMode mode;
    const std::size_t n = widths.size();
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j < n && widths[j] == widths[i])
            ++j;
        // Ascending order with ">=" lets the larger of two equally frequent widths win.
        if (widths[i] >= min_width && j - i >= mode.rows) {
            mode.width = widths[i];
            mode.rows = j - i;
        }
        i = j;
    }
    return mode;
}

} // namespace rowmend
