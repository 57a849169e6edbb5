#pragma once
// Column-count inference: the most common field count among the first 100
// non-blank rows.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "heuristics/width_mode.h"

namespace rowmend {

inline constexpr std::size_t kInferRowLimit = 100;

// 0 when the buffer holds no non-blank row; otherwise a field count that at
// least one sampled row has, 1 included. Of equally frequent counts the
// largest wins: padding short rows loses nothing, merging long ones loses
// field boundaries.
std::uint64_t infer_column_count(std::string_view buffer, std::uint8_t delimiter);

// The same over the first bytes of a longer input; nothing when `final` is
// false and the rows it reads run past the prefix.
std::optional<std::uint64_t> infer_column_count_prefix(std::string_view prefix,
                                                       std::uint8_t delimiter, bool final);

// infer_column_count_prefix over an input that arrives as ever longer
// prefixes of the same bytes, reading each byte once. Same answer, prefix by
// prefix.
class ColumnCounter {
  public:
    explicit ColumnCounter(std::uint8_t delimiter) noexcept : rows_(delimiter, kInferRowLimit) {}
    // Goes on from rows already read at the start of the same input.
    explicit ColumnCounter(RowWidthSampler rows) noexcept : rows_(std::move(rows)) {
        rows_.raise_limit(kInferRowLimit);
    }
    std::optional<std::uint64_t> infer(std::string_view prefix, bool final);

  private:
    RowWidthSampler rows_;
};

} // namespace rowmend
