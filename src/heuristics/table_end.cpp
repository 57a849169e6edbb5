#include "heuristics/table_end.h"

#include <algorithm>

#include "parser/utf8.h"

namespace rowmend {

bool is_blank_text(std::string_view text) noexcept {
    utf8::WhitespaceMatcher matcher;
    matcher.feed(text.data(), text.size());
    return matcher.matched();
}

bool is_empty_cells_row(const RowView& fields) {
    if (fields.size() < 2)
        return false;
    for (const FieldView field : fields) {
        if (field.text.empty())
            continue;
        // A printable ASCII byte first is no blank: most cells stop here
        // without the Unicode whitespace test.
        const auto first = static_cast<unsigned char>(field.text.front());
        if ((first > ' ' && first < 0x7F) || !is_blank_text(field.text))
            return false;
    }
    return true;
}

bool is_empty_cells_line(std::string_view line, char delimiter) {
    bool cut = false;
    for (const char c : line) {
        if (c == delimiter)
            cut = true;
        else if (c != ' ' && c != '\t')
            return false;
    }
    return cut;
}

bool looks_cut_off(const RowView& fields, std::size_t width, bool unterminated,
                   std::span<const CellKind> column_kinds) {
    // A data row cut short holds values of its columns' kinds; a footer
    // ("Total", "Generated on ...") puts text where numbers or dates stand.
    // The last cell of a row the input ends inside may be cut mid-value.
    // With no full row in view there is no table for it to trail.
    if (std::all_of(column_kinds.begin(), column_kinds.end(),
                    [](CellKind kind) { return kind == CellKind::Empty; }))
        return true;
    bool matches = false;
    std::size_t i = 0;
    for (const FieldView field : fields) {
        if (i >= width || (unterminated && i + 1 == width))
            break;
        const CellKind column = i < column_kinds.size() ? column_kinds[i] : CellKind::Empty;
        ++i;
        const CellKind kind = cell_kind(field.text);
        if (kind == CellKind::Empty || column == CellKind::Empty || column == CellKind::Text)
            continue;
        if (kind != column)
            return false;
        matches = true;
    }
    return matches || unterminated;
}

bool names_row(const RowView& row, std::string_view text, std::string_view header_text,
               const std::vector<bool>& value_columns) {
    if (text == header_text)
        return false; // the header again: the same table goes on
    bool text_over_values = false;
    std::size_t c = 0;
    for (const FieldView field : row) {
        const CellKind kind = cell_kind(field.text);
        if (kind != CellKind::Text)
            return false;
        text_over_values = text_over_values || (c < value_columns.size() && value_columns[c]);
        ++c;
    }
    return text_over_values;
}

bool summary_row(const RowView& row, const std::vector<bool>& value_columns) {
    bool words_over_values = false;
    std::size_t c = 0;
    for (const FieldView field : row) {
        const CellKind kind = cell_kind(field.text);
        if (kind == CellKind::Number || kind == CellKind::Date)
            return false;
        words_over_values = words_over_values || (kind == CellKind::Text &&
                                                  c < value_columns.size() && value_columns[c]);
        ++c;
    }
    return words_over_values;
}

} // namespace rowmend
