#include "parser/resilient_parser.h"

#include "parser/byte_scan.h"
#include "parser/utf8.h"

namespace rowmend {

namespace {

constexpr std::uint8_t kLf = '\n';
constexpr std::uint8_t kCr = '\r';

// Full mode: field bytes go straight into the row store's arena.
class StoreSink {
  public:
    // Whether the row's written form is worth deciding: only rows kept whole.
    static constexpr bool kDecidesVerbatim = true;

    explicit StoreSink(RowStore& store) noexcept : store_(store) {}
    void begin_row() { store_.begin_row(); }
    void append(const char* p, std::size_t n, bool high) {
        store_.append(p, n);
        high_ = high_ || high;
    }
    void push_byte(char c) {
        store_.push_byte(c);
        high_ = high_ || static_cast<std::uint8_t>(c) >= 0x80;
    }
    void finish_field() {
        store_.finish_field(high_);
        high_ = false;
    }
    void empty_field() { store_.push_empty_field(); }
    void abandon_row() noexcept {
        store_.pop_last_row();
        high_ = false;
    }

  private:
    RowStore& store_;
    bool high_ = false; // the open field may hold bytes of 0x80 and above
};

// Counting mode: fields are counted; the first field's bytes only feed the
// whitespace matcher, and only while they could still be blank. What it has
// counted lives in a ShapeProgress, which a suspended row keeps.
class ShapeSink {
  public:
    static constexpr bool kDecidesVerbatim = false;

    ShapeSink(RowShape& shape, ResilientParser::ShapeProgress& progress) noexcept
        : shape_(shape), progress_(progress) {}
    void begin_row() noexcept { progress_ = ResilientParser::ShapeProgress(); }
    void append(const char* p, std::size_t n, bool) noexcept {
        if (progress_.field_count == 0 && !progress_.matcher.failed())
            progress_.matcher.feed(p, n);
    }
    void push_byte(char c) noexcept {
        if (progress_.field_count == 0)
            progress_.matcher.feed(static_cast<std::uint8_t>(c));
    }
    void finish_field() noexcept {
        if (progress_.field_count == 0)
            progress_.first_blank = progress_.matcher.matched();
        ++progress_.field_count;
    }
    void empty_field() noexcept {
        if (progress_.field_count == 0)
            progress_.first_blank = true;
        ++progress_.field_count;
    }
    void end_row() noexcept {
        shape_.field_count = progress_.field_count;
        shape_.blank = progress_.field_count == 1 && progress_.first_blank;
    }
    void abandon_row() noexcept {}

  private:
    RowShape& shape_;
    ResilientParser::ShapeProgress& progress_;
};

} // namespace

ResilientParser::ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote,
                                 bool repair_quotes, bool final) noexcept
    : input_(input), pos_(0), final_(final), repair_quotes_(repair_quotes), delimiter_(delimiter),
      quote_(quote),
      plain_rows_possible_(delimiter < 0x80 && quote < 0x80 && delimiter != quote &&
                           delimiter != kLf && delimiter != kCr && quote != kLf && quote != kCr) {
    if (input.size() >= 3 && input.substr(0, 3) == "\xEF\xBB\xBF")
        pos_ = 3;
}

void ResilientParser::advance_window(std::string_view window, bool final) noexcept {
    input_ = window;
    final_ = final;
    pos_ = 0;
    row_begin_ = 0;
    row_content_end_ = 0;
    forget_look_ahead();
}

void ResilientParser::extend_window(std::string_view window, bool final) noexcept {
    input_ = window;
    final_ = final;
    // A run of blanks that reached the old end may go on. The closer memo
    // only ever covers a line whose end was in view, and the no-break span
    // stays true of the same bytes.
    blank_from_ = 1;
    blank_end_ = 0;
}

void ResilientParser::forget_look_ahead() noexcept {
    closer_from_ = 1;
    closer_line_end_ = 0;
    has_closer_ = false;
    blank_from_ = 1;
    blank_end_ = 0;
    no_break_from_ = 1;
    no_break_end_ = 0;
    suspended_.active = false;
}

namespace {

// One row of the plain-row fast path: from `p`, the position of the LF that
// ends the row, or nullptr when a quote byte or CR comes first or no LF does.
// Counts delimiters and notes bytes of 0x80 and above on the way.
inline const char* scan_plain_row(const char* p, const char* end, std::uint8_t delimiter,
                                  std::uint8_t quote, std::size_t& delimiters, bool& high) {
    for (; static_cast<std::size_t>(end - p) >= scan::Block::kSize; p += scan::Block::kSize) {
        const scan::Block block(p);
        const unsigned lf = block.eq(kLf);
        // Only the bytes before the first LF belong to this row.
        const unsigned mine = lf != 0 ? scan::below_first(lf) : 0xFFFFU;
        if (((block.eq(quote) | block.eq(kCr)) & mine) != 0)
            return nullptr;
        delimiters += scan::count16(block.eq(delimiter) & mine);
        high = high || (block.high() & mine) != 0;
        if (lf != 0)
            return p + __builtin_ctz(lf);
    }
    for (; p < end; ++p) {
        const auto c = static_cast<std::uint8_t>(*p);
        if (c == kLf)
            return p;
        if (c == quote || c == kCr)
            return nullptr;
        delimiters += c == delimiter;
        high = high || c >= 0x80;
    }
    return nullptr; // the last row has no LF: the full parser takes it
}

} // namespace

std::string_view ResilientParser::take_plain_rows(std::size_t fields, std::size_t max_rows,
                                                  std::size_t& rows) {
    rows = 0;
    plain_empty_rows_ = 0;
    const char* const begin = input_.data() + pos_;
    if (!plain_rows_possible_)
        return {};
    const char* const end = input_.data() + input_.size();
    const char* p = begin;
    while (rows < max_rows && p < end) {
        std::size_t delimiters = 0;
        bool high = false;
        const char* lf = scan_plain_row(p, end, delimiter_, quote_, delimiters, high);
        if (lf == nullptr || (fields != 0 && delimiters + 1 != fields))
            break;
        if (high && !utf8::is_valid(p, static_cast<std::size_t>(lf - p)))
            break;
        plain_empty_rows_ += static_cast<std::size_t>(lf - p) == delimiters ? 1 : 0;
        ++rows;
        p = lf + 1;
    }
    line_ += rows;
    pos_ += static_cast<std::size_t>(p - begin);
    return {begin, static_cast<std::size_t>(p - begin)};
}

ParseStep ResilientParser::step_row(RowStore& store) {
    StoreSink sink(store);
    return parse_row(sink, false);
}

ParseStep ResilientParser::step_shape(RowShape& shape) {
    ShapeProgress progress;
    ShapeSink sink(shape, progress);
    const ParseStep step = parse_row(sink, false);
    if (step == ParseStep::Row)
        sink.end_row();
    return step;
}

ParseStep ResilientParser::resume_shape(RowShape& shape) {
    ShapeSink sink(shape, shape_progress_);
    const ParseStep step = parse_row(sink, true);
    if (step == ParseStep::Row)
        sink.end_row();
    return step;
}

template <class Sink> ParseStep ResilientParser::parse_row(Sink& sink, bool suspend) {
    const std::size_t n = input_.size();
    if (pos_ >= n)
        return final_ ? ParseStep::End : ParseStep::NeedMore;
    const char* const data = input_.data();
    const std::size_t line_before = line_;

    ParseState state = ParseState::FieldStart;
    std::size_t p = pos_;
    OpenField field;
    // Whether the row is still its own written form (last_row_verbatim),
    // and whether the quoted field at hand needs its quotes.
    bool verbatim = Sink::kDecidesVerbatim && plain_rows_possible_;
    bool needs_quotes = false;
    if (suspend && suspended_.active) {
        state = suspended_.state;
        p = suspended_.at;
        line_ = suspended_.line;
        field = suspended_.field;
        quote_read_as_text_ = field.strays != 0;
        suspended_.active = false;
    } else {
        quote_repaired_ = false;
        quote_read_as_text_ = false;
        sink.begin_row();
    }

    // The row reaches past a window that is not final: undo it, so that it
    // is parsed again from its start once the window holds more, or, when
    // suspending, note where it stopped so that it goes on from there.
    // Nothing is handed to the sink for the byte at `at` before this.
    auto need_more = [&](ParseState at_state, std::size_t at) {
        if (suspend)
            suspended_ = Suspended{true, at_state, at, line_, field};
        else
            sink.abandon_row();
        line_ = line_before;
        return ParseStep::NeedMore;
    };
    // The quoted field at hand ran away and its opening quote was stray:
    // read the row again from its start, that quote now text. The row's
    // line breaks before the quote were read the same way, so it ends on
    // the line the quote stands on.
    auto read_quote_as_text = [&]() {
        sink.abandon_row();
        sink.begin_row();
        field.stray_at[field.strays++] = field.open;
        quote_repaired_ = false;
        quote_read_as_text_ = true;
        verbatim = false;
        line_ = line_before;
        p = pos_;
        state = ParseState::FieldStart;
    };
    // The runaway test, once per field, on the bytes up to `end`.
    auto runs_away = [&](std::size_t end, bool input_ends) {
        field.tested = true;
        return runaway_is_stray(field.open, end, input_ends);
    };
    // A CR at the window's end waits to see whether an LF follows.
    auto cr_waits = [&](std::size_t at) { return data[at] == '\r' && at + 1 == n && !final_; };
    // The escape byte at `at`: the byte after it is text. An escape that
    // ends the input is text itself; one that ends a window waits for more.
    auto take_escaped = [&](std::size_t& at, Sink& out) {
        if (at + 1 == n) {
            if (!final_)
                return false;
            out.push_byte(static_cast<char>(escape_));
            ++at;
            return true;
        }
        const char next = data[at + 1];
        out.push_byte(next);
        line_ += next == '\n';
        at += 2;
        return true;
    };
    // Past a delimiter and, when trimming, one space after it.
    auto after_delimiter = [&](std::size_t at) {
        ++at;
        return trim_ && at < n && data[at] == ' ' ? at + 1 : at;
    };
    // A line break ends the row: CR LF is one terminator, a lone CR or LF too.
    auto end_row_at = [&](std::size_t at) {
        verbatim_ = verbatim && data[at] == '\n';
        row_begin_ = pos_;
        row_content_end_ = at;
        at += (data[at] == '\r' && at + 1 < n && data[at + 1] == '\n') ? 2 : 1;
        ++line_;
        pos_ = at;
        return ParseStep::Row;
    };

    // A quoted field the input ends inside never closed: it is tested on
    // all it holds, even when the test on its first lines or bytes kept it
    // (a huge first line, or a text before the rows it swallowed).
    auto runs_away_at_end = [&]() {
        if (!final_ || state != ParseState::Quoted || runaway_width_ == 0 || field.full() ||
            !runs_away(n, true))
            return false;
        read_quote_as_text();
        return true;
    };

    while (p < n || runs_away_at_end()) {
        const auto c = static_cast<std::uint8_t>(data[p]);
        switch (state) {
        case ParseState::FieldStart:
            // The table's order matters when the quote, delimiter and line
            // break bytes overlap: quote first, then delimiter, then CR/LF.
            if (c == quote_ && quoting_ && !field.is_stray(p)) {
                field.open = p;
                field.breaks = 0;
                field.tested = field.full();
                needs_quotes = false;
                ++p;
                state = ParseState::Quoted;
            } else if (c == delimiter_) {
                sink.empty_field();
                p = after_delimiter(p);
            } else if (c == kLf || c == kCr) {
                if (cr_waits(p))
                    return need_more(state, p);
                sink.empty_field();
                return end_row_at(p);
            } else {
                state = ParseState::Unquoted; // the byte is taken there
            }
            break;

        case ParseState::Unquoted: {
            // Quote bytes are ordinary here: only the delimiter and line breaks stop the run.
            bool high = false;
            bool quoted_text = false; // a quote byte here makes the writer quote the field
            const char* stop =
                verbatim ? scan::find_first_noting(data + p, data + n, high, quoted_text, quote_,
                                                   quote_, delimiter_, kLf, kCr)
                : escape_ == 0
                    ? scan::find_first_noting_high(data + p, data + n, high, delimiter_, kLf, kCr)
                    : scan::find_first_noting_high(data + p, data + n, high, delimiter_, kLf, kCr,
                                                   escape_);
            verbatim = verbatim && !quoted_text;
            const auto at = static_cast<std::size_t>(stop - data);
            sink.append(data + p, at - p, high);
            p = at;
            if (p == n)
                break;
            if (static_cast<std::uint8_t>(data[p]) == escape_ && escape_ != 0) {
                if (!take_escaped(p, sink))
                    return need_more(state, p);
            } else if (static_cast<std::uint8_t>(data[p]) == delimiter_) {
                sink.finish_field();
                p = after_delimiter(p);
                state = ParseState::FieldStart;
            } else {
                if (cr_waits(p))
                    return need_more(state, p);
                sink.finish_field();
                return end_row_at(p);
            }
            break;
        }

        case ParseState::Quoted: {
            // Inside quotes, line breaks are text; LF only matters to the line counter.
            bool high = false;
            // Until the field is known to need its quotes, the scan notes
            // the delimiter and CR in passing.
            const char* stop =
                verbatim && !needs_quotes
                    ? scan::find_first_noting(data + p, data + n, high, needs_quotes, delimiter_,
                                              kCr, quote_, kLf)
                : escape_ == 0
                    ? scan::find_first_noting_high(data + p, data + n, high, quote_, kLf)
                    : scan::find_first_noting_high(data + p, data + n, high, quote_, kLf, escape_);
            const auto at = static_cast<std::size_t>(stop - data);
            // A field that has run on for the rule's bytes is tested on
            // them, and no further: the look-ahead stops there.
            if (runaway_width_ != 0 && !field.tested && at - field.open > runaway_rule_.bytes &&
                runs_away(field.open + runaway_rule_.bytes, false)) {
                read_quote_as_text();
                break;
            }
            sink.append(data + p, at - p, high);
            p = at;
            if (p == n)
                break;
            if (static_cast<std::uint8_t>(data[p]) == escape_ && escape_ != 0 &&
                escape_ != quote_) {
                if (!take_escaped(p, sink))
                    return need_more(state, p);
                break;
            }
            if (static_cast<std::uint8_t>(data[p]) != quote_) {
                sink.push_byte(static_cast<char>(kLf));
                needs_quotes = true;
                ++line_;
                ++p;
                // The first break ends the field's own line; the rule counts
                // the whole lines after it.
                if (runaway_width_ != 0 && !field.tested && ++field.breaks > runaway_rule_.lines &&
                    runs_away(p, false))
                    read_quote_as_text();
                break;
            }
            if (p + 1 == n) { // a quote that ends the input closes its field
                if (!final_)
                    return need_more(state, p);
                ++p;
                verbatim = verbatim && needs_quotes;
                state = ParseState::AfterQuote;
                break;
            }
            const auto next = static_cast<std::uint8_t>(data[p + 1]);
            if (next == quote_) {
                sink.push_byte(static_cast<char>(quote_));
                needs_quotes = true;
                p += 2;
                break;
            }
            // A quote before a delimiter or a line break closes its field
            // whatever follows: most closing quotes need no stray-quote test.
            const int literal = !repair_quotes_ || next == delimiter_ || next == kLf || next == kCr
                                    ? 0
                                    : quote_is_literal(p);
            if (literal < 0)
                return need_more(state, p);
            if (literal != 0) {
                sink.push_byte(static_cast<char>(quote_));
                quote_repaired_ = true;
                verbatim = false;
                ++p;
            } else {
                ++p;
                verbatim = verbatim && needs_quotes;
                state = ParseState::AfterQuote;
            }
            break;
        }

        case ParseState::AfterQuote:
            if (c == delimiter_) {
                sink.finish_field();
                p = after_delimiter(p);
                state = ParseState::FieldStart;
            } else if (c == ' ' || c == '\t') {
                verbatim = false;
                ++p; // blanks after a closing quote are dropped
            } else if (c == kLf || c == kCr) {
                if (cr_waits(p))
                    return need_more(state, p);
                sink.finish_field();
                return end_row_at(p);
            } else if (c == escape_ && escape_ != 0) {
                state = ParseState::Unquoted; // which takes the escape
            } else {
                verbatim = false;
                sink.push_byte(static_cast<char>(c));
                ++p;
                state = ParseState::Unquoted;
            }
            break;
        }
    }

    if (!final_)
        return need_more(state, p);
    // End of input. Only a delimiter can have left us in FieldStart here (a
    // row never starts at the end), and a row ending in a delimiter has an
    // empty last field. The line counter does not count the end of input.
    if (state == ParseState::FieldStart) {
        sink.empty_field();
    } else {
        sink.finish_field();
    }
    verbatim_ = false; // the writer ends the row with an LF the input lacks
    row_begin_ = pos_;
    row_content_end_ = n;
    pos_ = n;
    return ParseStep::Row;
}

std::size_t ResilientParser::line_fields(std::string_view line) const {
    ResilientParser alone(line, delimiter_, quote_, repair_quotes_);
    alone.set_escape(escape_);
    alone.set_trim_after_delimiter(trim_);
    RowShape shape;
    alone.next_row_shape(shape);
    return shape.field_count;
}

bool ResilientParser::runaway_is_stray(std::size_t open, std::size_t end, bool input_ends) const {
    return opening_quote_is_stray(input_.substr(open, end - open), input_ends, runaway_width_,
                                  [this](std::string_view line) { return line_fields(line); });
}

int ResilientParser::quote_is_literal(std::size_t q) {
    const std::size_t n = input_.size();
    const auto* data = reinterpret_cast<const std::uint8_t*>(input_.data());

    std::size_t s = q + 1;
    if (s >= blank_from_ && s < blank_end_) {
        s = blank_end_;
    } else {
        while (s < n && is_blank(data[s]))
            ++s;
        blank_from_ = q + 1;
        blank_end_ = s;
    }
    if (s == n)
        return final_ ? 0 : -1;
    const std::uint8_t first = data[s];
    if (first == delimiter_ || first == kLf || first == kCr)
        return 0;

    if (!(s >= closer_from_ && s < closer_line_end_)) {
        // Find the end of the physical line, then walk back from it to the
        // last quote whose following blanks run into a delimiter, a line break
        // or the end of input. Later quotes on this line reuse the answer.
        // A search that stopped at an earlier window's end goes on from there.
        const bool known_clear = s >= no_break_from_ && s <= no_break_end_;
        const std::size_t from = known_clear ? no_break_end_ : s;
        const char* line_end = scan::find_first(input_.data() + from, input_.data() + n, kLf, kCr);
        const auto end = static_cast<std::size_t>(line_end - input_.data());
        if (end == n && !final_) {
            no_break_from_ = known_clear ? no_break_from_ : s;
            no_break_end_ = n;
            return -1; // the line goes on past the window
        }
        has_closer_ = false;
        bool ends_in_terminator = true; // the byte at `end` is CR, LF or the end of input
        for (std::size_t j = end; j-- > s;) {
            const std::uint8_t b = data[j];
            if (b == quote_ && ends_in_terminator) {
                has_closer_ = true;
                last_closer_ = j;
                break;
            }
            ends_in_terminator = b == delimiter_ || (is_blank(b) && ends_in_terminator);
        }
        closer_from_ = s;
        closer_line_end_ = end;
    }
    return has_closer_ && last_closer_ >= s ? 1 : 0;
}

} // namespace rowmend
