#include "heuristics/delimiter_sniffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

DelimiterSniffer::DelimiterSniffer() noexcept = default;

std::optional<std::uint8_t> DelimiterSniffer::sniff(std::string_view prefix, bool final) {
    if (answer_)
        return answer_;
    // Before any reading goes on to the new bytes: a candidate whose byte
    // they show first takes its own copy of the shared reading, which has
    // seen neither its byte nor the shared one's.
    const char* const fresh = prefix.data() + scanned_;
    const std::size_t fresh_size = prefix.size() - scanned_;
    std::optional<std::uint8_t> unseen;
    for (std::size_t i = 0; i < own_.size(); ++i) {
        const std::uint8_t candidate = kDelimiterCandidates[i];
        if (!own_[i] && fresh_size != 0 && std::memchr(fresh, candidate, fresh_size) != nullptr) {
            own_[i] = unseen_ ? *unseen_ : RowWidthSampler(candidate, kSniffRowLimit);
            own_[i]->swap_unseen_delimiter(candidate);
        }
        if (!own_[i] && !unseen)
            unseen = candidate;
    }
    scanned_ = prefix.size();
    if (!unseen)
        unseen_.reset();
    else if (!unseen_)
        unseen_.emplace(*unseen, kSniffRowLimit);
    else
        unseen_->swap_unseen_delimiter(*unseen);

    // Every reading goes as far as it can before any answer is given, so
    // that none reads these bytes again on the next prefix.
    const std::optional<std::span<const std::size_t>> shared =
        unseen_ ? unseen_->sample(prefix, final) : std::nullopt;
    std::array<std::optional<std::span<const std::size_t>>, 4> widths;
    bool complete = true;
    for (std::size_t i = 0; i < own_.size(); ++i) {
        widths[i] = own_[i] ? own_[i]->sample(prefix, final) : shared;
        complete = complete && widths[i].has_value();
    }
    if (!complete)
        return std::nullopt;
    double best_score = -1.0;
    std::uint8_t best = ',';
    for (std::size_t i = 0; i < own_.size(); ++i) {
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
    while (i + 1 < own_.size() && kDelimiterCandidates[i] != delimiter)
        ++i;
    if (own_[i])
        return std::move(*own_[i]);
    if (!unseen_)
        return RowWidthSampler(delimiter, kSniffRowLimit);
    RowWidthSampler rows = std::move(*unseen_);
    rows.swap_unseen_delimiter(kDelimiterCandidates[i]);
    return rows;
}

std::uint8_t sniff_delimiter(std::string_view sample) {
    return *sniff_delimiter_prefix(sample, true);
}

} // namespace rowmend
