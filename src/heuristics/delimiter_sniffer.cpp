#include "heuristics/delimiter_sniffer.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "heuristics/width_mode.h"

namespace rowmend {

double score_row_widths(std::span<const std::size_t> widths) {
    if (widths.size() < 2)
        return 0.0;
    // Sniffing passes at most 50 widths, which sort on the stack; a longer
    // list is copied to the heap, never cut short, since the share below is
    // taken over all of it.
    std::size_t local[kSniffRowLimit];
    std::vector<std::size_t> spilled;
    std::size_t* sorted = local;
    const std::size_t n = widths.size();
    if (n > kSniffRowLimit) {
        spilled.assign(widths.begin(), widths.end());
        sorted = spilled.data();
    } else {
        std::copy_n(widths.begin(), n, local);
    }
    const WidthMode mode = width_mode(std::span<std::size_t>(sorted, n), 2);
    if (mode.rows == 0)
        return 0.0;
    const double share = static_cast<double>(mode.rows) / static_cast<double>(widths.size());
    return share * std::max(std::log(static_cast<double>(mode.width)), 1.0);
}

std::optional<std::uint8_t> sniff_delimiter_prefix(std::string_view prefix, bool final) {
    double best_score = -1.0;
    std::uint8_t best = ',';
    std::size_t widths[kSniffRowLimit];
    for (std::uint8_t candidate : kDelimiterCandidates) {
        const std::optional<std::size_t> counted =
            sample_row_widths(prefix, candidate, final, std::span<std::size_t>(widths));
        if (!counted)
            return std::nullopt;
        const double score = score_row_widths(std::span<const std::size_t>(widths, *counted));
        if (score > best_score) {
            best_score = score;
            best = candidate;
        }
    }
    return best;
}

DelimiterSniffer::DelimiterSniffer() noexcept
    : candidates_{RowWidthSampler(kDelimiterCandidates[0], kSniffRowLimit),
                  RowWidthSampler(kDelimiterCandidates[1], kSniffRowLimit),
                  RowWidthSampler(kDelimiterCandidates[2], kSniffRowLimit),
                  RowWidthSampler(kDelimiterCandidates[3], kSniffRowLimit)} {}

std::optional<std::uint8_t> DelimiterSniffer::sniff(std::string_view prefix, bool final) {
    if (answer_)
        return answer_;
    // Every candidate reads as far as it can before any answer is given,
    // so that none reads these bytes again on the next prefix.
    std::array<std::optional<std::span<const std::size_t>>, 4> widths;
    bool complete = true;
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
        widths[i] = candidates_[i].sample(prefix, final);
        complete = complete && widths[i].has_value();
    }
    if (!complete)
        return std::nullopt;
    double best_score = -1.0;
    std::uint8_t best = ',';
    for (std::size_t i = 0; i < candidates_.size(); ++i) {
        const double score = score_row_widths(*widths[i]);
        if (score > best_score) {
            best_score = score;
            best = kDelimiterCandidates[i];
        }
    }
    answer_ = best;
    return best;
}

RowWidthSampler DelimiterSniffer::take_rows(std::uint8_t delimiter) noexcept {
    std::size_t i = 0;
    while (i + 1 < candidates_.size() && kDelimiterCandidates[i] != delimiter)
        ++i;
    return std::move(candidates_[i]);
}

std::uint8_t sniff_delimiter(std::string_view sample) {
    return *sniff_delimiter_prefix(sample, true);
}

} // namespace rowmend
