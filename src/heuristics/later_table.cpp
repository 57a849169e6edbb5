#include "heuristics/later_table.h"

#include <algorithm>
#include <string_view>

namespace rowmend {

namespace {

bool is_value(CellKind kind) noexcept {
    return kind == CellKind::Number || kind == CellKind::Date;
}

} // namespace

bool names_another_table(const RowView& row, std::span<const CellKind> kinds,
                         bool over_values_needed) {
    if (row.size() < 2)
        return false;
    bool over_values = false;
    std::size_t c = 0;
    for (const FieldView field : row) {
        if (cell_kind(field.text) != CellKind::Text)
            return false;
        over_values = over_values || (c < kinds.size() && is_value(kinds[c]));
        ++c;
    }
    if (!over_values && over_values_needed)
        return false;
    // Only a row of words gets this far: its names are compared.
    std::vector<std::string_view> names;
    names.reserve(row.size());
    for (const FieldView field : row)
        names.push_back(trim_blanks(field.text));
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) == names.end();
}

bool conflicts_with_columns(const RowView& row, std::span<const CellKind> kinds) {
    std::size_t c = 0;
    for (const FieldView field : row) {
        if (c >= kinds.size())
            break;
        const CellKind column = kinds[c++];
        const CellKind kind = cell_kind(field.text);
        if (is_value(column) && kind != CellKind::Empty && kind != column)
            return true;
    }
    return false;
}

std::optional<StackedStart> stacked_tables(const RowStore& rows) {
    const std::size_t count = rows.row_count();
    std::size_t r = 0;
    while (r < count && rows.row(r).size() < 2)
        ++r;
    const std::size_t lead = r;
    if (r >= count)
        return std::nullopt;
    const std::size_t width = rows.row(r).size();
    std::vector<CellKind> no_kinds;
    if (!names_another_table(rows.row(r), no_kinds, false))
        return std::nullopt;
    // The first table's columns, as its rows hold them.
    std::vector<CellKind> kinds(width, CellKind::Empty);
    std::size_t data = 0;
    for (++r; r < count && rows.row(r).size() == width; ++r, ++data) {
        std::size_t c = 0;
        for (const FieldView field : rows.row(r)) {
            const CellKind kind = cell_kind(field.text);
            CellKind& column = kinds[c++];
            if (kind != CellKind::Empty)
                column = column == CellKind::Empty || column == kind ? kind : CellKind::Text;
        }
    }
    const std::size_t end = r;
    while (r < count && rows.row(r).size() < 2)
        ++r;
    if (data == 0 || r + 1 >= count)
        return std::nullopt;
    // Below a blank line or a title, names need not stand over values.
    const std::size_t other = rows.row(r).size();
    if (other == width || !names_another_table(rows.row(r), kinds, r == end) ||
        rows.row(r + 1).size() != other)
        return std::nullopt;
    return StackedStart{width, lead};
}

LaterTable::LaterTable(const RowView& first, std::span<const CellKind> kinds, bool after_blank)
    : width_(first.size()), named_(names_another_table(first, kinds, !after_blank)) {
    if (!named_)
        add(first, kinds);
}

void LaterTable::add(const RowView& row, std::span<const CellKind> kinds) {
    if (row.size() != width_) {
        ++others_;
        return;
    }
    ++rows_;
    conflicts_ += conflicts_with_columns(row, kinds) ? 1 : 0;
}

bool LaterTable::evidence(std::size_t named_rows, std::size_t unnamed_rows) const noexcept {
    // Rows of a third width are a table's ragged rows, a few of them.
    if (others_ * 4 > rows_)
        return false;
    if (named_)
        return rows_ >= named_rows;
    return rows_ >= unnamed_rows && conflicts_ * 2 > rows_;
}

bool LaterTable::confirmed() const noexcept {
    return evidence(kNamedRows, kUnnamedRows);
}

bool LaterTable::confirmed_at_end() const noexcept {
    return evidence(1, 3);
}

} // namespace rowmend
