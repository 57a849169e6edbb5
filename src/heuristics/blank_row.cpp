#include "heuristics/blank_row.h"

#include "parser/utf8.h"

namespace rowmend {

bool is_blank_text(std::string_view text) noexcept {
    utf8::WhitespaceMatcher matcher;
    matcher.feed(text.data(), text.size());
    return matcher.matched();
}

bool is_blank_row(const RowView& row) noexcept {
    return row.size() == 1 && is_blank_text((*row.begin()).text);
}

} // namespace rowmend
