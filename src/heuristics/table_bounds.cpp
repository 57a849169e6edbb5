#include "heuristics/table_bounds.h"

#include <algorithm>
#include <array>
#include <vector>

#include "heuristics/header.h"
#include "heuristics/width_mode.h"
#include "parser/resilient_parser.h"

namespace rowmend {

std::size_t preamble_rows(std::span<const std::size_t> widths) {
    const std::size_t last_start = std::min(widths.size(), kMaxPreambleRows + 1);
    std::vector<std::size_t> rest;
    for (std::size_t start = 0; start < last_start; ++start) {
        const std::size_t width = widths[start];
        // A one-column table has no narrower row to tell a title by.
        if (width < 2)
            continue;
        rest.assign(widths.begin() + static_cast<std::ptrdiff_t>(start), widths.end());
        const WidthMode mode = width_mode(rest, 1);
        if (mode.width != width || 2 * mode.rows <= rest.size())
            continue;
        // Rows before a table wider than they are read as its preamble;
        // one as wide or wider means the table began earlier, ragged.
        const bool narrower =
            std::all_of(widths.begin(), widths.begin() + static_cast<std::ptrdiff_t>(start),
                        [&](std::size_t w) { return w < width; });
        // A row just above the table and more than half its width is more
        // likely its header with names missing than a preamble line.
        const bool apart = start == 0 || 2 * widths[start - 1] <= width;
        return narrower && apart ? start : 0;
    }
    return 0;
}

namespace {

// Whether the rows before `rows` stand apart from the table beyond them:
// either the table keeps more rows in the sample than they are, or each of
// them is of another kind than its rows. A blank or comment line is; so is
// a line of one cell ("Sales report") unless that cell is a value, which
// may be a row cut short; and a wider line with text where the table holds
// numbers or dates ("from,2024"), unless it could be the table's own
// header: labels only, over a table with no header of its own.
bool preamble_is_sure(std::string_view prefix, std::uint8_t delimiter, bool final,
                      std::span<const std::size_t> widths, std::span<const std::size_t> offsets,
                      std::size_t rows) {
    const auto table_rows = static_cast<std::size_t>(
        std::count_if(widths.begin() + static_cast<std::ptrdiff_t>(rows), widths.end(),
                      [](std::size_t width) { return width != 0; }));
    if (table_rows > rows)
        return true;
    RowStore sample;
    ResilientParser table(prefix.substr(offsets[rows]), delimiter, '"', true, final);
    while (sample.row_count() < kHeaderSampleRows && table.step_row(sample) == ParseStep::Row) {
    }
    const bool named = header_rows(sample) != 0;
    const std::vector<bool> values = value_columns(sample, named ? 1 : 0, widths[rows]);
    RowStore row;
    for (std::size_t i = 0; i < rows; ++i) {
        if (widths[i] == 0)
            continue;
        ResilientParser parser(prefix.substr(offsets[i]), delimiter, '"', true, final);
        row.clear();
        if (parser.step_row(row) != ParseStep::Row)
            return false;
        bool text_over_values = false, holds_value = false;
        std::size_t c = 0;
        for (const FieldView field : row.last_row()) {
            const CellKind kind = cell_kind(field.text);
            holds_value = holds_value || kind == CellKind::Number || kind == CellKind::Date;
            text_over_values =
                text_over_values || (c < values.size() && values[c] && kind == CellKind::Text);
            ++c;
        }
        const bool apart =
            widths[i] == 1 ? !holds_value : text_over_values && (named || holds_value);
        if (!apart)
            return false;
    }
    return true;
}

} // namespace

std::optional<TableStart> find_table_start(std::string_view prefix, std::uint8_t delimiter,
                                           std::string_view comment_prefix, bool final,
                                           std::optional<std::size_t> given_rows,
                                           std::size_t sample_bytes, std::size_t runaway_width,
                                           bool comments_may_be_rows) {
    ResilientParser parser(prefix, delimiter, '"', true, final);
    parser.set_runaway_quotes(runaway_width, RunawayQuoteRule{});
    const std::size_t limit = given_rows ? *given_rows : kTableBoundsSampleRows;
    std::vector<std::size_t> widths;
    std::vector<std::size_t> offsets;
    std::vector<std::size_t> comment_widths; // a comment line's fields; 0 for other lines
    RowShape shape;
    ParseStep step = ParseStep::Row;
    // A row that ends past the sample's bytes ends it, whether it is cut off
    // by this prefix or not, so a longer prefix answers the same.
    const bool sampled = !given_rows && sample_bytes != SIZE_MAX;
    auto past_sample = [&](std::size_t end) {
        return sampled && !widths.empty() && end > sample_bytes;
    };
    std::size_t first_end = 0; // where the first row ends, as far as known
    while (widths.size() < limit) {
        const std::size_t at = parser.pos();
        step = parser.step_shape(shape);
        first_end = first_end == 0 && step == ParseStep::Row ? parser.pos() : first_end;
        if (step == ParseStep::NeedMore && past_sample(prefix.size()))
            step = ParseStep::End;
        if (step != ParseStep::Row)
            break;
        if (past_sample(parser.pos())) {
            step = ParseStep::End;
            break;
        }
        const bool comment =
            !comment_prefix.empty() && prefix.substr(at).starts_with(comment_prefix);
        offsets.push_back(at);
        widths.push_back(shape.blank || comment ? 0 : shape.field_count);
        comment_widths.push_back(comment ? shape.field_count : 0);
    }
    // A first row past the sample may hold a quote that never closes: it is
    // read again once with that tested against the lines after it. One cut
    // off by this prefix ends at its end or later.
    first_end = first_end == 0 && step == ParseStep::NeedMore ? prefix.size() : first_end;
    if (sampled && runaway_width == 0 && first_end > sample_bytes) {
        if (const std::size_t width = provisional_width(prefix, sample_bytes, parser); width != 0)
            return find_table_start(prefix, delimiter, comment_prefix, final, given_rows,
                                    sample_bytes, width, comments_may_be_rows);
    }
    if (step == ParseStep::NeedMore)
        return std::nullopt;
    std::size_t rows = given_rows ? widths.size() : preamble_rows(widths);
    if (!given_rows && rows != 0 &&
        !preamble_is_sure(prefix, delimiter, final, widths, offsets, rows))
        return TableStart{0, 0, rows};
    std::size_t own = rows; // the first of the comment lines that may be the table's
    while (comments_may_be_rows && !given_rows && rows < widths.size() && own != 0 &&
           comment_widths[own - 1] == widths[rows])
        --own;
    if (own != rows) {
        ResilientParser table(prefix.substr(offsets[rows]), delimiter, '"', true, final);
        RowStore sample;
        while (sample.row_count() < kHeaderSampleRows && table.step_row(sample) == ParseStep::Row) {
        }
        if (header_rows(sample) == 0)
            rows = own;
    }
    if (rows == 0)
        return TableStart{};
    return TableStart{rows, rows < offsets.size() ? offsets[rows] : parser.pos()};
}

} // namespace rowmend
