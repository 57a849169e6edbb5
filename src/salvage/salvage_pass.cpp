#include "salvage/salvage_pass.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "heuristics/table_end.h"
#include "parser/utf8.h"
#include "salvage/byte_text.h"
#include "salvage/layout_settler.h"

namespace rowmend {

SalvagePass::SalvagePass(const SalvageOptions& options, RowSink& sink)
    : options_(options), sink_(sink), tail_(options_, counters_, sums_, *this),
      // A range inside the table starts below rows that held something.
      filled_before_(options.range && options.range->inside_table) {}

SalvagePass::~SalvagePass() = default;

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
    if (!settler_)
        settler_.emplace(options_, counters_);
    if (!settler_->settle(window, final))
        return false;
    preamble_left_ = settler_->preamble_rows();
    notes_ = settler_->notes();
    hash_rows_are_data_ = settler_->hash_rows_are_data();
    trailing_dropped_ =
        settler_->trailing_dropped() || (options_.range && options_.range->trailing_dropped);
    tail_.set_column_kinds(settler_->column_kinds());
    value_columns_ = settler_->value_columns();
    header_text_ = settler_->header_text();
    names_quote_as_text_ = settler_->names_quote_as_text();
    names_repair_ = settler_->take_names_repair();
    sums_ = settler_->take_sums();
    profiles_ = settler_->take_profiles();
    settler_.reset();
    if (options_.range && options_.range->columns) {
        tail_.set_column_kinds(options_.range->columns->kinds);
        value_columns_ = options_.range->columns->values;
        header_text_ = options_.range->columns->header_text;
        profiles_ = options_.range->columns->profiles;
    }
    separator_ = ByteText(counters_.detected_delimiter).view();
    if (counters_.inferred_columns >= 2 && options_.skip_blank_rows) {
        const std::string row(static_cast<std::size_t>(counters_.inferred_columns - 1),
                              static_cast<char>(counters_.detected_delimiter));
        empty_rows_ = "\n" + row + "\n" + row + "\n";
    }
    if (counters_.trim_after_delimiter)
        separator_ += ' ';
    parser_.emplace(window, counters_.detected_delimiter, counters_.detected_quote,
                    options_.repair_quotes, final);
    configure(*parser_);
    if (options_.range)
        parser_->start_at_line(static_cast<std::size_t>(options_.range->first_line));
    return true;
}

RowFate SalvagePass::bring_to_width(RowStore& rows) {
    const std::uint64_t columns = counters_.inferred_columns;
    const std::size_t width = rows.last_row().size();
    // Placed by the columns' kinds when the first rows gave them, and only
    // where the backend's rule would fill or merge.
    if (!profiles_.empty() && columns != 0 && width != columns &&
        (width < columns ? options_.fill_ragged_rows : options_.merge_overflow) && place(rows))
        return width < columns ? RowFate::Filled : RowFate::Merged;
    return rowmend::bring_to_width(rows, columns, options_, separator_);
}

bool SalvagePass::place(RowStore& rows) {
    const std::optional<Placement> placement =
        place_repair(rows.last_row(), profiles_, separator_, placement_scratch_);
    if (!placement)
        return false;
    placed_.clear();
    apply_placement(rows.last_row(), *placement, separator_, placed_);
    rows.pop_last_row();
    rows.append_row(placed_.last_row());
    placement_ = describe_placement(*placement);
    return true;
}

bool SalvagePass::skip(SkipKind kind, std::uint64_t line, std::string_view text) {
    ++counters_.total_rows;
    ++counters_.skipped_rows;
    ++counters_.skipped_by_kind[static_cast<std::size_t>(kind)];
    return sink_.skipped(SkippedRow{kind, line, text});
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
            is_blank_text(text))
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

bool SalvagePass::hand_on_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line,
                                bool filled_above) {
    // The parser counted the rows of delimiters only as it took them: a
    // run with fewer than two is handed on whole, unsearched.
    if (!empty_rows_.empty() && parser_->plain_empty_rows() >= 2)
        return set_empty_runs_aside(lines, rows, first_line, filled_above);
    return emit_plain(lines, rows, first_line);
}

bool SalvagePass::set_empty_runs_aside(std::string_view lines, std::size_t rows,
                                       std::uint64_t first_line, bool filled_above) {
    // Rows of empty cells that run on below the table's rows separate its
    // sections, as spreadsheets export them: blank rows. One alone may be
    // a record, and above every data row they are the table's own.
    const std::string_view pair = std::string_view(empty_rows_).substr(1);
    const std::string_view one = pair.substr(0, pair.size() / 2);
    const std::uint64_t before = counters_.salvaged_rows + counters_.quarantined_rows;
    const char delimiter = static_cast<char>(counters_.detected_delimiter);
    bool filled = filled_above;
    std::size_t from = 0;     // the first byte not yet handed on
    std::size_t from_row = 0; // its row in the run
    std::size_t at = 0;       // where to look on
    std::size_t at_row = 0;
    for (;;) {
        std::size_t found = std::string_view::npos;
        if (at == 0 && lines.starts_with(pair)) {
            found = 0;
        } else if (const void* hit =
                       memmem(lines.data() + at - (at != 0), lines.size() - at + (at != 0),
                              empty_rows_.data(), empty_rows_.size())) {
            found = static_cast<std::size_t>(static_cast<const char*>(hit) - lines.data()) + 1;
        }
        if (found == std::string_view::npos)
            break;
        // The rows up to it: a data row that holds something among them
        // lets the run go, as it does in the rows read one by one.
        std::size_t row = at_row;
        for (std::size_t p = at; p < found; ++row) {
            const std::size_t lf = lines.find('\n', p);
            filled = filled || (before + row >= counters_.header_rows &&
                                !is_empty_cells_line(lines.substr(p, lf - p), delimiter));
            p = lf + 1;
        }
        std::size_t end = found;
        std::size_t run = 0;
        while (lines.substr(end).starts_with(one)) {
            end += one.size();
            ++run;
        }
        if (filled) {
            const std::size_t kept = row - from_row;
            if (kept != 0 &&
                !emit_plain(lines.substr(from, found - from), kept, first_line + from_row))
                return false;
            if (!tail_.note_empty_run(first_line + row))
                return false;
            for (std::size_t i = 0; i < run; ++i)
                if (!skip(SkipKind::Blank, first_line + row + i, one.substr(0, one.size() - 1)))
                    return false;
            from = end;
            from_row = row + run;
        }
        at = end;
        at_row = row + run;
    }
    return from_row == rows ||
           emit_plain(lines.substr(from), rows - from_row, first_line + from_row);
}

bool SalvagePass::tell_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line) {
    if (sums_)
        sums_->add_lines(lines, static_cast<char>(counters_.detected_delimiter));
    return sink_.plain_rows(lines, rows, first_line);
}

bool SalvagePass::emit_row(RowFate fate, std::uint64_t line, const RowView& fields,
                           std::string_view text, bool quote_repaired, bool bytes_replaced,
                           bool quote_read_as_text) {
    // A held row told now: its placement, when it had one, was kept by line.
    const auto held = std::find_if(held_placements_.begin(), held_placements_.end(),
                                   [line](const auto& entry) { return entry.first == line; });
    if (held == held_placements_.end())
        return emit_row(fate, line, fields, text, quote_repaired, bytes_replaced,
                        quote_read_as_text, false);
    const std::string placement = std::move(held->second);
    held_placements_.erase(held);
    return emit_row(fate, line, fields, text, quote_repaired, bytes_replaced, quote_read_as_text,
                    false, placement);
}

bool SalvagePass::emit_row(RowFate fate, std::uint64_t line, const RowView& fields,
                           std::string_view text, bool quote_repaired, bool bytes_replaced,
                           bool quote_read_as_text, bool verbatim, std::string_view placement) {
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
    return sink_.row(RowEvent{fate, line, fields, text, quote_repaired, bytes_replaced,
                              quote_read_as_text, verbatim, placement});
}

bool SalvagePass::finish_held() {
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
    return tail_.finish_held();
}

bool SalvagePass::finish_range() {
    // The last range of a larger input judges the table's end on its own
    // rows: unsure when the rows held reach back to its first ones (those
    // before it may have held them already, or held more), or a totals row
    // is weighed against its own rows' sums rather than the whole table's
    // (unless its own rows are already too many for any check).
    if (options_.range && options_.range->inside_table && !tail_.empty())
        range_unsure_ = range_unsure_ || counters_.total_rows <= kMaxFooterRows ||
                        (sums_ && !sums_->ran_past_limit() && tail_.holds_total());
    return true;
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
    const std::vector<CellKind>& kinds = tail_.column_kinds();
    if (later_) {
        const bool held = !fits || later_->width() == columns;
        if (held)
            later_->add(row, kinds);
        return held;
    }
    if (!(tail_.empty() || section_open_) || !table_started() || second_table_ || columns < 2 ||
        row.size() < 2 ||
        // A long row whose cells fit the table's columns is one of its own.
        !((row.size() > columns && conflicts_with_columns(row, kinds)) ||
          names_another_table(row, kinds, !section_open_)) ||
        !(!fits || names_row(row, text, header_text_, value_columns_)))
        return false;
    later_.emplace(row, kinds, section_open_);
    // A section's title held above it is its own.
    later_line_ = tail_.empty() ? line : tail_.first_line();
    later_after_blank_ = section_open_;
    return true;
}

bool SalvagePass::hold_later(HeldRow held) {
    tail_.hold(std::move(held), row_.last_row());
    // Sure: set aside; too long to hold and still unsure: the rows are the
    // table's, as they were before.
    return later_->confirmed()               ? set_later_table_aside()
           : tail_.size() >= kMaxSectionRows ? release_held()
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
    return tail_.set_all_aside();
}

bool SalvagePass::read_on_blocks(ResilientParser& parser, std::string_view window, bool final) {
    // The first row is told by the loop below (its sinks begin the files),
    // then blocks take over while they are worth a round. The options that
    // judge rows by their neighbours keep the one-thread loop throughout;
    // the state they keep (held rows, a preamble) is then never set.
    if (!blocks_decided_) {
        if (counters_.total_rows == 0 || preamble_left_ != 0)
            return true;
        blocks_decided_ = true;
        // A range of a larger input is read on a worker of its own already.
        if (!sums_ && !trailing_dropped_ && empty_rows_.empty() && !options_.range)
            blocks_ = BlockPass::for_sink(options_, counters_, separator_, sink_);
    }
    while (blocks_ && blocks_->worth(window.size() - parser.pos())) {
        const std::size_t at = parser.pos();
        const std::uint64_t rows_before = counters_.total_rows;
        const BlockPass::Stop stop =
            blocks_->round(window.substr(at), final, parser.line(), counters_);
        parsed_rows_ += counters_.total_rows - rows_before;
        if (stop.offset != 0)
            parser.skip_to(at + stop.offset, static_cast<std::size_t>(stop.line));
        if (stop.stopped)
            return false;
        // A sink that must hear some row itself (the clean file's first
        // line) gets the rest of the run one row at a time.
        if (stop.refused)
            blocks_.reset();
        if (!stop.more)
            break;
    }
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
        if ((blocks_ || !blocks_decided_) && !read_on_blocks(parser, window, final))
            return !(stopped_ = true);
        // Most rows of most files need no repair: hand them on in runs.
        // Preamble rows are counted one by one instead.
        // After a blank line behind the table, the next row is looked at
        // on its own: it may start a trailing section.
        // A given footer holds every row, so none is handed on in runs.
        // A names line to repair is read on its own, as are the rows above it.
        if (preamble_left_ == 0 && !section_open_ && !second_table_ && options_.footer_rows == 0 &&
            !later_ && !later_set_aside_ && !names_repair_) {
            const std::size_t first_line = parser.line();
            std::size_t plain = 0;
            const std::string_view run = parser.take_plain_rows(columns, SIZE_MAX, plain);
            parsed_rows_ += plain;
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
                    // The line break before the last row's, found backwards.
                    const void* lf = keep < 2 ? nullptr : memrchr(run.data(), '\n', keep - 1);
                    cut =
                        lf == nullptr
                            ? 0
                            : static_cast<std::size_t>(static_cast<const char*>(lf) - run.data()) +
                                  1;
                    return run.substr(cut, keep - 1 - cut);
                };
                std::size_t cut = 0;
                // Most runs end in a row whose first byte says it is neither
                // empty nor a totals row: only the others have their cells read.
                std::string_view last = last_line(cut);
                FirstCell first = first_cell(last, delimiter, '\0', '\0');
                while (options_.skip_blank_rows && rows != 0 && first != FirstCell::Digit &&
                       first != FirstCell::Filled && is_empty_cells_line(last, delimiter)) {
                    keep = cut;
                    --rows;
                    last = last_line(cut);
                    first = first_cell(last, delimiter, '\0', '\0');
                }
                const bool filled_data = rows != 0 && before + rows - 1 >= counters_.header_rows;
                if (!filled_before_ && !filled_data) {
                    keep = run.size();
                    rows = plain;
                    last = last_line(cut);
                    first = first_cell(last, delimiter, '\0', '\0');
                }
                const bool filled_above = filled_before_;
                filled_before_ = filled_before_ || filled_data;
                bool total = false;
                if (rows != 0 && sums_ && first != FirstCell::Digit &&
                    has_total_label(last, delimiter)) {
                    total = true;
                    keep = cut;
                    --rows;
                }
                // Held rows wait on while only more of the same comes.
                if (rows != 0 && (!release_held() || !hand_on_plain(run.substr(0, keep), rows,
                                                                    first_line, filled_above)))
                    return !(stopped_ = true);
                for (std::size_t i = rows; i < plain; ++i) {
                    const std::size_t lf = run.find('\n', keep);
                    const bool held_total = total && i == rows;
                    if (!tail_.hold_plain_line(run.substr(keep, lf - keep), first_line + i,
                                               held_total))
                        return !(stopped_ = true);
                    if (!held_total)
                        section_open_ = section_open_ || options_.detect_trailing_section;
                    keep = lf + 1;
                }
            }
        }

        const std::size_t line = parser.line();
        row_.clear();
        const bool quote_as_text = names_quote_as_text_ && preamble_left_ == 0;
        if (quote_as_text)
            parser.set_quoting(false);
        step = parser.step_row(row_);
        if (quote_as_text)
            parser.set_quoting(options_.quoting);
        if (step != ParseStep::Row)
            break;
        ++parsed_rows_;
        const bool replaced = row_.last_row_replaced();
        if (trailing_dropped_ && !drop_trailing_field(row_, counters_.inferred_columns) &&
            !trailing_value_noted_ && row_.last_row().size() > columns &&
            !note_trailing_value(line))
            return !(stopped_ = true);
        const bool preamble = preamble_left_ != 0;
        if (preamble)
            --preamble_left_;
        if (options_.skip_blank_rows && is_blank_row(row_.last_row())) {
            section_open_ = section_open_ || (options_.detect_trailing_section && table_started());
            if (!tail_.skip_or_hold(SkipKind::Blank, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        if (is_comment(parser.last_row_bytes(), columns == 0 || row_.last_row().size() == columns,
                       table_started())) {
            if (!tail_.skip_or_hold(SkipKind::Comment, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        if (preamble) {
            if (!skip(SkipKind::Preamble, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        if (later_set_aside_) {
            if (!skip(SkipKind::Section, line, parser.last_row_bytes()))
                return !(stopped_ = true);
            continue;
        }
        const bool renamed = names_repair_.has_value();
        if (renamed) {
            // The first row of the table is the names line the settler repaired.
            row_.pop_last_row();
            row_.begin_row();
            for (const std::string& name : *names_repair_) {
                row_.append(name.data(), name.size());
                row_.finish_field(true);
            }
            names_repair_.reset();
            names_quote_as_text_ = false;
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
        placement_.clear();
        const RowFate fate = bring_to_width(row_);
        if (options_.footer_rows != 0) {
            hold_placement(line);
            const RowView fields = row_.last_row();
            if (!tail_.hold_last(HeldRow{fate, line, std::string(parser.last_row_bytes()),
                                         std::nullopt, 0, parser.last_row_repaired_quote(),
                                         replaced, width, false,
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
                                           names_row(row_.last_row(), parser.last_row_bytes(),
                                                     header_text_, value_columns_))) &&
                        tail_.size() < kMaxSectionRows;
        section_open_ = section_open_ && !fits && tail_.size() < kMaxSectionRows;
        const bool footer =
            section_open_ || second_table_ ||
            (narrow && table_started() && narrow_run_ <= kMaxFooterRows &&
             (options_.detect_footer ||
              (options_.detect_trailing_section && summary_row(row_.last_row(), value_columns_))));
        // Most rows tell by their first byte that they are neither a totals
        // row nor a row of empty cells: only the others have their cells read.
        const FirstCell first =
            first_cell(parser.last_row_bytes(), static_cast<char>(counters_.detected_delimiter),
                       static_cast<char>(counters_.detected_quote),
                       static_cast<char>(counters_.detected_escape));
        // A row held for its total label alone is judged by its sums.
        const bool total = !footer && sums_ && tail_.empty() && is_retained(fate) &&
                           first != FirstCell::Digit && has_total_label(row_.last_row());
        // Rows of empty cells below the table are blank rows when nothing
        // of the table follows them; a section may.
        const bool empty = options_.skip_blank_rows && filled_before_ && !section_open_ &&
                           !second_table_ && first == FirstCell::Unknown &&
                           is_empty_cells_row(row_.last_row());
        if (empty) {
            section_open_ = options_.detect_trailing_section;
            if (tail_.size() >= kMaxEmptyRows) {
                later_.reset();
                if (!tail_.release_at_bound())
                    return !(stopped_ = true);
            }
        }
        if (held_later) {
            hold_placement(line);
            if (!hold_later(HeldRow{fate, line, std::string(parser.last_row_bytes()), std::nullopt,
                                    0, parser.last_row_repaired_quote(), replaced, width, false,
                                    parser.last_row_quote_read_as_text(), false, false}))
                return !(stopped_ = true);
            continue;
        }
        if (footer || total || empty) {
            // The input ends inside a row when nothing, not even a line
            // break, follows its bytes.
            const std::string_view text = parser.last_row_bytes();
            const bool unterminated =
                final && text.data() + text.size() == window.data() + window.size();
            hold_placement(line);
            tail_.hold(HeldRow{fate, line, std::string(text), std::nullopt, 0,
                               parser.last_row_repaired_quote(), replaced, width, unterminated,
                               parser.last_row_quote_read_as_text(), total, empty},
                       row_.last_row());
            continue;
        }
        if (!release_held())
            return !(stopped_ = true);
        // What is left of the held rows' placements belongs to rows set aside.
        if (!held_placements_.empty())
            held_placements_.clear();
        if (!emit_row(fate, line, row_.last_row(), parser.last_row_bytes(),
                      parser.last_row_repaired_quote(), replaced,
                      parser.last_row_quote_read_as_text(),
                      fate == RowFate::Kept && !replaced && !renamed && parser.last_row_verbatim(),
                      placement_))
            return !(stopped_ = true);
    }
    if (step == ParseStep::End) {
        // A range the input goes on past leaves the table's end to the last
        // one; what it still holds then is its rows' to decide, not its own.
        if (options_.range && options_.range->more_follows)
            range_unsure_ = range_unsure_ || !tail_.empty() || later_ || later_set_aside_ ||
                            section_open_ || second_table_;
        else if (!finish_range() || !finish_held())
            return !(stopped_ = true);
    }

    // A row that runs past the window is parsed again once the pending bytes
    // have doubled, so however long it is, it costs a few parses in all.
    retry_at_ = step == ParseStep::NeedMore ? 2 * (window.size() - parser.pos()) : 0;
    // Blocks want a window's worth at a time: a caller that pushes small
    // chunks (the package's mebibyte) would leave too little for a round.
    if (blocks_)
        retry_at_ = std::max(retry_at_, kWindow);
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

} // namespace rowmend
