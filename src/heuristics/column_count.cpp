#include "heuristics/column_count.h"

#include <algorithm>

namespace rowmend {

std::optional<std::uint64_t> infer_column_count_prefix(std::string_view prefix,
                                                       std::uint8_t delimiter, bool final) {
    std::size_t widths[kInferRowLimit];
    const std::optional<std::size_t> counted =
        sample_row_widths(prefix, delimiter, final, std::span<std::size_t>(widths));
    if (!counted)
        return std::nullopt;
    return width_mode(std::span<std::size_t>(widths, *counted)).width;
}

std::optional<std::uint64_t> ColumnCounter::infer(std::string_view prefix, bool final) {
    const std::optional<std::span<const std::size_t>> counted = rows_.sample(prefix, final);
    if (!counted)
        return std::nullopt;
    std::size_t widths[kInferRowLimit];
    std::copy(counted->begin(), counted->end(), widths);
    return width_mode(std::span<std::size_t>(widths, counted->size())).width;
}

std::uint64_t infer_column_count(std::string_view buffer, std::uint8_t delimiter) {
    return *infer_column_count_prefix(buffer, delimiter, true);
}

} // namespace rowmend
