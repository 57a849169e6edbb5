#include "heuristics/delimiter_sniffer.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "parser/resilient_parser.h"

namespace rowmend {

double score_row_widths(std::span<const std::size_t> widths) {
    if (widths.size() < 2)
        return 0.0;
    // Counting by sorting beats a hash map here and walks the counts in a
    // fixed order. Sniffing passes at most 50 widths, which sort on the
    // stack; a longer list is copied to the heap, never cut short, since the
    // share below is taken over all of it.
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
    std::sort(sorted, sorted + n);
    std::size_t chosen_width = 0;
    std::size_t chosen_rows = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j < n && sorted[j] == sorted[i])
            ++j;
        // Ascending order with ">=" lets the larger of two equally frequent counts win.
        if (sorted[i] >= 2 && j - i >= chosen_rows) {
            chosen_width = sorted[i];
            chosen_rows = j - i;
        }
        i = j;
    }
    if (chosen_rows == 0)
        return 0.0;
    const double share = static_cast<double>(chosen_rows) / static_cast<double>(widths.size());
    return share * std::max(std::log(static_cast<double>(chosen_width)), 1.0);
}

std::uint8_t sniff_delimiter(std::string_view sample) {
    double best_score = -1.0;
    std::uint8_t best = ',';
    std::vector<std::size_t> widths;
    widths.reserve(kSniffRowLimit);
    for (std::uint8_t candidate : kDelimiterCandidates) {
        // The heuristics always parse with the double quote and repair on.
        ResilientParser parser(sample, candidate, '"', true);
        widths.clear();
        RowShape shape;
        while (widths.size() < kSniffRowLimit && parser.next_row_shape(shape)) {
            if (!shape.blank)
                widths.push_back(shape.field_count);
        }
        const double score = score_row_widths(widths);
        if (score > best_score) {
            best_score = score;
            best = candidate;
        }
    }
    return best;
}

} // namespace rowmend
