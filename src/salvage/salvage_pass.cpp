#include "salvage/salvage_pass.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "heuristics/dialect.h"
#include "heuristics/header.h"
#include "heuristics/table_bounds.h"
#include "heuristics/trailing_column.h"
#include "parser/utf8.h"
#include "salvage/byte_text.h"

namespace rowmend {

namespace {

bool is_whitespace(std::string_view text) noexcept {
    utf8::WhitespaceMatcher matcher;
    matcher.feed(text.data(), text.size());
    return matcher.matched();
}

// The same blankness the counting parser reports: one field, White_Space only.
bool is_blank_row(const RowView& fields) {
    return fields.size() == 1 && is_whitespace((*fields.begin()).text);
}

// A row of two or more cells, each empty or blank, as spreadsheets export
// the empty rows below a table.
bool is_empty_cells_row(const RowView& fields) {
    if (fields.size() < 2)
        return false;
    for (const FieldView field : fields) {
        if (field.text.empty())
            continue;
        // A printable ASCII byte first is no blank: most cells stop here
        // without the Unicode whitespace test.
        const auto first = static_cast<unsigned char>(field.text.front());
        if ((first > ' ' && first < 0x7F) || !is_whitespace(field.text))
            return false;
    }
    return true;
}

// The same for one plain line: nothing but delimiters and blanks.
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

} // namespace

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
    }
    return "unknown";
}

SalvagePass::SalvagePass(const SalvageOptions& options, RowSink& sink)
    : options_(options), sink_(sink) {}

char* SalvagePass::window_space(std::size_t n) {
    compact();
    return window_.spare(n);
}

bool SalvagePass::commit(std::size_t n) {
    window_.commit(n);
    const std::size_t pending = window_.size() - begin_;
    // Until this many bytes are pending, the row at hand (or the heuristics'
    // rows) would only run past the window again.
    if (pending < retry_at_)
        return !stopped_;
    return process(std::string_view(window_.data() + begin_, pending), false);
}

bool SalvagePass::feed(const char* data, std::size_t n) {
    if (n != 0)
        std::memcpy(window_space(n), data, n);
    return commit(n);
}

bool SalvagePass::finish() {
    return process(std::string_view(window_.data() + begin_, window_.size() - begin_), true);
}

bool SalvagePass::run_buffer(std::string_view input) {
    borrowed_ = true;
    return process(input, true);
}

std::size_t SalvagePass::next_read_size() const noexcept {
    const std::size_t pending = window_.size() - begin_;
    return retry_at_ > pending && retry_at_ - pending > kWindow ? retry_at_ - pending : kWindow;
}

void SalvagePass::compact() noexcept {
    // Moving the unconsumed tail to the front costs a copy of a row in
    // progress, so it happens only when at least as much is free in front.
    const std::size_t pending = window_.size() - begin_;
    if (begin_ == 0 || begin_ < pending)
        return;
    if (pending != 0)
        std::memmove(window_.data(), window_.data() + begin_, pending);
    window_.truncate(pending);
    dropped_ += begin_;
    begin_ = 0;
}

bool SalvagePass::settle(std::string_view window, bool final) {
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
            const std::optional<Dialect> found = detect_dialect_prefix(window, final, hint);
            if (!found)
                return false;
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
        if (options_.detect_preamble || options_.skip_preamble_rows != 0) {
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
        if (!columns && options_.detect_dialect) {
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
    sniffer_.reset();
    column_counter_.reset();
    separator_ = ByteText(counters_.detected_delimiter).view();
    if (counters_.trim_after_delimiter)
        separator_ += ' ';
    parser_.emplace(window, counters_.detected_delimiter, counters_.detected_quote,
                    options_.repair_quotes, final);
    configure(*parser_);
    return true;
}

std::optional<std::optional<StackedStart>> SalvagePass::find_stacked_tables(std::string_view window,
                                                                            bool final) {
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

bool SalvagePass::sample_table(std::string_view window, bool final) {
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
    while (rows.row_count() < kHeaderSampleRows) {
        const ParseStep step = parser.step_row(rows);
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
    trailing_dropped_ = options_.drop_trailing_column && !options_.expected_columns &&
                        trailing_empty_column(rows, counters_.inferred_columns);
    if (trailing_dropped_) {
        --counters_.inferred_columns;
        RowStore trimmed;
        for (std::size_t r = 0; r < rows.row_count(); ++r) {
            trimmed.append_row(rows.row(r));
            drop_trailing_field(trimmed);
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
            value_columns_ = value_columns(above, first, rows.row(first - 1).size());
        } else {
            value_columns_ = value_columns(rows, first, rows.row(first - 1).size());
        }
        header_text_ = texts[first - 1];
    }
    return true;
}

bool SalvagePass::looks_cut_off(const RowView& fields, std::size_t width, bool unterminated) const {
    // A data row cut short holds values of its columns' kinds; a footer
    // ("Total", "Generated on ...") puts text where numbers or dates stand.
    // The last cell of a row the input ends inside may be cut mid-value.
    // With no full row in view there is no table for it to trail.
    if (std::all_of(column_kinds_.begin(), column_kinds_.end(),
                    [](CellKind kind) { return kind == CellKind::Empty; }))
        return true;
    bool matches = false;
    std::size_t i = 0;
    for (const FieldView field : fields) {
        if (i >= width || (unterminated && i + 1 == width))
            break;
        const CellKind column = i < column_kinds_.size() ? column_kinds_[i] : CellKind::Empty;
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

bool SalvagePass::finish_held() {
    // At the end of input the held rows are a footer, unless they are one
    // narrow row that reads as data cut short: a truncated file's last row
    // is rescued, not set aside.
    if (options_.footer_rows != 0) {
        // A given footer: whatever is still held is the last rows.
        for (std::size_t i = held_front_; i < held_.size(); ++i) {
            const HeldRow& held = held_[i];
            if (!skip(held.skipped.value_or(SkipKind::Footer), held.line, held.text))
                return false;
        }
        held_.clear();
        held_front_ = 0;
        held_rows_.release();
        held_spare_.release();
        return true;
    }
    if (later_) {
        // Held since a row of another width: another table when the rows
        // say so; else wide rows are the table's long rows, and narrow ones
        // or a section after a blank line are judged below as ever.
        if (later_->confirmed_at_end())
            return set_later_table_aside();
        if (!later_after_blank_ && later_->width() > counters_.inferred_columns)
            return release_held();
        later_.reset();
    }
    const HeldRow* only = nullptr;
    const HeldRow* first_empty = nullptr;
    std::size_t rows = 0;
    std::size_t empties = 0;
    for (const HeldRow& held : held_) {
        if (held.empty && empties++ == 0)
            first_empty = &held;
        if (!held.skipped && !held.empty) {
            ++rows;
            only = &held;
        }
    }
    if (rows == 1 && only->width < counters_.inferred_columns && !only->total &&
        looks_cut_off(held_rows_.row(only->row), only->width, only->unterminated))
        return release_held();
    // Rows after a blank line that are no more than the table going on,
    // ragged (values of the columns' kinds where it has them), stay in it:
    // setting them aside would take a guess for the table.
    const bool section_is_table =
        !options_.detect_footer && rows != 0 &&
        std::all_of(held_.begin(), held_.end(), [&](const HeldRow& held) {
            return held.skipped || held.total || held.empty ||
                   (held.width != counters_.inferred_columns &&
                    looks_cut_off(held_rows_.row(held.row), held.width, held.unterminated) &&
                    !std::all_of(column_kinds_.begin(), column_kinds_.end(),
                                 [](CellKind kind) { return kind == CellKind::Empty; }));
        });
    if (section_is_table && !(rows == 1 && only->total)) {
        if (!sink_.note({"section-kept",
                         "the rows from line " + std::to_string(held_.front().line) +
                             " on have another width than the table's but hold values of its "
                             "columns: kept as rows of the table"}))
            return false;
        return release_held();
    }
    if (empties != 0 && !sink_.note({"empty-rows", std::to_string(empties) +
                                                       " rows of empty cells after the table, "
                                                       "from line " +
                                                       std::to_string(first_empty->line) +
                                                       " on, were set aside as blank rows"}))
        return false;
    for (const HeldRow& held : held_) {
        const bool ok = held.total && !held.skipped ? settle_total(held)
                        : held.empty
                            ? skip(SkipKind::Blank, held.line, held.text)
                            : skip(held.skipped.value_or(SkipKind::Footer), held.line, held.text);
        if (!ok)
            return false;
    }
    held_.clear();
    held_rows_.release();
    return true;
}

bool SalvagePass::drop_trailing_field(RowStore& rows) const {
    const RowView last = rows.last_row();
    if (last.size() <= counters_.inferred_columns || !last.field(last.size() - 1).text.empty())
        return false;
    rows.drop_last_field();
    return true;
}

RowFate SalvagePass::bring_to_width(RowStore& rows) {
    const std::uint64_t columns = counters_.inferred_columns;
    const std::size_t width = rows.last_row().size();
    if (columns == 0 || width == columns)
        return RowFate::Kept;
    if (width < columns) {
        if (!options_.fill_ragged_rows)
            return RowFate::TooFew;
        rows.pad_last_row(static_cast<std::size_t>(columns));
        return RowFate::Filled;
    }
    if (!options_.merge_overflow)
        return RowFate::TooMany;
    rows.merge_last_row_tail(static_cast<std::size_t>(columns - 1), separator_);
    return RowFate::Merged;
}

bool SalvagePass::skip(SkipKind kind, std::uint64_t line, std::string_view text) {
    ++counters_.total_rows;
    ++counters_.skipped_rows;
    ++counters_.skipped_by_kind[static_cast<std::size_t>(kind)];
    return sink_.skipped(SkippedRow{kind, line, text});
}

bool SalvagePass::is_comment(std::string_view text, bool fits, bool table_started) const noexcept {
    if (!options_.comment_prefix.empty())
        return text.starts_with(options_.comment_prefix);
    // A '#' row of the table's width inside the table may well be data,
    // and so may those before it unless they stand above its header.
    return options_.detect_comments && text.starts_with('#') &&
           (!fits || (!table_started && !hash_rows_are_data_));
}

bool SalvagePass::emit_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line) {
    // Only single-column rows can be blank: a plain row of more columns has
    // a delimiter. Plain rows have the table's width, so a detected comment
    // among them can only come before the table. Otherwise the run goes on
    // whole, as the fast path meant.
    const bool may_blank = options_.skip_blank_rows && counters_.inferred_columns <= 1;
    const bool may_comment =
        !options_.comment_prefix.empty() || (options_.detect_comments && !table_started());
    if (!may_blank && !may_comment) {
        counters_.total_rows += rows;
        counters_.salvaged_rows += rows;
        return tell_plain(lines, rows, first_line);
    }
    // Each plain row is one physical line ending in LF: cut the run around
    // the lines to skip and hand on the rest as plain runs.
    std::size_t run_begin = 0;
    std::size_t run_rows = 0;
    std::uint64_t run_line = first_line;
    std::size_t at = 0;
    bool started = table_started();
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t lf = lines.find('\n', at);
        const std::string_view text = lines.substr(at, lf - at);
        const std::uint64_t line = first_line + i;
        std::optional<SkipKind> kind;
        if (may_blank &&
            text.find(static_cast<char>(counters_.detected_delimiter)) == std::string_view::npos &&
            is_whitespace(text))
            kind = SkipKind::Blank;
        else if (may_comment && is_comment(text, true, started))
            kind = SkipKind::Comment;
        if (kind) {
            if (run_rows != 0) {
                counters_.total_rows += run_rows;
                counters_.salvaged_rows += run_rows;
                if (!tell_plain(lines.substr(run_begin, at - run_begin), run_rows, run_line))
                    return false;
            }
            if (!skip(*kind, line, text))
                return false;
            run_begin = lf + 1;
            run_rows = 0;
            run_line = line + 1;
        } else {
            ++run_rows;
            started = true;
        }
        at = lf + 1;
    }
    if (run_rows == 0)
        return true;
    counters_.total_rows += run_rows;
    counters_.salvaged_rows += run_rows;
    return tell_plain(lines.substr(run_begin, at - run_begin), run_rows, run_line);
}

bool SalvagePass::tell_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line) {
    if (sums_)
        sums_->add_lines(lines, static_cast<char>(counters_.detected_delimiter));
    return sink_.plain_rows(lines, rows, first_line);
}

bool SalvagePass::hold_plain_line(std::string_view line, std::uint64_t at, bool total) {
    // Held rows are bounded: past so many, rows of empty cells are the
    // table's, as they are inside a run of plain rows.
    if (!total && held_.size() >= kMaxEmptyRows && !release_held())
        return false;
    // A plain line has no quote: its fields are its pieces between delimiters.
    const std::size_t row = held_rows_.row_count();
    held_rows_.append_split_row(line, static_cast<char>(counters_.detected_delimiter));
    const std::size_t width = held_rows_.last_row().size();
    held_.push_back(HeldRow{RowFate::Kept, at, std::string(line), std::nullopt, row, false, false,
                            width, false, false, total, !total});
    if (!total)
        section_open_ = section_open_ || options_.detect_trailing_section;
    return true;
}

bool SalvagePass::settle_total(const HeldRow& held) {
    // The last row of the table, labelled total: a footer only when its
    // numbers are the sums of their columns, else a row of the table.
    const ColumnSums::Verdict verdict = sums_->check(held_rows_.row(held.row));
    const std::string line = "line " + std::to_string(held.line);
    if (verdict == ColumnSums::Verdict::Sums) {
        return sink_.note({"totals-footer", line +
                                                " is a totals row (its label says total and its "
                                                "numbers are the sums of the columns above): set "
                                                "aside as a footer"}) &&
               skip(SkipKind::Footer, held.line, held.text);
    }
    const std::string why =
        verdict == ColumnSums::Verdict::Unknown
            ? " reads as a totals row, but the table is too long for its sums to be checked"
            : " reads as a totals row, but its numbers are not the sums of the columns above";
    return sink_.note({"totals-kept", line + why + ": kept as a row of the table"}) &&
           emit_row(held.fate, held.line, held_rows_.row(held.row), held.text, held.quote_repaired,
                    held.bytes_replaced, held.quote_read_as_text);
}

bool SalvagePass::emit_row(RowFate fate, std::uint64_t line, const RowView& fields,
                           std::string_view text, bool quote_repaired, bool bytes_replaced,
                           bool quote_read_as_text) {
    filled_before_ = filled_before_ || (counters_.salvaged_rows + counters_.quarantined_rows >=
                                            counters_.header_rows &&
                                        !is_empty_cells_row(fields));
    ++counters_.total_rows;
    if (is_retained(fate)) {
        if (sums_)
            sums_->add(fields);
        ++counters_.salvaged_rows;
        counters_.repaired_rows += is_repaired(fate) || quote_read_as_text ? 1 : 0;
    } else {
        ++counters_.quarantined_rows;
    }
    assert(counters_.total_rows ==
           counters_.salvaged_rows + counters_.quarantined_rows + counters_.skipped_rows);
    return sink_.row(
        RowEvent{fate, line, fields, text, quote_repaired, bytes_replaced, quote_read_as_text});
}

bool SalvagePass::names_row(const RowView& row, std::string_view text) const {
    if (text == header_text_)
        return false; // the header again: the same table goes on
    bool text_over_values = false;
    std::size_t c = 0;
    for (const FieldView field : row) {
        const CellKind kind = cell_kind(field.text);
        if (kind != CellKind::Text)
            return false;
        text_over_values = text_over_values || (c < value_columns_.size() && value_columns_[c]);
        ++c;
    }
    return text_over_values;
}

bool SalvagePass::summary_row(const RowView& row) const {
    bool words_over_values = false;
    std::size_t c = 0;
    for (const FieldView field : row) {
        const CellKind kind = cell_kind(field.text);
        if (kind == CellKind::Number || kind == CellKind::Date)
            return false;
        words_over_values = words_over_values || (kind == CellKind::Text &&
                                                  c < value_columns_.size() && value_columns_[c]);
        ++c;
    }
    return words_over_values;
}

bool SalvagePass::hold_last(HeldRow held, const RowView* fields) {
    if (fields != nullptr) {
        held.row = held_rows_.row_count();
        held_rows_.append_row(*fields);
        held_data_rows_ = true;
    }
    held_.push_back(std::move(held));
    if (held_.size() - held_front_ <= options_.footer_rows)
        return true;
    const HeldRow& oldest = held_[held_front_++];
    const bool ok = oldest.skipped ? skip(*oldest.skipped, oldest.line, oldest.text)
                                   : emit_row(oldest.fate, oldest.line, held_rows_.row(oldest.row),
                                              oldest.text, oldest.quote_repaired,
                                              oldest.bytes_replaced, oldest.quote_read_as_text);
    if (held_front_ >= options_.footer_rows)
        drop_released_held();
    return ok;
}

void SalvagePass::drop_released_held() {
    // The rows still held move to fresh storage once as many have gone:
    // each row is copied about once, and at most twice footer_rows are kept.
    held_spare_.clear();
    for (std::size_t i = held_front_; i < held_.size(); ++i) {
        HeldRow& held = held_[i];
        if (!held.skipped) {
            const std::size_t row = held_spare_.row_count();
            held_spare_.append_row(held_rows_.row(held.row));
            held.row = row;
        }
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(held_front_));
    held_front_ = 0;
    std::swap(held_rows_, held_spare_);
}

bool SalvagePass::note_trailing_value(std::uint64_t line) {
    // A value in the column dropped: the row is long, merged as any.
    trailing_value_noted_ = true;
    return sink_.note({"trailing-column-value", "line " + std::to_string(line) +
                                                    " has a value in the column " +
                                                    std::to_string(counters_.inferred_columns + 1) +
                                                    " dropped as empty: it is read as a long row"});
}

bool SalvagePass::later_row(std::uint64_t line, bool fits, std::string_view text) {
    const RowView row = row_.last_row();
    const std::size_t columns = static_cast<std::size_t>(counters_.inferred_columns);
    if (later_) {
        const bool held = !fits || later_->width() == columns;
        if (held)
            later_->add(row, column_kinds_);
        return held;
    }
    if (!(held_.empty() || section_open_) || !table_started() || second_table_ || columns < 2 ||
        row.size() < 2 ||
        // A long row whose cells fit the table's columns is one of its own.
        !((row.size() > columns && conflicts_with_columns(row, column_kinds_)) ||
          names_another_table(row, column_kinds_, !section_open_)) ||
        !(!fits || names_row(row, text)))
        return false;
    later_.emplace(row, column_kinds_, section_open_);
    // A section's title held above it is its own.
    later_line_ = held_.empty() ? line : held_.front().line;
    later_after_blank_ = section_open_;
    return true;
}

bool SalvagePass::hold_later(HeldRow held) {
    held_.push_back(std::move(held));
    held_rows_.append_row(row_.last_row());
    // Sure: set aside; too long to hold and still unsure: the rows are the
    // table's, as they were before.
    return later_->confirmed()               ? set_later_table_aside()
           : held_.size() >= kMaxSectionRows ? release_held()
                                             : true;
}

bool SalvagePass::set_later_table_aside() {
    // Every held row is the later table's (blank and comment lines, and
    // rows of empty cells, as what they are); the rows after them follow.
    // Told as soon as it is sure, so that detection hears of it.
    const std::size_t width = later_->width();
    if (!sink_.note({"later-table",
                     "line " + std::to_string(later_line_) +
                         " starts another table below the first (" + std::to_string(width) +
                         " columns, or names and values unlike the first's): it and every line "
                         "after it, to the end of the input, were set aside as a section "
                         "(skip_footer=False keeps them)"}))
        return false;
    later_.reset();
    later_set_aside_ = true;
    section_open_ = false;
    second_table_ = false;
    for (const HeldRow& held : held_) {
        const SkipKind kind =
            held.skipped.value_or(held.empty ? SkipKind::Blank : SkipKind::Footer);
        if (!skip(kind, held.line, held.text))
            return false;
    }
    held_.clear();
    held_rows_.clear();
    return true;
}

bool SalvagePass::release_held() {
    // The held rows were no footer: they go on as the rows they are.
    later_.reset();
    for (std::size_t i = held_front_; i < held_.size(); ++i) {
        const HeldRow& held = held_[i];
        const bool ok = held.skipped ? skip(*held.skipped, held.line, held.text)
                                     : emit_row(held.fate, held.line, held_rows_.row(held.row),
                                                held.text, held.quote_repaired, held.bytes_replaced,
                                                held.quote_read_as_text);
        if (!ok)
            return false;
    }
    held_.clear();
    held_front_ = 0;
    held_rows_.clear();
    return true;
}

bool SalvagePass::skip_or_hold(SkipKind kind, std::uint64_t line, std::string_view text) {
    if (options_.footer_rows != 0)
        return hold_last(HeldRow{RowFate::Kept, line, std::string(text), kind, 0}, nullptr);
    // Between held rows a blank or comment line waits with them, so the
    // sink hears every row in input order; a long run of them ends the wait.
    if (held_.empty() || held_.size() >= 4 * kMaxFooterRows)
        return release_held() && skip(kind, line, text);
    held_.push_back(HeldRow{RowFate::Kept, line, std::string(text), kind, 0});
    return true;
}

bool SalvagePass::process(std::string_view window, bool final) {
    if (stopped_ || finished_)
        return !stopped_;
    if (!parser_) {
        if (!settle(window, final)) {
            // The heuristics' rows run past what is here: look again once
            // the input seen has doubled.
            retry_at_ = 2 * window.size();
            return true;
        }
        if (!sink_.begin(counters_))
            return !(stopped_ = true);
        for (const DetectionNote& note : notes_)
            if (!sink_.note(note))
                return !(stopped_ = true);
        notes_.clear();
    } else {
        parser_->advance_window(window, final);
    }

    ResilientParser& parser = *parser_;
    const auto columns = static_cast<std::size_t>(counters_.inferred_columns);
    ParseStep step;
    for (;;) {
        // Most rows of most files need no repair: hand them on in runs.
        // Preamble rows are counted one by one instead.
        // After a blank line behind the table, the next row is looked at
        // on its own: it may start a trailing section.
        // A given footer holds every row, so none is handed on in runs.
        if (preamble_left_ == 0 && !section_open_ && !second_table_ && options_.footer_rows == 0 &&
            !later_ && !later_set_aside_) {
            const std::size_t first_line = parser.line();
            std::size_t plain = 0;
            const std::string_view run = parser.take_plain_rows(columns, SIZE_MAX, plain);
            if (plain != 0) {
                narrow_run_ = 0;
                section_open_ = false;
                // The run's last rows may be rows of empty cells and a
                // totals row above them, the last of the table: they wait,
                // as what follows decides. Empty rows wait only below a
                // data row that holds something: a table of empty rows is
                // a table.
                const char delimiter = static_cast<char>(counters_.detected_delimiter);
                const std::uint64_t before = counters_.salvaged_rows + counters_.quarantined_rows;
                std::size_t keep = run.size(); // bytes of the rows handed on now
                std::size_t rows = plain;
                const auto last_line = [&](std::size_t& cut) {
                    cut = keep < 2 ? 0 : run.find_last_of('\n', keep - 2) + 1;
                    return run.substr(cut, keep - 1 - cut);
                };
                std::size_t cut = 0;
                while (options_.skip_blank_rows && rows != 0 &&
                       is_empty_cells_line(last_line(cut), delimiter)) {
                    keep = cut;
                    --rows;
                }
                const bool filled_data = rows != 0 && before + rows - 1 >= counters_.header_rows;
                if (!filled_before_ && !filled_data) {
                    keep = run.size();
                    rows = plain;
                }
                filled_before_ = filled_before_ || filled_data;
                bool total = false;
                if (rows != 0 && sums_ && has_total_label(last_line(cut), delimiter)) {
                    total = true;
                    keep = cut;
                    --rows;
                }
                // Held rows wait on while only more of the same comes.
                if (rows != 0 &&
                    (!release_held() || !emit_plain(run.substr(0, keep), rows, first_line)))
                    return !(stopped_ = true);
                for (std::size_t i = rows; i < plain; ++i) {
                    const std::size_t lf = run.find('\n', keep);
                    if (!hold_plain_line(run.substr(keep, lf - keep), first_line + i,
                                         total && i == rows))
                        return !(stopped_ = true);
                    keep = lf + 1;
                }
            }
        }

        const std::size_t line = parser.line();
        row_.clear();
        step = parser.step_row(row_);
        if (step != ParseStep::Row)
            break;
        const bool replaced = row_.last_row_replaced();
        if (trailing_dropped_ && !drop_trailing_field(row_) && !trailing_value_noted_ &&
            row_.last_row().size() > columns && !note_trailing_value(line))
            return !(stopped_ = true);
        const bool preamble = preamble_left_ != 0;
        if (preamble)
            --preamble_left_;
        if (options_.skip_blank_rows && is_blank_row(row_.last_row())) {
            section_open_ = section_open_ || (options_.detect_trailing_section && table_started());
            if (!skip_or_hold(SkipKind::Blank, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        if (is_comment(parser.last_row_bytes(), columns == 0 || row_.last_row().size() == columns,
                       table_started())) {
            if (!skip_or_hold(SkipKind::Comment, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        if (preamble) {
            if (!skip(SkipKind::Preamble, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        if (later_set_aside_) {
            if (!skip(SkipKind::Footer, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        const std::size_t width = row_.last_row().size();
        const bool narrow = width < columns;
        const bool fits = columns == 0 || width == columns;
        // A row of another width, or one naming another table of the same,
        // may start a later table: it and the rows below wait until they
        // say which. Its cells are judged as parsed.
        const bool held_later =
            (later_ || (options_.detect_trailing_section && (!fits || section_open_))) &&
            later_row(line, fits, parser.last_row_bytes());
        const RowFate fate = bring_to_width(row_);
        if (options_.footer_rows != 0) {
            const RowView fields = row_.last_row();
            if (!hold_last(HeldRow{fate, line, std::string(parser.last_row_bytes()), std::nullopt,
                                   0, parser.last_row_repaired_quote(), replaced, width, false,
                                   parser.last_row_quote_read_as_text()},
                           &fields))
                return !(stopped_ = true);
            continue;
        }
        // A narrow row after the table's first row may start its footer, and
        // a row of another width after a blank line a trailing section: hold
        // it back until a row of the table or the end of input says.
        narrow_run_ = narrow ? narrow_run_ + 1 : 0;
        second_table_ = (second_table_ || (section_open_ && fits && !value_columns_.empty() &&
                                           names_row(row_.last_row(), parser.last_row_bytes()))) &&
                        held_.size() < kMaxSectionRows;
        section_open_ = section_open_ && !fits && held_.size() < kMaxSectionRows;
        const bool footer = section_open_ || second_table_ ||
                            (narrow && table_started() && narrow_run_ <= kMaxFooterRows &&
                             (options_.detect_footer ||
                              (options_.detect_trailing_section && summary_row(row_.last_row()))));
        // A row held for its total label alone is judged by its sums.
        const bool total = !footer && sums_ && held_.empty() && is_retained(fate) &&
                           has_total_label(row_.last_row());
        // Rows of empty cells below the table are blank rows when nothing
        // of the table follows them; a section may.
        const bool empty = options_.skip_blank_rows && filled_before_ && !section_open_ &&
                           !second_table_ && is_empty_cells_row(row_.last_row());
        if (empty) {
            section_open_ = options_.detect_trailing_section;
            if (held_.size() >= kMaxEmptyRows && !release_held())
                return !(stopped_ = true);
        }
        if (held_later) {
            if (!hold_later(HeldRow{fate, line, std::string(parser.last_row_bytes()), std::nullopt,
                                    held_rows_.row_count(), parser.last_row_repaired_quote(),
                                    replaced, width, false, parser.last_row_quote_read_as_text(),
                                    false, false}))
                return !(stopped_ = true);
            continue;
        }
        if (footer || total || empty) {
            // The input ends inside a row when nothing, not even a line
            // break, follows its bytes.
            const std::string_view text = parser.last_row_bytes();
            const bool unterminated =
                final && text.data() + text.size() == window.data() + window.size();
            held_.push_back(HeldRow{fate, line, std::string(text), std::nullopt,
                                    held_rows_.row_count(), parser.last_row_repaired_quote(),
                                    replaced, width, unterminated,
                                    parser.last_row_quote_read_as_text(), total, empty});
            held_rows_.append_row(row_.last_row());
            continue;
        }
        if (!release_held() || !emit_row(fate, line, row_.last_row(), parser.last_row_bytes(),
                                         parser.last_row_repaired_quote(), replaced,
                                         parser.last_row_quote_read_as_text()))
            return !(stopped_ = true);
    }
    if (step == ParseStep::End && !finish_held())
        return !(stopped_ = true);

    // A row that runs past the window is parsed again once the pending bytes
    // have doubled, so however long it is, it costs a few parses in all.
    retry_at_ = step == ParseStep::NeedMore ? 2 * (window.size() - parser.pos()) : 0;
    std::uint64_t consumed = parser.pos();
    if (!borrowed_) {
        begin_ += parser.pos();
        consumed = dropped_ + begin_;
    }
    if (step == ParseStep::End) {
        finished_ = true;
        window_.release();
        begin_ = 0;
    }
    if (!sink_.progress(consumed, counters_.total_rows))
        return !(stopped_ = true);
    return true;
}

void QuarantineList::add(const RowView& fields, RowFate fate, std::size_t line) {
    lines_.push_back(line);
    fates_.push_back(fate);
    rows_.append_row(fields);
}

void QuarantineList::release() noexcept {
    rows_.release();
    std::vector<std::size_t>().swap(lines_);
    std::vector<RowFate>().swap(fates_);
}

namespace {

// Keeps every retained row and every quarantined one.
class OutcomeSink final : public RowSink {
  public:
    explicit OutcomeSink(SalvageOutcome& outcome) noexcept : outcome_(outcome) {}
    bool begin(const SalvageCounters& layout) override {
        outcome_.quarantine.set_columns(layout.inferred_columns);
        delimiter_ = static_cast<char>(layout.detected_delimiter);
        return true;
    }
    bool plain_rows(std::string_view lines, std::size_t, std::uint64_t) override {
        outcome_.rows.append_split_lines(lines, delimiter_);
        return true;
    }
    bool row(const RowEvent& event) override {
        if (is_retained(event.fate))
            outcome_.rows.append_row(event.fields);
        else
            outcome_.quarantine.add(event.fields, event.fate, event.line);
        return true;
    }

  private:
    SalvageOutcome& outcome_;
    char delimiter_ = ',';
};

} // namespace

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options) {
    SalvageOutcome outcome;
    OutcomeSink sink(outcome);
    SalvagePass pass(options, sink);
    pass.run_buffer(input);
    outcome.counters = pass.counters();
    assert(outcome.counters.salvaged_rows == outcome.rows.row_count());
    assert(outcome.counters.quarantined_rows == outcome.quarantine.size());
    return outcome;
}

} // namespace rowmend
