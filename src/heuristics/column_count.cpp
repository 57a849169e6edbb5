#include "heuristics/column_count.h"

#include <algorithm>

#include "parser/resilient_parser.h"

namespace rowmend {

std::uint64_t infer_column_count(std::string_view buffer, std::uint8_t delimiter) {
    // The heuristics always parse with the double quote and repair on.
    ResilientParser parser(buffer, delimiter, '"', true);
    std::size_t widths[kInferRowLimit];
    std::size_t counted = 0;
    RowShape shape;
    while (counted < kInferRowLimit && parser.next_row_shape(shape)) {
        if (!shape.blank)
            widths[counted++] = shape.field_count;
    }
    if (counted == 0)
        return 0;
    std::sort(widths, widths + counted);
    std::size_t best_width = 0;
    std::size_t best_rows = 0;
    for (std::size_t i = 0; i < counted;) {
        std::size_t j = i;
        while (j < counted && widths[j] == widths[i])
            ++j;
        if (j - i >= best_rows) { // ascending, so the larger of equal counts wins
            best_width = widths[i];
            best_rows = j - i;
        }
        i = j;
    }
    return best_width;
}

} // namespace rowmend
