#pragma once
// The caller-controlled settings of one salvage run.

#include <cstdint>
#include <optional>

namespace rowmend {

struct SalvageOptions {
    std::optional<std::uint8_t> delimiter;         // absent: sniff it
    std::uint8_t quote_char = '"';                 // steers only the salvage parser
    bool fill_ragged_rows = true;                  // pad short rows, or quarantine them
    bool merge_overflow = true;                    // merge long rows' surplus, or quarantine them
    std::optional<std::uint64_t> expected_columns; // absent: infer it; 0: leave rows as parsed
    bool repair_quotes = true;                     // steers only the salvage parser
};

} // namespace rowmend
