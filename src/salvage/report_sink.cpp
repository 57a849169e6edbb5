#include "salvage/report_sink.h"

#include <algorithm>

namespace rowmend {

RowAction row_action(RowFate fate) noexcept {
    switch (fate) {
    case RowFate::Filled:
        return RowAction::Filled;
    case RowFate::Merged:
        return RowAction::Merged;
    case RowFate::TooFew:
        return RowAction::TooFew;
    case RowFate::TooMany:
    case RowFate::Kept: // never asked: a row kept as it stood has no action
        break;
    }
    return RowAction::TooMany;
}

RowAction row_action(SkipKind kind) noexcept {
    return static_cast<RowAction>(static_cast<std::size_t>(RowAction::Blank) +
                                  static_cast<std::size_t>(kind));
}

std::string_view row_action_name(RowAction action) noexcept {
    switch (action) {
    case RowAction::Filled:
        return "filled";
    case RowAction::Merged:
        return "merged";
    case RowAction::QuoteRepaired:
        return "quote repaired";
    case RowAction::BytesReplaced:
        return "bytes replaced";
    case RowAction::QuoteReadAsText:
        return "quote read as text";
    case RowAction::TooFew:
        return "too few fields";
    case RowAction::TooMany:
        return "too many fields";
    case RowAction::Blank:
    case RowAction::Comment:
    case RowAction::Preamble:
    case RowAction::Footer:
        return skip_kind_name(static_cast<SkipKind>(static_cast<std::size_t>(action) -
                                                    static_cast<std::size_t>(RowAction::Blank)));
    }
    return "unknown";
}

void LineHistogram::fold() noexcept {
    for (Counts& counts : counts_) {
        for (std::size_t i = 0; i < kBins / 2; ++i)
            counts[i] = counts[2 * i] + counts[2 * i + 1];
        std::fill(counts.begin() + kBins / 2, counts.end(), 0);
    }
    ++shift_;
}

} // namespace rowmend
