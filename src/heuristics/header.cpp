#include "heuristics/header.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace rowmend {

namespace {

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Digits with at least two of one date or time separator between them, and
// nothing but digits, separators and one optional 'T' or space between a
// date and a time.
bool is_date(std::string_view text) noexcept {
    std::size_t digits = 0, separators = 0;
    for (const char c : text) {
        if (is_digit(c))
            ++digits;
        else if (c == '-' || c == '/' || c == '.' || c == ':')
            ++separators;
        else if (c != 'T' && c != ' ')
            return false;
    }
    return digits >= 4 && separators >= 2 && is_digit(text.front()) && is_digit(text.back());
}

bool is_number(std::string_view text) noexcept {
    // Currency and sign in front, percent behind: "$1,200.50", "-3", "12%".
    while (!text.empty() && (text.front() == '+' || text.front() == '-' || text.front() == '$'))
        text.remove_prefix(1);
    if (text.starts_with("\xE2\x82\xAC")) // the euro sign
        text.remove_prefix(3);
    if (!text.empty() && text.back() == '%')
        text.remove_suffix(1);
    if (text.empty())
        return false;
    std::size_t digits = 0;
    bool exponent = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (is_digit(c)) {
            ++digits;
        } else if ((c == 'e' || c == 'E') && !exponent && digits != 0 && i + 1 < text.size()) {
            exponent = true;
            if (text[i + 1] == '+' || text[i + 1] == '-')
                ++i;
        } else if (c != '.' && c != ',' && c != '\'' && c != ' ') {
            return false;
        }
    }
    return digits != 0 && is_digit(text.back());
}

} // namespace

CellKind cell_kind(std::string_view text) noexcept {
    text = trim_blanks(text);
    if (text.empty())
        return CellKind::Empty;
    if (is_date(text))
        return CellKind::Date;
    if (is_number(text))
        return CellKind::Number;
    return CellKind::Text;
}

bool first_row_is_header(const RowStore& rows) {
    if (rows.row_count() == 0)
        return false;
    std::vector<std::string_view> names;
    for (const FieldView field : rows.row(0)) {
        const std::string_view name = trim_blanks(field.text);
        if (cell_kind(name) != CellKind::Text)
            return false; // an empty, numeric or date cell names nothing
        names.push_back(name);
    }
    std::vector<std::string_view> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        return false;

    // Per column: cells below that hold values rather than text, cells that
    // hold anything, and whether the first row's cell recurs below.
    std::vector<std::size_t> values(names.size()), filled(names.size());
    bool recurs = false;
    for (std::size_t r = 1; r < rows.row_count(); ++r) {
        std::size_t c = 0;
        for (const FieldView field : rows.row(r)) {
            if (c == names.size())
                break;
            const CellKind kind = cell_kind(field.text);
            filled[c] += kind != CellKind::Empty ? 1 : 0;
            values[c] += kind == CellKind::Number || kind == CellKind::Date ? 1 : 0;
            recurs = recurs || trim_blanks(field.text) == names[c];
            ++c;
        }
    }
    for (std::size_t c = 0; c < names.size(); ++c) {
        if (filled[c] != 0 && 2 * values[c] > filled[c])
            return true; // a name over a column of values
    }
    return !recurs;
}

std::vector<bool> value_columns(const RowStore& rows, std::size_t first, std::size_t width) {
    std::vector<std::size_t> values(width), filled(width);
    for (std::size_t r = first; r < rows.row_count(); ++r) {
        std::size_t c = 0;
        for (const FieldView field : rows.row(r)) {
            if (c == width)
                break;
            const CellKind kind = cell_kind(field.text);
            filled[c] += kind != CellKind::Empty ? 1 : 0;
            values[c] += kind == CellKind::Number || kind == CellKind::Date ? 1 : 0;
            ++c;
        }
    }
    std::vector<bool> out(width);
    for (std::size_t c = 0; c < width; ++c)
        out[c] = filled[c] != 0 && 2 * values[c] > filled[c];
    return out;
}

std::vector<std::string> join_header_rows(const std::vector<std::vector<std::string>>& rows) {
    if (rows.empty())
        return {};
    const std::size_t width = rows.front().size();
    const std::size_t label_rows = rows.size() - 1;
    const auto cell = [&](std::size_t r, std::size_t c) {
        return c < rows[r].size() ? trim_blanks(rows[r][c]) : std::string_view();
    };
    // Each label row's spans, [begin, end) per label, cut where a row above
    // starts a group.
    struct Span {
        std::size_t begin, end;
    };
    std::vector<std::vector<Span>> spans(label_rows);
    std::vector<bool> group_starts(width, false);
    for (std::size_t r = 0; r < label_rows; ++r) {
        for (std::size_t c = 0; c < width; ++c) {
            if (!cell(r, c).empty())
                spans[r].push_back({c, c + 1});
            else if (!spans[r].empty() && spans[r].back().end == c && !group_starts[c])
                ++spans[r].back().end;
        }
        for (const Span& span : spans[r])
            group_starts[span.begin] = true;
    }
    // The last label of a row spans no further than its siblings' common
    // width, nor than the labels under it; bottom up, so that those are
    // bounded first.
    for (std::size_t r = label_rows; r-- > 0;) {
        if (spans[r].empty())
            continue;
        Span& last = spans[r].back();
        // Its siblings: the labels of its row under the same group above.
        std::size_t group_begin = 0;
        if (r != 0)
            for (const Span& group : spans[r - 1])
                if (group.begin <= last.begin)
                    group_begin = group.begin;
        std::size_t sibling = 0;
        bool alike = true;
        for (std::size_t i = 0; i + 1 < spans[r].size(); ++i) {
            const std::size_t w = spans[r][i].end - spans[r][i].begin;
            if (w < 2 || spans[r][i].begin < group_begin)
                continue;
            alike = alike && (sibling == 0 || sibling == w);
            sibling = w;
        }
        if (alike && sibling != 0 && r + 1 == label_rows)
            last.end = std::min(last.end, last.begin + sibling);
        if (r + 1 < label_rows) {
            std::size_t under = 0;
            for (const Span& below : spans[r + 1])
                if (below.begin >= last.begin && below.begin < last.end)
                    under = std::max(under, below.end);
            if (under != 0)
                last.end = std::min(last.end, under);
        }
    }
    std::vector<std::string> names(width);
    const auto add = [&](std::size_t c, std::string_view part) {
        if (part.empty())
            return;
        if (!names[c].empty())
            names[c] += ' ';
        names[c] += part;
    };
    for (std::size_t r = 0; r < label_rows; ++r)
        for (const Span& span : spans[r])
            for (std::size_t c = span.begin; c < span.end; ++c)
                add(c, cell(r, span.begin));
    for (std::size_t c = 0; c < width; ++c)
        add(c, label_rows == 0 ? std::string_view(rows.back()[c]) : cell(label_rows, c));
    return names;
}

namespace {

bool holds_value(CellKind kind) noexcept {
    return kind == CellKind::Number || kind == CellKind::Date;
}

// A year, as a label over the columns of one year: four digits, 1800 to 2199.
bool is_year(std::string_view text) noexcept {
    return text.size() == 4 && std::all_of(text.begin(), text.end(), is_digit) &&
           (text[0] == '1' ? text[1] >= '8' : text[0] == '2' && text[1] <= '1');
}

// Whether a row leaves a cell empty: labels spanning several columns do.
bool has_gap(const RowView& row) {
    for (const FieldView field : row)
        if (trim_blanks(field.text).empty())
            return true;
    return false;
}

// A label in a row of labels: text, or, in a row whose labels span
// columns (`spanned`: it leaves gaps), a year over the columns of that year
// ("2023,,2024,").
bool is_label(std::string_view text, bool spanned) noexcept {
    const CellKind kind = cell_kind(text);
    return kind == CellKind::Text || (spanned && is_year(trim_blanks(text)));
}

// A cell that names nothing of its own in a row of labels: empty, or the
// label to its left again (a group label spanning its columns).
std::vector<bool> label_gaps(const RowView& row) {
    std::vector<bool> gaps;
    std::string_view left;
    for (const FieldView field : row) {
        const std::string_view text = trim_blanks(field.text);
        gaps.push_back(text.empty() || text == left);
        left = text;
    }
    return gaps;
}

bool holds_values(const RowView& row) {
    for (const FieldView field : row)
        if (holds_value(cell_kind(field.text)))
            return true;
    return false;
}

// Whether row `k` of `rows` reads as names: no cell holds a value, and one
// of its labels stands over a column that holds values in the rows below
// (from the first that holds any: more rows of labels may come between).
// A data row whose text cells happen to sit in text columns does not.
bool names_over_values(const RowStore& rows, std::size_t k) {
    const RowView row = rows.row(k);
    std::size_t first = k + 1;
    while (first < rows.row_count() && !holds_values(rows.row(first)))
        ++first;
    const std::vector<bool> values = value_columns(rows, first, row.size());
    const bool spanned = has_gap(row);
    bool over_values = false;
    std::size_t c = 0;
    for (const FieldView field : row) {
        const bool label = is_label(field.text, spanned);
        if (!label && holds_value(cell_kind(field.text)))
            return false;
        over_values = over_values || (label && values[c]);
        ++c;
    }
    return over_values;
}

// Whether `row` puts a label under a gap of the row of labels `above`.
bool fills_gap_of(const RowView& above, const RowView& row) {
    const std::vector<bool> gaps = label_gaps(above);
    const bool spanned = has_gap(row);
    std::size_t c = 0;
    for (const FieldView field : row) {
        if (c < gaps.size() && gaps[c] && is_label(field.text, spanned))
            return true;
        ++c;
    }
    return false;
}

// Row 0 as a header whose names leave gaps ("id,name,amount," or ",x,y")
// or repeat ("val,val"): labels only, at least half the cells named, and a
// name over a column of values. Empty names become column_N, repeated ones
// get suffixes, where the tables name the columns.
bool header_with_gaps(const RowStore& rows) {
    if (rows.row_count() < 2)
        return false;
    std::size_t named = 0;
    const RowView row = rows.row(0);
    for (const FieldView field : row)
        named += cell_kind(field.text) == CellKind::Text ? 1 : 0;
    return 2 * named >= row.size() && names_over_values(rows, 0);
}

// The rows without their last column when no row has anything there: a
// delimiter at the end of every line, as spreadsheets export, adds an empty
// column that names nothing and holds nothing.
std::optional<RowStore> without_empty_last_column(const RowStore& rows) {
    if (rows.row_count() == 0)
        return std::nullopt;
    const std::size_t width = rows.row(0).size();
    if (width < 2)
        return std::nullopt;
    for (std::size_t r = 0; r < rows.row_count(); ++r) {
        std::size_t c = 0;
        for (const FieldView field : rows.row(r))
            if (c++ == width - 1 && cell_kind(field.text) != CellKind::Empty)
                return std::nullopt;
    }
    RowStore trimmed;
    for (std::size_t r = 0; r < rows.row_count(); ++r) {
        trimmed.begin_row();
        std::size_t c = 0;
        for (const FieldView field : rows.row(r)) {
            if (c++ == width - 1)
                break;
            trimmed.append(field.text.data(), field.text.size());
            trimmed.finish_field(true);
        }
    }
    return trimmed;
}

} // namespace

std::size_t header_rows(const RowStore& rows) {
    if (first_row_is_header(rows))
        return 1;
    if (const std::optional<RowStore> trimmed = without_empty_last_column(rows))
        if (first_row_is_header(*trimmed))
            return 1;
    // The names the first k + 1 rows give together, as the tables join
    // them (join_header_rows).
    std::vector<std::vector<std::string>> parts;
    RowStore joined;
    std::size_t found = 0; // rows of names joined so far, when they read as a header
    for (std::size_t k = 1; k < kMaxHeaderRows && k < rows.row_count(); ++k) {
        const RowView group = rows.row(k - 1);
        bool labels = false;
        const bool spanned = has_gap(group);
        parts.emplace_back();
        for (const FieldView field : group) {
            const CellKind kind = cell_kind(field.text);
            if (holds_value(kind) && !is_label(field.text, spanned))
                return found; // values, no label
            labels = labels || kind != CellKind::Empty;
            parts.back().emplace_back(field.text);
        }
        if (!labels)
            return found;
        // Row k joins the names only when it reads as names itself and
        // labels a gap of the row above: a first data row ("1,ana,2.5,"
        // under "id,name,amount,") fills the cells the data rows fill,
        // with values of their kinds, and stays a row of the table.
        // Or, as sub-group labels each under its group, it leaves gaps
        // that the names row below it fills.
        const bool fills_gap =
            fills_gap_of(group, rows.row(k)) ||
            (k + 1 < rows.row_count() && has_gap(rows.row(k)) &&
             fills_gap_of(rows.row(k), rows.row(k + 1)) && names_over_values(rows, k + 1));
        if (!fills_gap || !names_over_values(rows, k))
            break;
        std::vector<std::vector<std::string>> all = parts;
        all.emplace_back();
        for (const FieldView field : rows.row(k))
            all.back().emplace_back(field.text);
        // The names row's own width: a group row may be cut short.
        all.front().resize(all.back().size());
        joined.clear();
        joined.begin_row();
        for (const std::string& name : join_header_rows(all)) {
            joined.append(name.data(), name.size());
            joined.finish_field(true);
        }
        for (std::size_t r = k + 1; r < rows.row_count(); ++r)
            joined.append_row(rows.row(r));
        if (!first_row_is_header(joined))
            continue;
        // Names over values, not an all-text table read from its second row.
        const std::vector<bool> values = value_columns(joined, 1, joined.row(0).size());
        if (std::find(values.begin(), values.end(), true) == values.end())
            break;
        // Sub-group labels over names read as a header of their own; the
        // names below them, filling their gaps, make a deeper one.
        found = k + 1;
        if (!(k + 1 < rows.row_count() && has_gap(rows.row(k)) &&
              fills_gap_of(rows.row(k), rows.row(k + 1)) && names_over_values(rows, k + 1)))
            return found;
    }
    if (found != 0)
        return found;
    return header_with_gaps(rows) ? 1 : 0;
}

std::string_view trim_blanks(std::string_view text) noexcept {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace rowmend
