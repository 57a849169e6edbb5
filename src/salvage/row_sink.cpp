#include "salvage/row_sink.h"

namespace rowmend {

std::string quarantine_reason(RowFate fate, std::uint64_t columns) {
    std::string text = fate == RowFate::TooFew ? "Row has too few columns (expected "
                                               : "Row has extra columns (expected ";
    text += std::to_string(columns);
    text += ')';
    return text;
}

std::string field_count_reason(RowFate fate, std::uint64_t columns, std::size_t found) {
    std::string text = fate == RowFate::TooFew ? "too few fields: " : "too many fields: ";
    text += std::to_string(found);
    text += " found, ";
    text += std::to_string(columns);
    text += " expected";
    return text;
}

std::string_view skip_kind_name(SkipKind kind) noexcept {
    switch (kind) {
    case SkipKind::Blank:
        return "blank";
    case SkipKind::Comment:
        return "comment";
    case SkipKind::Preamble:
        return "preamble";
    case SkipKind::Footer:
        return "footer";
    case SkipKind::Section:
        return "section";
    }
    return "unknown";
}

} // namespace rowmend
