#include "heuristics/repair_placement.h"

#include <algorithm>
#include <climits>

#include "heuristics/column_kind.h"

namespace rowmend {

namespace {

using placement_detail::Cell;
using placement_detail::CellClass;

std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

Cell classify(std::string_view text) noexcept {
    static const kinds::KindRules rules;
    const kinds::CellKinds k = kinds::classify_cell(text, rules);
    Cell cell{CellClass::Text, trimmed(text), !text.empty() && (text[0] == ' ' || text[0] == '\t')};
    if (k.null || cell.text.empty())
        cell.kind = CellClass::Empty;
    else if (k.number_formats != 0 || k.code)
        cell.kind = CellClass::Number;
    else if (k.date != kinds::DateShape::None || k.time)
        cell.kind = CellClass::Date;
    else if (k.boolean)
        cell.kind = CellClass::Boolean;
    return cell;
}

bool fits_code(std::string_view text, const ColumnProfile& column) noexcept {
    if (text.size() != column.code_length)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (code_class(text[i]) != column.code[i])
            return false;
    return true;
}

// A misfit of kind (text where the column holds numbers) costs most; a
// number where the column held only words less, as text columns do hold
// some; a cell its column rarely holds (an empty cell where none was empty)
// least.
constexpr int kSoft = 1;
constexpr int kValueInText = 2;
constexpr int kHard = 4;
// The best placement must beat every other by this much.
constexpr int kMargin = 2;
// The fewest cells of a column that give it a shape.
constexpr std::uint32_t kMinSampledCells = 3;

int fit(const Cell& cell, const ColumnProfile& column) noexcept;

int cost(const Cell& cell, const ColumnProfile& column) noexcept {
    if (cell.kind == CellClass::Empty)
        return column.has_empty || column.shape == ColumnShape::Empty ||
                       column.shape == ColumnShape::Unknown
                   ? 0
                   : kSoft;
    // The text after a delimiter inside a value begins with a blank
    // ("Smith, John"); a column whose cells never do is not where it goes.
    const int blank =
        cell.leading_blank && !column.leading_blank && column.shape != ColumnShape::Unknown
            ? kValueInText
            : 0;
    return blank + fit(cell, column);
}

int fit(const Cell& cell, const ColumnProfile& column) noexcept {
    switch (column.shape) {
    case ColumnShape::Unknown:
        return 0;
    case ColumnShape::Empty:
        return kSoft;
    case ColumnShape::Number:
        return cell.kind == CellClass::Number ? 0 : kHard;
    case ColumnShape::Date:
        return cell.kind == CellClass::Date ? 0 : kHard;
    case ColumnShape::Boolean:
        return cell.kind == CellClass::Boolean ? 0 : kHard;
    case ColumnShape::Code:
        return fits_code(cell.text, column) ? 0 : kHard;
    case ColumnShape::Text:
        return cell.kind == CellClass::Text || column.has_values ? 0 : kValueInText;
    }
    return 0;
}

// The best and the second best cost of the placements offered.
struct Ranking {
    int best = INT_MAX;
    int second = INT_MAX;
    Placement placement;

    void offer(int cost, const Placement& candidate) noexcept {
        if (cost < best) {
            second = best;
            best = cost;
            placement = candidate;
        } else if (cost < second) {
            second = cost;
        }
    }
};

} // namespace

std::vector<ColumnProfile> profile_columns(const RowStore& rows, std::size_t first, std::size_t end,
                                           std::size_t columns) {
    struct Counts {
        std::uint32_t cells = 0, empties = 0, numbers = 0, dates = 0, booleans = 0;
        bool same_shape = true;
        bool varied = false; // some value differs from the first: a shape, not one word
        std::string_view first;
        ColumnProfile profile;
    };
    std::vector<Counts> counts(columns);
    end = std::min(end, rows.row_count());
    for (std::size_t r = first; r < end; ++r) {
        const RowView row = rows.row(r);
        if (row.size() != columns)
            continue;
        std::size_t c = 0;
        for (const FieldView field : row) {
            Counts& column = counts[c++];
            const Cell cell = classify(field.text);
            ++column.cells;
            column.profile.leading_blank = column.profile.leading_blank || cell.leading_blank;
            switch (cell.kind) {
            case CellClass::Empty:
                ++column.empties;
                continue;
            case CellClass::Number:
                ++column.numbers;
                break;
            case CellClass::Date:
                ++column.dates;
                break;
            case CellClass::Boolean:
                ++column.booleans;
                break;
            case CellClass::Text:
                break;
            }
            if (!column.same_shape)
                continue;
            ColumnProfile& profile = column.profile;
            const bool first_value = column.cells - column.empties == 1;
            if (first_value) {
                column.same_shape = cell.text.size() <= profile.code.size();
                if (!column.same_shape)
                    continue;
                column.first = cell.text;
                profile.code_length = static_cast<std::uint8_t>(cell.text.size());
                for (std::size_t i = 0; i < cell.text.size(); ++i)
                    profile.code[i] = code_class(cell.text[i]);
            } else {
                column.same_shape = fits_code(cell.text, profile);
                column.varied = column.varied || cell.text != column.first;
            }
        }
    }
    std::vector<ColumnProfile> out(columns);
    for (std::size_t c = 0; c < columns; ++c) {
        const Counts& column = counts[c];
        ColumnProfile& profile = out[c];
        profile.has_empty = column.empties != 0;
        profile.leading_blank = column.profile.leading_blank;
        const std::uint32_t values = column.cells - column.empties;
        // A row or two tell too little of a column: anything fits it.
        if (column.cells < kMinSampledCells)
            continue; // Unknown
        if (values == 0 || (column.cells >= 4 && 4 * values <= column.cells)) {
            profile.shape = ColumnShape::Empty;
            continue;
        }
        const std::string_view shape(column.profile.code.data(), column.profile.code_length);
        const bool digits = shape.find('9') != std::string_view::npos;
        const bool others = shape.find_first_not_of('9') != std::string_view::npos;
        const bool letters_only = shape.find_first_not_of('a') == std::string_view::npos;
        // Fixed-width codes: digits with letters or marks ("AB-1234"), or
        // short codes of letters ("EUR"); numbers and dates of one width
        // ("47.32", "2024-01-02") are numbers and dates.
        if (column.same_shape && column.varied && column.numbers != values &&
            column.dates != values && values >= 3 &&
            ((digits && others) || (letters_only && shape.size() <= 3 && values >= 5))) {
            profile.shape = ColumnShape::Code;
            profile.code = column.profile.code;
            profile.code_length = column.profile.code_length;
        } else if (column.numbers == values) {
            profile.shape = ColumnShape::Number;
        } else if (column.dates == values) {
            profile.shape = ColumnShape::Date;
        } else if (column.booleans == values) {
            profile.shape = ColumnShape::Boolean;
        } else {
            profile.shape = ColumnShape::Text;
            profile.has_values = column.numbers + column.dates + column.booleans != 0;
        }
    }
    return out;
}

std::optional<Placement> place_repair(const RowView& row, std::span<const ColumnProfile> profiles,
                                      std::string_view separator, PlacementScratch& scratch) {
    const std::size_t n = profiles.size();
    const std::size_t m = row.size();
    const bool extra = m > n;
    const std::size_t k = extra ? m - n : n - m;
    if (n < 2 || m < 2 || k == 0 || k > kMaxPlacedFields || n >= kMaxPlacedWidth)
        return std::nullopt;

    std::vector<std::string_view>& fields = scratch.fields;
    std::vector<Cell>& cells = scratch.cells;
    fields.clear();
    cells.clear();
    for (const FieldView field : row) {
        fields.push_back(field.text);
        cells.push_back(classify(field.text));
    }

    // sums[s][c]: the cost of columns [0, c) each holding the field `s - 2`
    // places to its right (a field past the row's ends costs nothing; no
    // placement's range reaches one).
    constexpr int kShifts = 5;
    std::array<std::vector<int>, kShifts>& sums = scratch.sums;
    for (int s = 0; s < kShifts; ++s) {
        const long shift = s - 2;
        if ((extra && shift < 0) || (!extra && shift > 0) ||
            static_cast<std::size_t>(shift < 0 ? -shift : shift) > k)
            continue;
        std::vector<int>& sum = sums[static_cast<std::size_t>(s)];
        sum.assign(n + 1, 0);
        for (std::size_t c = 0; c < n; ++c) {
            const long field = static_cast<long>(c) + shift;
            const int here = field >= 0 && static_cast<std::size_t>(field) < m
                                 ? cost(cells[static_cast<std::size_t>(field)], profiles[c])
                                 : 0;
            sum[c + 1] = sum[c] + here;
        }
    }
    const auto range = [&](long shift, std::size_t from, std::size_t to) {
        const std::vector<int>& sum = sums[static_cast<std::size_t>(shift + 2)];
        return from >= to ? 0 : sum[to] - sum[from];
    };
    // The cost of fields [first, first + span) joined, in column `column`.
    // Empty fields joined to a value add only delimiters ("7234,,", a
    // stray delimiter at a row's end): the value is judged.
    const auto joined = [&](std::size_t first, std::size_t span, std::size_t column) {
        std::size_t filled = 0, value = first;
        for (std::size_t i = first; i < first + span; ++i)
            if (cells[i].kind != CellClass::Empty) {
                ++filled;
                value = i;
            }
        if (filled <= 1)
            return cost(cells[value], profiles[column]);
        std::string& text = scratch.joined;
        text.assign(fields[first]);
        for (std::size_t i = 1; i < span; ++i) {
            text.append(separator);
            text.append(fields[first + i]);
        }
        return cost(classify(text), profiles[column]);
    };
    const Cell empty{};

    // Where every cell fits as the backend repairs the row, no placement
    // can beat it: most ragged rows are cut short or run on at their end.
    const std::size_t kept = extra ? n - 1 : n - k;
    int at_end = range(0, 0, kept);
    for (std::size_t c = kept; c < n && !extra; ++c)
        at_end += cost(empty, profiles[c]);
    if (at_end == 0 && (!extra || joined(n - 1, k + 1, n - 1) == 0))
        return std::nullopt;

    Ranking ranking;
    Placement backend;
    int budget = kHard - 1;
    if (extra && k == 1) {
        for (std::size_t j = 0; j < n; ++j)
            ranking.offer(range(0, 0, j) + joined(j, 2, j) + range(1, j + 1, n),
                          Placement{true, 1, 2, {static_cast<std::uint32_t>(j), 0}});
        backend = Placement{true, 1, 2, {static_cast<std::uint32_t>(n - 1), 0}};
    } else if (extra) {
        // Two joins of two fields: fields a, a+1 into column a; fields b+1,
        // b+2 into column b.
        std::vector<int>& pair_here = scratch.pair_here;
        std::vector<int>& pair_later = scratch.pair_later;
        pair_here.resize(n);
        pair_later.resize(n);
        for (std::size_t a = 0; a < n; ++a) {
            pair_here[a] = joined(a, 2, a);
            pair_later[a] = joined(a + 1, 2, a);
        }
        for (std::size_t j = 0; j < n; ++j)
            ranking.offer(range(0, 0, j) + joined(j, 3, j) + range(2, j + 1, n),
                          Placement{true, 1, 3, {static_cast<std::uint32_t>(j), 0}});
        for (std::size_t a = 0; a < n; ++a) {
            const int head = range(0, 0, a) + pair_here[a];
            for (std::size_t b = a + 1; b < n; ++b)
                ranking.offer(
                    head + range(1, a + 1, b) + pair_later[b] + range(2, b + 1, n),
                    Placement{true,
                              2,
                              2,
                              {static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b + 1)}});
        }
        backend = Placement{true, 1, 3, {static_cast<std::uint32_t>(n - 1), 0}};
    } else if (k == 1) {
        for (std::size_t g = 0; g < n; ++g)
            ranking.offer(range(0, 0, g) + cost(empty, profiles[g]) + range(-1, g + 1, n),
                          Placement{false, 1, 2, {static_cast<std::uint32_t>(g), 0}});
        backend = Placement{false, 1, 2, {static_cast<std::uint32_t>(n - 1), 0}};
        // The cell that swallowed the lost delimiter fits neither column.
        budget += kHard;
    } else {
        for (std::size_t g1 = 0; g1 < n; ++g1) {
            const int head = range(0, 0, g1) + cost(empty, profiles[g1]);
            for (std::size_t g2 = g1 + 1; g2 < n; ++g2)
                ranking.offer(
                    head + range(-1, g1 + 1, g2) + cost(empty, profiles[g2]) + range(-2, g2 + 1, n),
                    Placement{false,
                              2,
                              2,
                              {static_cast<std::uint32_t>(g1), static_cast<std::uint32_t>(g2)}});
        }
        backend = Placement{
            false, 2, 2, {static_cast<std::uint32_t>(n - 2), static_cast<std::uint32_t>(n - 1)}};
        budget += 2 * kHard;
    }
    if (ranking.best > budget || ranking.second - ranking.best < kMargin ||
        ranking.placement == backend)
        return std::nullopt;
    return ranking.placement;
}

void apply_placement(const RowView& row, const Placement& placement, std::string_view separator,
                     RowStore& out) {
    out.begin_row();
    auto it = row.begin();
    const auto end = row.end();
    if (placement.join) {
        std::size_t next = 0; // the next join
        for (std::size_t i = 0; it != end; ++i) {
            const bool joins = next < placement.count && placement.at[next] == i;
            const std::size_t span = joins ? placement.span : 1;
            for (std::size_t f = 0; f < span && it != end; ++f, ++it) {
                if (f != 0)
                    out.append(separator.data(), separator.size());
                const std::string_view text = (*it).text;
                out.append(text.data(), text.size());
            }
            out.finish_field();
            if (joins) {
                i += span - 1;
                ++next;
            }
        }
        return;
    }
    std::size_t next = 0; // the next gap
    for (std::size_t c = 0; it != end || next < placement.count; ++c) {
        if (next < placement.count && placement.at[next] == c) {
            out.push_empty_field();
            ++next;
            continue;
        }
        const std::string_view text = (*it).text;
        out.append(text.data(), text.size());
        out.finish_field();
        ++it;
    }
}

std::string describe_placement(const Placement& placement) {
    const auto number = [](std::size_t i) { return std::to_string(i + 1); };
    if (placement.join) {
        const std::size_t a = placement.at[0];
        if (placement.span == 3)
            return "fields " + number(a) + " to " + number(a + 2) + " joined into column " +
                   number(a);
        std::string out =
            "fields " + number(a) + " and " + number(a + 1) + " joined into column " + number(a);
        if (placement.count == 2) {
            const std::size_t b = placement.at[1];
            out +=
                ", fields " + number(b) + " and " + number(b + 1) + " into column " + number(b - 1);
        }
        return out;
    }
    if (placement.count == 1)
        return "an empty field put in column " + number(placement.at[0]);
    return "empty fields put in columns " + number(placement.at[0]) + " and " +
           number(placement.at[1]);
}

} // namespace rowmend
