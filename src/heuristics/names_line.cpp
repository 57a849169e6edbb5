#include "heuristics/names_line.h"

#include <algorithm>
#include <string_view>

#include "heuristics/header.h"

namespace rowmend {

namespace {

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}

// Whether the rows below row 0 say the table is `columns` wide: at least
// two of them, and three in four of that width.
bool rows_below_have_width(const RowStore& rows, std::size_t columns) {
    std::size_t fitting = 0;
    for (std::size_t r = 1; r < rows.row_count(); ++r)
        fitting += rows.row(r).size() == columns ? 1 : 0;
    return fitting >= 2 && 4 * fitting >= 3 * (rows.row_count() - 1);
}

// Joins the cells after the delimiters that a blank follows ("last, first
// name"), when there are exactly `extra` of them.
bool join_at_blanks(std::vector<std::string>& names, std::size_t extra, char delimiter,
                    std::string& what) {
    std::vector<std::size_t> joins;
    for (std::size_t c = 1; c < names.size(); ++c) {
        const std::string& name = names[c];
        if (!name.empty() && is_blank(name.front()) && !trim_blanks(name).empty() &&
            !trim_blanks(names[c - 1]).empty() && !is_blank(names[c - 1].back()))
            joins.push_back(c);
    }
    if (joins.size() != extra)
        return false;
    for (auto it = joins.rbegin(); it != joins.rend(); ++it) {
        names[*it - 1] += delimiter;
        names[*it - 1] += names[*it];
        names.erase(names.begin() + static_cast<std::ptrdiff_t>(*it));
    }
    what = "the delimiter inside a name, before a blank, was read as part of it";
    return true;
}

// Splits names at single blanks between two words, when there are exactly
// `missing` of them.
bool split_at_blanks(std::vector<std::string>& names, std::size_t missing, std::string& what) {
    std::vector<std::pair<std::size_t, std::size_t>> splits; // (cell, byte)
    for (std::size_t c = 0; c < names.size(); ++c) {
        const std::string_view name = trim_blanks(names[c]);
        const auto offset = static_cast<std::size_t>(name.data() - names[c].data());
        for (std::size_t i = 1; i + 1 < name.size(); ++i)
            if (name[i] == ' ' && !is_blank(name[i - 1]) && !is_blank(name[i + 1]))
                splits.emplace_back(c, offset + i);
    }
    if (splits.size() != missing)
        return false;
    for (auto it = splits.rbegin(); it != splits.rend(); ++it) {
        std::string& name = names[it->first];
        std::string right = name.substr(it->second + 1);
        name.resize(it->second);
        names.insert(names.begin() + static_cast<std::ptrdiff_t>(it->first) + 1, std::move(right));
    }
    what = "a blank between two names was read as the missing delimiter";
    return true;
}

// Drops a quote byte that stands alone in a name: it opened nothing.
bool drop_lone_quotes(std::vector<std::string>& names, char quote, std::string& what) {
    bool dropped = false;
    for (std::string& name : names) {
        if (std::count(name.begin(), name.end(), quote) != 1)
            continue;
        name.erase(name.find(quote), 1);
        dropped = true;
    }
    if (dropped)
        what += std::string(what.empty() ? "" : "; ") + "a stray quote in a name was dropped";
    return dropped;
}

} // namespace

std::optional<NamesRepair> repair_names_line(const RowStore& rows, std::string_view line,
                                             std::size_t columns, char delimiter, char quote) {
    if (rows.row_count() < 3 || columns < 2 || !rows_below_have_width(rows, columns))
        return std::nullopt;
    NamesRepair repair;
    for (const FieldView field : rows.row(0)) {
        const CellKind kind = cell_kind(field.text);
        if (kind == CellKind::Number || kind == CellKind::Date)
            return std::nullopt; // values: a data row, not names
        repair.names.emplace_back(field.text);
    }
    const std::size_t width = repair.names.size();
    // More than two delimiters astray leave too many ways to place them.
    if (width > columns + 2 || width + 2 < columns)
        return std::nullopt;
    if (width > columns && !join_at_blanks(repair.names, width - columns, delimiter, repair.what))
        return std::nullopt;
    if (width < columns && !split_at_blanks(repair.names, columns - width, repair.what))
        return std::nullopt;
    const bool dropped =
        has_open_quote(line, quote) && drop_lone_quotes(repair.names, quote, repair.what);
    if (!dropped && width == columns)
        return std::nullopt;
    return repair;
}

bool has_open_quote(std::string_view line, char quote) noexcept {
    return std::count(line.begin(), line.end(), quote) % 2 != 0;
}

std::size_t literal_fields(std::string_view line, char delimiter) noexcept {
    return 1 + static_cast<std::size_t>(std::count(line.begin(), line.end(), delimiter));
}

} // namespace rowmend
