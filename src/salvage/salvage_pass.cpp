#include "salvage/salvage_pass.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "heuristics/dialect.h"
#include "heuristics/header.h"
#include "heuristics/table_bounds.h"
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

} // namespace

std::string quarantine_reason(RowFate fate, std::uint64_t columns) {
    std::string text = fate == RowFate::TooFew ? "Row has too few columns (expected "
                                               : "Row has extra columns (expected ";
    text += std::to_string(columns);
    text += ')';
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
                find_table_start(window, *delimiter, comment, final, given, sample_bytes());
            if (!start)
                return false;
            preamble_left_ = start->rows;
            counters_.preamble_rows = start->rows;
            table = window.substr(start->offset);
        }
        std::optional<std::uint64_t> columns = options_.expected_columns;
        if (!columns && options_.detect_dialect) {
            columns = infer_columns_in_dialect(table, dialect, final, sample_bytes());
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
        if ((options_.detect_header || options_.detect_footer ||
             options_.detect_trailing_section) &&
            !sample_table(table, final))
            return false;
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

bool SalvagePass::sample_table(std::string_view window, bool final) {
    // The rows as the pass itself will parse them, blank ones left out when
    // they will be skipped: the header is judged on the table's own rows.
    ResilientParser parser(window, counters_.detected_delimiter, counters_.detected_quote,
                           options_.repair_quotes, final);
    configure(parser);
    RowStore rows;
    std::vector<std::string> texts; // each kept row's bytes, for the header's
    while (rows.row_count() < kHeaderSampleRows) {
        const ParseStep step = parser.step_row(rows);
        if (step == ParseStep::NeedMore)
            return false;
        if (step == ParseStep::End)
            break;
        const RowView row = rows.last_row();
        if ((options_.skip_blank_rows && is_blank_row(row)) ||
            is_comment(parser.last_row_bytes(), row.size() == counters_.inferred_columns,
                       rows.row_count() > 1))
            rows.pop_last_row();
        else if (texts.size() < kMaxHeaderRows)
            texts.emplace_back(parser.last_row_bytes());
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
    for (std::size_t r = counters_.header_rows; r < rows.row_count(); ++r) {
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
    if (counters_.header_row && options_.detect_trailing_section) {
        // What tells a second table's header from the table's own rows.
        const std::size_t first = counters_.header_rows;
        value_columns_ = value_columns(rows, first, rows.row(first - 1).size());
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
    const HeldRow* only = nullptr;
    std::size_t rows = 0;
    for (const HeldRow& held : held_) {
        if (!held.skipped) {
            ++rows;
            only = &held;
        }
    }
    if (rows == 1 && only->width < counters_.inferred_columns &&
        looks_cut_off(held_rows_.row(only->row), only->width, only->unterminated))
        return release_held();
    for (const HeldRow& held : held_) {
        if (!skip(held.skipped.value_or(SkipKind::Footer), held.line, held.text))
            return false;
    }
    held_.clear();
    held_rows_.release();
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
    // A '#' row of the table's width inside the table may well be data.
    return options_.detect_comments && text.starts_with('#') && (!table_started || !fits);
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
        return sink_.plain_rows(lines, rows, first_line);
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
                if (!sink_.plain_rows(lines.substr(run_begin, at - run_begin), run_rows, run_line))
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
    return sink_.plain_rows(lines.substr(run_begin, at - run_begin), run_rows, run_line);
}

bool SalvagePass::emit_row(RowFate fate, std::uint64_t line, const RowView& fields,
                           std::string_view text, bool quote_repaired, bool bytes_replaced,
                           bool quote_read_as_text) {
    ++counters_.total_rows;
    if (is_retained(fate)) {
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

bool SalvagePass::release_held() {
    // The held rows were no footer: they go on as the rows they are.
    for (const HeldRow& held : held_) {
        const bool ok = held.skipped ? skip(*held.skipped, held.line, held.text)
                                     : emit_row(held.fate, held.line, held_rows_.row(held.row),
                                                held.text, held.quote_repaired, held.bytes_replaced,
                                                held.quote_read_as_text);
        if (!ok)
            return false;
    }
    held_.clear();
    held_rows_.clear();
    return true;
}

bool SalvagePass::skip_or_hold(SkipKind kind, std::uint64_t line, std::string_view text) {
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
        if (preamble_left_ == 0 && !section_open_ && !second_table_) {
            const std::size_t first_line = parser.line();
            std::size_t plain = 0;
            const std::string_view run = parser.take_plain_rows(columns, SIZE_MAX, plain);
            if (plain != 0) {
                narrow_run_ = 0;
                section_open_ = false;
                if (!release_held() || !emit_plain(run, plain, first_line))
                    return !(stopped_ = true);
            }
        }

        const std::size_t line = parser.line();
        row_.clear();
        step = parser.step_row(row_);
        if (step != ParseStep::Row)
            break;
        const bool replaced = row_.last_row_replaced();
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
        const std::size_t width = row_.last_row().size();
        const bool narrow = width < columns;
        const bool fits = columns == 0 || width == columns;
        const RowFate fate = bring_to_width(row_);
        // A narrow row after the table's first row may start its footer, and
        // a row of another width after a blank line a trailing section: hold
        // it back until a row of the table or the end of input says.
        narrow_run_ = narrow ? narrow_run_ + 1 : 0;
        second_table_ = (second_table_ || (section_open_ && fits && !value_columns_.empty() &&
                                           names_row(row_.last_row(), parser.last_row_bytes()))) &&
                        held_.size() < kMaxSectionRows;
        section_open_ = section_open_ && !fits && held_.size() < kMaxSectionRows;
        if (section_open_ || second_table_ ||
            (narrow && table_started() && narrow_run_ <= kMaxFooterRows &&
             (options_.detect_footer ||
              (options_.detect_trailing_section && summary_row(row_.last_row()))))) {
            // The input ends inside a row when nothing, not even a line
            // break, follows its bytes.
            const std::string_view text = parser.last_row_bytes();
            const bool unterminated =
                final && text.data() + text.size() == window.data() + window.size();
            held_.push_back(HeldRow{fate, line, std::string(text), std::nullopt,
                                    held_rows_.row_count(), parser.last_row_repaired_quote(),
                                    replaced, width, unterminated,
                                    parser.last_row_quote_read_as_text()});
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
