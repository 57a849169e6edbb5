#include "heuristics/delimiter_sniffer.h"

#include <algorithm>
#include <cmath>
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

std::uint8_t sniff_delimiter(std::string_view sample) {
    return *sniff_delimiter_prefix(sample, true);
}

} // namespace rowmend
