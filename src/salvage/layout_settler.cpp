#include "salvage/layout_settler.h"

#include <algorithm>

#include "heuristics/dialect.h"
#include "heuristics/names_line.h"
#include "heuristics/table_bounds.h"
#include "heuristics/table_end.h"
#include "heuristics/trailing_column.h"

namespace rowmend {

void configure_parser(ResilientParser& parser, const SalvageOptions& options,
                      const SalvageCounters& layout, bool trailing_dropped) noexcept {
    parser.set_escape(layout.detected_escape);
    parser.set_trim_after_delimiter(layout.trim_after_delimiter);
    parser.set_quoting(options.quoting);
    // Plain rows are written out as they stand, which is right only
    // when the output quotes with the quote the input was read with.
    if (layout.detected_quote != options.quote_char)
        parser.disable_plain_rows();
    if (options.runaway_quotes)
        parser.set_runaway_quotes(static_cast<std::size_t>(layout.inferred_columns) +
                                      (trailing_dropped ? 1 : 0),
                                  *options.runaway_quotes);
}

bool drop_trailing_field(RowStore& rows, std::uint64_t columns) {
    const RowView last = rows.last_row();
    if (last.size() <= columns || !last.field(last.size() - 1).text.empty())
        return false;
    rows.drop_last_field();
    return true;
}

LayoutSettler::LayoutSettler(const SalvageOptions& options, SalvageCounters& counters) noexcept
    : options_(options), counters_(counters) {}

bool LayoutSettler::settle(std::string_view window, bool final) {
    // A leading byte-order mark must be whole in view before anything parses.
    if (!final && window.size() < 3)
        return false;
    if (window.empty()) {
        // Empty input: comma and 0 columns, whatever the options say.
        counters_.detected_delimiter = ',';
        counters_.detected_quote = options_.quote_char;
        counters_.detected_escape = options_.escape_char;
        counters_.inferred_columns = 0;
    } else {
        std::optional<std::uint8_t> delimiter = options_.delimiter;
        Dialect dialect{options_.delimiter.value_or(','), options_.quote_char, options_.escape_char,
                        options_.trim_after_delimiter};
        if (options_.detect_dialect &&
            (!delimiter || options_.detect_quote || options_.detect_escape)) {
            DialectHint hint{options_.delimiter, options_.trim_after_delimiter, {}, {}};
            if (!options_.detect_quote)
                hint.quote = options_.quote_char;
            if (!options_.detect_escape)
                hint.escape = options_.escape_char;
            // Detection reads a bounded sample: once that is cut from a
            // longer prefix, a retry would read the same bytes to the same
            // answer.
            std::optional<Dialect> found = dialect_;
            if (!found)
                found = detect_dialect_prefix(window, final, hint);
            if (!found)
                return false;
            if (window.size() > kDialectSample)
                dialect_ = found;
            dialect = *found;
            delimiter = dialect.delimiter;
        }
        if (!delimiter) {
            if (!sniffer_)
                sniffer_.emplace();
            delimiter = sniffer_->sniff(window, final);
        }
        if (!delimiter)
            return false;
        dialect.delimiter = *delimiter;
        // The table's shape and header are judged on the rows after any
        // preamble, which is no part of it.
        std::string_view table = window;
        // A first line whose quote swallows the rows below is a names line
        // with a stray quote when, read with the quote as text, it has
        // their width: no preamble then, and theirs is the table's width.
        std::uint64_t names_width = 0;
        if (!options_.expected_columns && options_.repair_header && options_.detect_header &&
            options_.detect_preamble && options_.quoting) {
            const std::optional<std::uint64_t> width =
                width_past_open_quote(window, dialect, final);
            if (!width)
                return false;
            names_width = *width;
        }
        names_width_ = names_width;
        if (names_width != 0) {
            preamble_left_ = 0;
            counters_.preamble_rows = 0;
            notes_.clear();
        } else if (options_.detect_preamble || options_.skip_preamble_rows != 0) {
            const std::string_view comment = !options_.comment_prefix.empty()
                                                 ? std::string_view(options_.comment_prefix)
                                             : options_.detect_comments ? std::string_view("#")
                                                                        : std::string_view();
            std::optional<std::size_t> given;
            if (!options_.detect_preamble)
                given = options_.skip_preamble_rows;
            const std::optional<TableStart> start =
                find_table_start(window, *delimiter, comment, final, given, sample_bytes(), 0,
                                 options_.comment_prefix.empty());
            if (!start)
                return false;
            preamble_left_ = start->rows;
            notes_.clear(); // a retry on a longer prefix decides afresh
            if (start->considered != 0)
                notes_.push_back(
                    {"preamble-kept",
                     "the first " + std::to_string(start->considered) +
                         " rows are narrower than the rows after them and might be a preamble; "
                         "too few rows follow to be sure, so they were read as rows of the table"});
            counters_.preamble_rows = start->rows;
            table = window.substr(start->offset);
        }
        std::optional<std::uint64_t> columns = options_.expected_columns;
        if (names_width != 0) {
            columns = names_width;
        } else if (!columns && options_.detect_dialect) {
            columns = infer_columns_in_dialect(table, dialect, final, sample_bytes(), 0,
                                               options_.quoting);
        } else if (!columns) {
            const auto from = static_cast<std::size_t>(table.data() - window.data());
            if (!column_counter_ || counted_from_ != from) {
                // Without a preamble, the sniffer has read the first rows
                // with this delimiter just as the count reads them.
                if (sniffer_ && from == 0)
                    column_counter_.emplace(sniffer_->take_rows(*delimiter));
                else
                    column_counter_.emplace(*delimiter);
                counted_from_ = from;
            }
            columns = column_counter_->infer(table, final);
        }
        if (!columns)
            return false;
        counters_.detected_delimiter = *delimiter;
        counters_.detected_quote = dialect.quote;
        counters_.detected_escape = dialect.escape;
        counters_.trim_after_delimiter = dialect.trim_blank;
        counters_.inferred_columns = *columns;
        if (options_.detect_trailing_section && options_.detect_preamble &&
            !options_.expected_columns) {
            // Stacked tables: the first is the table, whichever is longer.
            const std::optional<std::optional<StackedStart>> stacked =
                find_stacked_tables(window, final);
            if (!stacked)
                return false;
            if (*stacked && (*stacked)->width != *columns) {
                counters_.inferred_columns = (*stacked)->width;
                preamble_left_ = (*stacked)->leading_rows;
                counters_.preamble_rows = preamble_left_;
                table = window.substr(stacked_offset_);
                notes_.clear();
                notes_.push_back(
                    {"stacked-tables",
                     "the input holds stacked tables of " + std::to_string((*stacked)->width) +
                         " and " + std::to_string(*columns) +
                         " columns: the first is the table, the later ones are set aside"});
            }
        }
        if ((options_.detect_header || options_.detect_footer ||
             options_.detect_trailing_section) &&
            !sample_table(table, final))
            return false;
        if (trailing_dropped_)
            notes_.push_back({"trailing-column-dropped",
                              "every row read to detect the layout ends with a delimiter and "
                              "the column it opens is empty: column " +
                                  std::to_string(counters_.inferred_columns + 1) +
                                  " was dropped as an artifact of the export (expected_columns=" +
                                  std::to_string(counters_.inferred_columns + 1) + " keeps it)"});
    }
    return true;
}

std::optional<std::optional<StackedStart>>
LayoutSettler::find_stacked_tables(std::string_view window, bool final) {
    // A sample of bounded bytes, cut off as though the input ended there:
    // a first row of gigabytes is not parsed a third time.
    const bool cut = window.size() > kStackedSampleBytes;
    ResilientParser parser(window.substr(0, kStackedSampleBytes), counters_.detected_delimiter,
                           counters_.detected_quote, options_.repair_quotes, final || cut);
    configure(parser);
    RowStore rows;
    std::vector<std::size_t> offsets;
    while (rows.row_count() < kHeaderSampleRows) {
        offsets.push_back(parser.pos());
        const ParseStep step = parser.step_row(rows);
        if (step == ParseStep::NeedMore)
            return std::nullopt;
        if (step == ParseStep::End)
            break;
    }
    const std::optional<StackedStart> stacked = stacked_tables(rows);
    if (stacked)
        stacked_offset_ = offsets[stacked->leading_rows];
    return stacked;
}

bool LayoutSettler::sample_table(std::string_view window, bool final) {
    // The rows as the pass itself will parse them, blank ones left out when
    // they will be skipped: the header is judged on the table's own rows.
    ResilientParser parser(window, counters_.detected_delimiter, counters_.detected_quote,
                           options_.repair_quotes, final);
    configure(parser);
    RowStore rows;
    std::vector<std::string> texts; // each kept row's bytes, for the header's
    // Leading rows that begin with '#' and have the table's width: comments
    // above the header, or the table's own first rows (a header "#id,name",
    // cells masked with '#'); the rows below them tell which.
    std::vector<bool> hashed;
    std::size_t section_break = SIZE_MAX; // rows kept above the first blank line below two
    const bool detected_hash = options_.comment_prefix.empty() && options_.detect_comments;
    hash_rows_are_data_ = false;
    // A first line whose quote opens a field that would swallow the rows
    // below, though read with the quote as text it has the table's width:
    // a names line with a stray quote, read so.
    names_quote_as_text_ = names_width_ != 0 && names_width_ == counters_.inferred_columns;
    parser.set_quoting(!names_quote_as_text_);
    while (rows.row_count() < kHeaderSampleRows) {
        const ParseStep step = parser.step_row(rows);
        parser.set_quoting(options_.quoting);
        if (step == ParseStep::NeedMore)
            return false;
        if (step == ParseStep::End)
            break;
        const RowView row = rows.last_row();
        const bool fits = row.size() == counters_.inferred_columns;
        const bool leading_hash = detected_hash && fits &&
                                  parser.last_row_bytes().starts_with('#') &&
                                  std::find(hashed.begin(), hashed.end(), false) == hashed.end();
        const bool blank = options_.skip_blank_rows && is_blank_row(row);
        if (blank ||
            (!leading_hash && is_comment(parser.last_row_bytes(), fits, rows.row_count() > 1))) {
            rows.pop_last_row();
            // A blank line below the table's first rows may end it: what
            // follows is not used to tell its columns' kinds.
            if (blank && rows.row_count() >= 2 && section_break == SIZE_MAX)
                section_break = rows.row_count();
            continue;
        }
        hashed.push_back(leading_hash);
        texts.emplace_back(parser.last_row_bytes());
    }
    // A delimiter ending every row: the empty column it opens goes, and
    // the header and the columns' kinds are judged without it.
    // A range of a larger input drops it when the input's start did; its
    // column count is the one left.
    const bool pinned = options_.range && options_.range->trailing_dropped;
    trailing_dropped_ = pinned || (options_.drop_trailing_column && !options_.expected_columns &&
                                   trailing_empty_column(rows, counters_.inferred_columns));
    if (trailing_dropped_) {
        if (!pinned)
            --counters_.inferred_columns;
        RowStore trimmed;
        for (std::size_t r = 0; r < rows.row_count(); ++r) {
            trimmed.append_row(rows.row(r));
            drop_trailing_field(trimmed, counters_.inferred_columns);
        }
        rows = std::move(trimmed);
    }
    const auto first_other = std::find(hashed.begin(), hashed.end(), false);
    if (first_other != hashed.begin()) {
        const auto other = static_cast<std::size_t>(first_other - hashed.begin());
        RowStore rest;
        for (std::size_t r = other; r < rows.row_count(); ++r)
            rest.append_row(rows.row(r));
        // With no other row, or none that names the columns below them,
        // the '#' rows are the table's.
        hash_rows_are_data_ = other == hashed.size() || header_rows(rest) == 0;
        if (!hash_rows_are_data_) {
            rows = std::move(rest);
            section_break = section_break == SIZE_MAX || section_break <= other
                                ? SIZE_MAX
                                : section_break - other;
            texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(other));
        }
    }
    names_repair_.reset();
    if (options_.detect_header && options_.repair_header)
        repair_names(rows, texts);
    names_quote_as_text_ = names_quote_as_text_ && names_repair_.has_value();
    if (options_.detect_header) {
        counters_.header_rows = static_cast<std::uint8_t>(header_rows(rows));
        counters_.header_row = counters_.header_rows != 0;
    }
    // A column's kind: numbers or dates when every filled cell below the
    // header is one, else text; empty when none is filled. Only rows of the
    // table's width count: a narrow one may be the very footer to judge.
    const std::size_t columns = static_cast<std::size_t>(counters_.inferred_columns);
    column_kinds_.assign(columns, CellKind::Empty);
    const std::size_t kinds_end = section_break > counters_.header_rows
                                      ? std::min(section_break, rows.row_count())
                                      : rows.row_count();
    for (std::size_t r = counters_.header_rows; r < kinds_end; ++r) {
        if (rows.row(r).size() != columns)
            continue;
        std::size_t i = 0;
        for (const FieldView field : rows.row(r)) {
            if (i >= columns)
                break;
            const CellKind kind = cell_kind(field.text);
            CellKind& column = column_kinds_[i++];
            if (kind != CellKind::Empty)
                column = column == CellKind::Empty || column == kind ? kind : CellKind::Text;
        }
    }
    if (options_.place_repairs)
        profiles_ = profile_columns(rows, counters_.header_rows, kinds_end, columns);
    if (options_.detect_totals) {
        std::vector<bool> numeric(columns);
        for (std::size_t c = 0; c < columns; ++c)
            numeric[c] = column_kinds_[c] == CellKind::Number;
        if (std::find(numeric.begin(), numeric.end(), true) != numeric.end())
            sums_.emplace(std::move(numeric), counters_.header_rows);
        else
            sums_.reset();
    }
    if (counters_.header_row && options_.detect_trailing_section) {
        // What tells a second table's header from the table's own rows.
        const std::size_t first = counters_.header_rows;
        if (kinds_end < rows.row_count()) {
            RowStore above; // the rows above a blank line below the table's first
            for (std::size_t r = 0; r < kinds_end; ++r)
                above.append_row(rows.row(r));
            value_columns_ = rowmend::value_columns(above, first, rows.row(first - 1).size());
        } else {
            value_columns_ = rowmend::value_columns(rows, first, rows.row(first - 1).size());
        }
        header_text_ = texts[first - 1];
    }
    return true;
}

void LayoutSettler::repair_names(RowStore& rows, const std::vector<std::string>& texts) {
    const auto columns = static_cast<std::size_t>(counters_.inferred_columns);
    const auto quote = static_cast<char>(counters_.detected_quote);
    // The usual case, at once: a first line of the table's width, no quote in it.
    if (rows.row_count() == 0 ||
        (rows.row(0).size() == columns && texts.front().find(quote) == std::string::npos))
        return;
    std::optional<NamesRepair> repair = repair_names_line(
        rows, texts.front(), columns, static_cast<char>(counters_.detected_delimiter), quote);
    if (!repair)
        return;
    RowStore repaired;
    repaired.begin_row();
    for (const std::string& name : repair->names) {
        repaired.append(name.data(), name.size());
        repaired.finish_field(true);
    }
    for (std::size_t r = 1; r < rows.row_count(); ++r)
        repaired.append_row(rows.row(r));
    // The repaired line must read as the names over the rows; else it
    // stays as the backend reads it.
    if (header_rows(repaired) == 0) {
        names_quote_as_text_ = false;
        return;
    }
    rows = std::move(repaired);
    // A names line is short; a first row of megabytes is not copied whole.
    constexpr std::size_t kShown = 200;
    const std::string& line = texts.front();
    std::size_t cut = std::min(line.size(), kShown);
    while (cut < line.size() && cut != 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
        --cut; // not inside a character
    const std::string shown = line.substr(0, cut) + (cut < line.size() ? "..." : "");
    notes_.push_back({"header-repaired", "the names line \"" + shown +
                                             "\" was repaired to the table's " +
                                             std::to_string(columns) + " columns: " + repair->what +
                                             " (repairs='backend' keeps it as read)"});
    names_repair_ = std::move(repair->names);
}

std::optional<std::uint64_t>
LayoutSettler::width_past_open_quote(std::string_view window, const Dialect& dialect, bool final) {
    const std::size_t line_end = window.find_first_of("\r\n");
    if (line_end == std::string_view::npos)
        return 0;
    const std::string_view line = window.substr(0, line_end);
    if (!has_open_quote(line, static_cast<char>(dialect.quote)))
        return 0;
    const std::optional<std::uint64_t> below = infer_columns_in_dialect(
        window.substr(line_end + 1), dialect, final, sample_bytes(), 0, options_.quoting);
    if (!below)
        return std::nullopt;
    if (*below < 2 || literal_fields(line, static_cast<char>(dialect.delimiter)) != *below)
        return 0;
    // A quoted name that holds a line break ("a,b,\"c\nd\"") closes before
    // the input ends and makes a row of the table's width: it is no stray
    // quote.
    // Read no further than the heuristics do: a quote that never closes
    // must not hold the input back.
    const std::string_view sample = window.substr(0, kRunawaySampleBytes);
    ResilientParser parser(sample, dialect.delimiter, dialect.quote, options_.repair_quotes,
                           final || sample.size() < window.size());
    parser.set_escape(dialect.escape);
    parser.set_trim_after_delimiter(dialect.trim_blank);
    RowStore first;
    const ParseStep step = parser.step_row(first);
    if (step == ParseStep::NeedMore)
        return std::nullopt;
    const bool closes = step == ParseStep::Row && parser.pos() < sample.size();
    return closes && first.last_row().size() == *below ? 0 : *below;
}

} // namespace rowmend
