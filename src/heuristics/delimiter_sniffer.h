#pragma once
// Delimiter sniffing: which of comma, semicolon, tab and vertical bar splits
// the first rows of a text most consistently into the most fields.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "heuristics/width_mode.h"

namespace rowmend {

// The candidates in order of precedence when scores tie.
inline constexpr std::uint8_t kDelimiterCandidates[4] = {',', ';', '\t', '|'};

// How many non-blank rows each candidate's parse reads at most.
inline constexpr std::size_t kSniffRowLimit = 50;

// Returns one of the four candidates; comma when none scores above zero.
// Reads at most 50 non-blank rows from the start of the sample per candidate.
std::uint8_t sniff_delimiter(std::string_view sample);

// The same over the first bytes of a longer input. When `final` is false and
// some candidate's rows run past the prefix before it has read its rows,
// returns nothing: the answer needs more of the input.
std::optional<std::uint8_t> sniff_delimiter_prefix(std::string_view prefix, bool final);

// sniff_delimiter_prefix over an input that arrives as ever longer prefixes
// of the same bytes: each candidate keeps the rows it has read, so a retry
// on a longer prefix reads only what is new. Same answer, prefix by prefix.
class DelimiterSniffer {
  public:
    DelimiterSniffer() noexcept;
    std::optional<std::uint8_t> sniff(std::string_view prefix, bool final);

    // Once sniff() has answered, the rows read for `delimiter`, one of the
    // candidates, to read on from. sniff() keeps its answer.
    RowWidthSampler take_rows(std::uint8_t delimiter) noexcept;

  private:
    // A candidate whose byte the input has not shown reads every byte as
    // any other such candidate does, so those share one reading (a long
    // first line is read twice, not four times); one whose byte has shown
    // goes on from a copy of that reading, with its own delimiter.
    std::array<std::optional<RowWidthSampler>, 4> own_;
    std::optional<RowWidthSampler> unseen_; // for the candidates without their own
    std::size_t scanned_ = 0;               // bytes looked through for candidates' bytes
    std::optional<std::uint8_t> answer_;
};

// The score of one candidate from the field counts of its non-blank rows:
// share of rows having the most frequent field count of 2 or more, times
// max(ln(that count), 1). Ties between equally frequent field counts go to
// the larger count, so the score never depends on hash order.
double score_row_widths(std::span<const std::size_t> widths);

} // namespace rowmend
