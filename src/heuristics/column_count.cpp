#include "heuristics/column_count.h"

#include "heuristics/width_mode.h"
#include "parser/resilient_parser.h"

namespace rowmend {

std::optional<std::uint64_t> infer_column_count_prefix(std::string_view prefix,
                                                       std::uint8_t delimiter, bool final) {
    // The heuristics always parse with the double quote and repair on.
    ResilientParser parser(prefix, delimiter, '"', true, final);
    std::size_t widths[kInferRowLimit];
    std::size_t counted = 0;
    RowShape shape;
    ParseStep step = ParseStep::Row;
    while (counted < kInferRowLimit && (step = parser.step_shape(shape)) == ParseStep::Row) {
        if (!shape.blank)
            widths[counted++] = shape.field_count;
    }
    if (step == ParseStep::NeedMore)
        return std::nullopt;
    return width_mode(std::span<std::size_t>(widths, counted)).width;
}

std::uint64_t infer_column_count(std::string_view buffer, std::uint8_t delimiter) {
    return *infer_column_count_prefix(buffer, delimiter, true);
}

} // namespace rowmend
