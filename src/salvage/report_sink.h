#pragma once
// What a run reports beyond its counts: each row's action when it was not
// kept as it stood, where in the input such rows sit (a line histogram), and
// the first rows of each action as records.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "salvage/salvage_pass.h"

namespace rowmend {

// What happened to a row that was not kept as it stood; the histogram and
// the record of repairs are indexed by it.
enum class RowAction : std::uint8_t {
    Filled,
    Merged,
    QuoteRepaired,   // kept as it stood but for a stray quote kept as text
    BytesReplaced,   // kept as it stood but for bytes that were not UTF-8
    QuoteReadAsText, // a quote that opened a runaway field read as text
    TooFew,
    TooMany,
    Blank,
    Comment,
    Preamble,
    Footer,
};
inline constexpr std::size_t kRowActions = 11;

RowAction row_action(RowFate fate) noexcept;
RowAction row_action(SkipKind kind) noexcept;
// "filled", "merged", "quote repaired", "bytes replaced", "quote read as
// text", "too few fields", "too many fields", then the skip kinds' names.
std::string_view row_action_name(RowAction action) noexcept;

// Where in the input the rows that were not kept as they stood sit, in a
// fixed number of bins over line numbers. A bin starts one line wide and
// all double in width (neighbours summed) whenever a line outruns the last,
// so a file of any length costs the same few kilobytes and every row counts.
class LineHistogram {
  public:
    static constexpr std::size_t kBins = 256;
    using Counts = std::array<std::uint64_t, kBins>;

    void add(RowAction action, std::uint64_t line) noexcept {
        reach(line);
        ++counts_[static_cast<std::size_t>(action)][bin(line)];
    }
    // The input has reached `line`.
    void reach(std::uint64_t line) noexcept {
        if (line > last_line_) {
            last_line_ = line;
            while (bin(line) >= kBins)
                fold();
        }
    }
    std::uint64_t bin_lines() const noexcept { return std::uint64_t{1} << shift_; }
    std::uint64_t last_line() const noexcept { return last_line_; }
    const Counts& counts(RowAction action) const noexcept {
        return counts_[static_cast<std::size_t>(action)];
    }

  private:
    std::size_t bin(std::uint64_t line) const noexcept {
        return static_cast<std::size_t>((line == 0 ? 0 : line - 1) >> shift_);
    }
    void fold() noexcept;

    unsigned shift_ = 0;
    std::uint64_t last_line_ = 0;
    std::array<Counts, kRowActions> counts_{};
};

struct DataCounters {
    std::uint64_t total_rows = 0;
    std::uint64_t salvaged_rows = 0;
    std::uint64_t repaired_rows = 0;
    std::uint64_t quarantined_rows = 0;
    std::uint64_t skipped_rows = 0;
    std::array<std::uint64_t, kSkipKinds> skipped_by_kind{}; // indexed by SkipKind
};

struct QuarantinedRow {
    std::uint64_t line;
    RowFate fate;
    std::string text;       // the row's input bytes, without its line break
    std::size_t fields = 0; // as parsed
};

// A row kept after filling or merging, as it stood and as it was kept; or
// a row set aside as not part of the table, with no fields.
struct RepairedRow {
    std::uint64_t line;
    RowAction action;
    std::string text;
    std::vector<std::string> fields;
};

} // namespace rowmend
