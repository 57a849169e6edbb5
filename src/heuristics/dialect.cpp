#include "heuristics/dialect.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "heuristics/column_count.h"
#include "heuristics/header.h"
#include "heuristics/width_mode.h"
#include "parser/resilient_parser.h"

namespace rowmend {

namespace {

// What a cell looks like, for the consistency of columns: the header
// detector's kinds, and Mixed, text that holds another common separator
// unquoted: a sign that the candidate cut the row in the wrong places, so it
// never counts as consistent.
enum class Kind : std::uint8_t { Empty, Number, Date, Text, Mixed };
constexpr std::size_t kKinds = 5;
constexpr std::size_t kMaxColumns = 64;
// The first round reads this many rows (or this many bytes, whichever comes
// first) for every candidate; the finalists go on to the long limit.
constexpr std::size_t kShortRows = 24;
constexpr std::size_t kShortBytes = 4096;
constexpr std::size_t kLongRows = 400;
constexpr std::size_t kFinalists = 3;

Kind classify(std::string_view cell, std::uint8_t delimiter, bool quoted) noexcept {
    switch (cell_kind(cell)) {
    case CellKind::Empty:
        return Kind::Empty;
    case CellKind::Number:
        return Kind::Number;
    case CellKind::Date:
        return Kind::Date;
    case CellKind::Text:
        break;
    }
    if (!quoted) {
        for (const char c : cell) {
            const auto b = static_cast<std::uint8_t>(c);
            if (b != delimiter && (b == ',' || b == ';' || b == '\t' || b == '|'))
                return Kind::Mixed;
        }
    }
    return Kind::Text;
}

// One candidate's reading of the sample so far, resumable: the second round
// goes on from where the first stopped, so no byte is read twice.
struct Tally {
    Dialect dialect;
    std::size_t pos = 0;
    bool done = false; // the sample is used up, or its last row is cut off
    std::vector<std::size_t> widths;
    std::array<std::array<std::uint32_t, kKinds>, kMaxColumns> kinds{};
    std::size_t delimiters = 0;
    std::size_t delimiters_then_blank = 0;
    std::size_t escapes = 0; // escapes before a quote or delimiter
    std::size_t closed = 0;  // quoted fields closed right before a delimiter or line end
    std::size_t doubled = 0; // doubled quotes inside quoted fields
    // Cells of the first row that hold another separator unquoted: with no
    // other row (a file of only its header line), the one sign of a
    // candidate that cut the names in the wrong places.
    std::size_t first_row_mixed = 0;
    double score = 0.0;
};

// Reads rows until `max_rows` are counted, `max_bytes` are passed, or the
// sample ends. A row that runs past the end of a sample that is not `whole`
// is cut off and not counted.
void read_rows(std::string_view s, bool whole, Tally& t, std::size_t max_rows,
               std::size_t max_bytes) {
    const std::size_t n = s.size();
    const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    const Dialect& d = t.dialect;
    const std::uint8_t esc = d.escape;
    std::array<Kind, kMaxColumns> row_kinds{};
    std::size_t p = t.pos;
    if (p == 0 && n >= 3 && s.substr(0, 3) == "\xEF\xBB\xBF")
        p = 3;
    while (!t.done && t.widths.size() < max_rows && p < max_bytes) {
        if (p >= n) {
            t.done = true;
            break;
        }
        std::size_t width = 0;
        std::size_t delimiters = 0, then_blank = 0, escapes = 0, closed = 0, doubled = 0;
        bool row_ended = false, blank = false;
        while (!row_ended) {
            // Field start: blanks before a quote belong to the separator.
            std::size_t q = p;
            if (d.delimiter != ' ')
                while (q < n && at(q) == ' ')
                    ++q;
            Kind kind;
            if (q < n && at(q) == d.quote) {
                p = q + 1;
                const std::size_t from = p;
                std::size_t to = n;
                while (p < n) {
                    const std::uint8_t c = at(p);
                    if (esc != 0 && c == esc) {
                        escapes += p + 1 < n && at(p + 1) == d.quote;
                        p += 2;
                    } else if (c == d.quote) {
                        if (p + 1 < n && at(p + 1) == d.quote) {
                            ++doubled;
                            p += 2;
                        } else {
                            to = p++;
                            break;
                        }
                    } else {
                        ++p;
                    }
                }
                p = std::min(p, n);
                kind = classify(s.substr(from, std::min(to, n) - from), d.delimiter, true);
                closed +=
                    to < n && (p == n || at(p) == d.delimiter || at(p) == '\n' || at(p) == '\r');
                while (p < n && at(p) != d.delimiter && at(p) != '\n' && at(p) != '\r')
                    ++p;
            } else {
                const std::size_t from = p;
                while (p < n) {
                    const std::uint8_t c = at(p);
                    if (esc != 0 && c == esc) {
                        escapes += p + 1 < n && (at(p + 1) == d.delimiter || at(p + 1) == d.quote);
                        p += 2;
                    } else if (c == d.delimiter || c == '\n' || c == '\r') {
                        break;
                    } else {
                        ++p;
                    }
                }
                p = std::min(p, n);
                kind = classify(s.substr(from, p - from), d.delimiter, false);
            }
            if (width < kMaxColumns)
                row_kinds[width] = kind;
            ++width;
            if (p >= n) {
                if (!whole) {
                    t.done = true;
                    t.pos = p;
                    return; // cut off: not counted
                }
                row_ended = true;
                blank = width == 1 && kind == Kind::Empty;
            } else if (at(p) == d.delimiter) {
                ++delimiters;
                ++p;
                then_blank += p < n && at(p) == ' ';
            } else {
                blank = width == 1 && kind == Kind::Empty;
                p += (at(p) == '\r' && p + 1 < n && at(p + 1) == '\n') ? 2 : 1;
                row_ended = true;
            }
        }
        if (blank)
            continue;
        t.delimiters += delimiters;
        t.delimiters_then_blank += then_blank;
        t.escapes += escapes;
        t.closed += closed;
        t.doubled += doubled;
        // The first row may be a header: its kinds say nothing of the columns.
        if (!t.widths.empty())
            for (std::size_t c = 0; c < std::min(width, kMaxColumns); ++c)
                ++t.kinds[c][static_cast<std::size_t>(row_kinds[c])];
        else
            t.first_row_mixed = static_cast<std::size_t>(std::count(
                row_kinds.begin(), row_kinds.begin() + std::min(width, kMaxColumns), Kind::Mixed));
        t.widths.push_back(width);
    }
    t.pos = p;
}

// Regularity (the share of rows of the most common width, two or more)
// times consistency (the share of non-empty cells of their column's most
// common kind).
double score(const Tally& t) {
    if (t.widths.size() < 1)
        return 0.0;
    std::vector<std::size_t> widths = t.widths;
    const WidthMode mode = width_mode(std::span<std::size_t>(widths), 2);
    if (mode.rows == 0)
        return 0.0;
    const double regularity = static_cast<double>(mode.rows) / static_cast<double>(t.widths.size());
    std::size_t cells = 0, consistent = 0;
    for (const auto& column : t.kinds) {
        const std::uint32_t number = column[static_cast<std::size_t>(Kind::Number)];
        const std::uint32_t date = column[static_cast<std::size_t>(Kind::Date)];
        const std::uint32_t text = column[static_cast<std::size_t>(Kind::Text)];
        cells += number + date + text + column[static_cast<std::size_t>(Kind::Mixed)];
        consistent += std::max({number, date, text});
    }
    double consistency =
        cells == 0 ? 1.0 : static_cast<double>(consistent) / static_cast<double>(cells);
    if (t.widths.size() == 1)
        consistency = 1.0 - static_cast<double>(t.first_row_mixed) /
                                static_cast<double>(std::min(t.widths[0], kMaxColumns));
    // A faint preference for more columns settles exact ties between
    // readings that are equally regular and consistent.
    return regularity * consistency * (1.0 + 1e-3 * std::log(static_cast<double>(mode.width)));
}

bool better(const Tally& a, const Tally& b) {
    return a.score > b.score + 1e-12;
}

} // namespace

double dialect_score(std::string_view sample, const Dialect& dialect, std::size_t max_rows) {
    Tally t;
    t.dialect = dialect;
    read_rows(sample, true, t, max_rows, sample.size() + 1);
    return score(t);
}

std::optional<Dialect> detect_dialect_prefix(std::string_view prefix, bool final,
                                             const DialectHint& hint) {
    if (!final && prefix.size() < kDialectSample)
        return std::nullopt;
    const bool whole = final && prefix.size() <= kDialectSample;
    const std::string_view sample = prefix.substr(0, kDialectSample);

    std::vector<Tally> tallies;
    for (const std::uint8_t delimiter : kDialectDelimiters) {
        if (hint.delimiter && *hint.delimiter != delimiter)
            continue;
        for (const std::uint8_t quote : kDialectQuotes) {
            if ((hint.quote && *hint.quote != quote) || quote == delimiter)
                continue;
            Tally& t = tallies.emplace_back();
            t.dialect = {delimiter, quote, hint.escape.value_or(0), hint.trim_blank};
        }
    }
    if (hint.delimiter && tallies.empty()) // a delimiter or quote of the caller's own
        tallies.emplace_back().dialect = {*hint.delimiter, hint.quote.value_or('"'),
                                          hint.escape.value_or(0), hint.trim_blank};
    else if (tallies.empty())
        tallies.emplace_back().dialect = {',', hint.quote.value_or('"'), hint.escape.value_or(0),
                                          false};

    // Round one: every candidate on a short prefix.
    for (Tally& t : tallies) {
        read_rows(sample, whole, t, kShortRows, kShortBytes);
        t.score = score(t);
    }
    std::stable_sort(tallies.begin(), tallies.end(), better);
    // The finalists come first; the others keep their reading of the
    // prefix, so that none is read again from its start.
    std::vector<std::size_t> contenders;
    for (std::size_t i = 0; i < std::min(kFinalists, tallies.size()); ++i)
        contenders.push_back(i);
    // With a backslash in the sample, each finalist also runs with it as
    // the escape byte.
    if (!hint.escape && sample.find('\\') != std::string_view::npos) {
        const std::size_t finalists = contenders.size();
        for (std::size_t i = 0; i < finalists; ++i) {
            Tally t;
            t.dialect = tallies[i].dialect;
            t.dialect.escape = '\\';
            contenders.push_back(tallies.size());
            tallies.push_back(std::move(t));
        }
    }
    // Round two: the finalists on the whole sample.
    for (const std::size_t i : contenders) {
        read_rows(sample, whole, tallies[i], kLongRows, sample.size() + 1);
        tallies[i].score = score(tallies[i]);
    }
    std::size_t best = contenders.front();
    for (const std::size_t i : contenders) {
        const Tally& t = tallies[i];
        const Tally& b = tallies[best];
        // An escape that the data uses, and that doubled quotes do not
        // stand in for, wins a tie with the same dialect without it.
        const bool escape_tie = t.dialect.escape != 0 && b.dialect.escape == 0 && t.escapes != 0 &&
                                t.doubled == 0 && !better(b, t);
        if (better(t, b) || escape_tie)
            best = i;
    }
    // The best reading's dialect with the other quote, read on to the
    // sample's end; returns its place among the tallies.
    const auto read_with_quote = [&](std::uint8_t quote) {
        Dialect wanted = tallies[best].dialect;
        wanted.quote = quote;
        std::size_t sibling = 0;
        while (sibling < tallies.size() && !(tallies[sibling].dialect == wanted))
            ++sibling;
        if (sibling == tallies.size())
            tallies.emplace_back().dialect = wanted;
        Tally& quoted = tallies[sibling];
        read_rows(sample, whole, quoted, kLongRows, sample.size() + 1);
        quoted.score = score(quoted);
        return sibling;
    };
    // The apostrophe must show that the data quotes with it: more fields
    // closed by it than by the double quote. Otherwise a stray double quote
    // that spoils the double quote's reading (and that the parser repairs)
    // would hand the choice to an apostrophe the data never uses. The
    // double quote's reading goes on from where it stopped, if it began.
    if (!hint.quote && tallies[best].dialect.quote == '\'') {
        const std::size_t sibling = read_with_quote('"');
        if (tallies[best].closed <= tallies[sibling].closed)
            best = sibling;
    }
    // Values quoted with apostrophes throughout ('abc') read the same with
    // either quote when no value holds a delimiter: the apostrophe is the
    // quote when it closes as many fields as there are rows below the first
    // or more, the double quote none, and its reading scores no lower.
    if (!hint.quote && tallies[best].dialect.quote == '"' && tallies[best].closed == 0) {
        const std::size_t sibling = read_with_quote('\'');
        const Tally& quoted = tallies[sibling];
        if (quoted.closed >= 2 && quoted.closed + 1 >= quoted.widths.size() &&
            !better(tallies[best], quoted))
            best = sibling;
    }
    const Tally& chosen = tallies[best];
    if (chosen.score <= 0.0) {
        // Nothing splits: one column, read with the caller's or the usual bytes.
        return Dialect{hint.delimiter.value_or(','), hint.quote.value_or('"'),
                       hint.escape.value_or(0), hint.delimiter ? hint.trim_blank : false};
    }
    Dialect dialect = chosen.dialect;
    if (!hint.delimiter)
        dialect.trim_blank = dialect.delimiter != ' ' && chosen.delimiters != 0 &&
                             chosen.delimiters_then_blank == chosen.delimiters;
    return dialect;
}

std::optional<std::uint64_t> infer_columns_in_dialect(std::string_view prefix,
                                                      const Dialect& dialect, bool final,
                                                      std::size_t sample_bytes,
                                                      std::size_t runaway_width, bool quoting) {
    ResilientParser parser(prefix, dialect.delimiter, dialect.quote, true, final);
    parser.set_escape(dialect.escape);
    parser.set_quoting(quoting);
    parser.set_trim_after_delimiter(dialect.trim_blank);
    parser.set_runaway_quotes(runaway_width, RunawayQuoteRule{});
    std::size_t widths[kInferRowLimit];
    std::size_t counted = 0;
    RowShape shape;
    ParseStep step = ParseStep::Row;
    // A row that ends past the sample's bytes ends it, whether it is cut off
    // by this prefix or not, so a longer prefix answers the same.
    auto past_sample = [&](std::size_t end) { return counted != 0 && end > sample_bytes; };
    std::size_t first_end = 0; // where the first row ends, as far as known
    while (counted < kInferRowLimit && (step = parser.step_shape(shape)) == ParseStep::Row) {
        first_end = first_end == 0 ? parser.pos() : first_end;
        if (past_sample(parser.pos()))
            break;
        if (!shape.blank)
            widths[counted++] = shape.field_count;
    }
    // A first row past the sample may hold a quote that never closes: it is
    // read again once with that tested against the lines after it. One cut
    // off by this prefix ends at its end or later.
    first_end = first_end == 0 && step == ParseStep::NeedMore ? prefix.size() : first_end;
    if (runaway_width == 0 && sample_bytes != SIZE_MAX && first_end > sample_bytes) {
        if (const std::size_t width = provisional_width(prefix, sample_bytes, parser); width != 0)
            return infer_columns_in_dialect(prefix, dialect, final, sample_bytes, width);
    }
    if (step == ParseStep::NeedMore && !past_sample(prefix.size()))
        return std::nullopt;
    return width_mode(std::span<std::size_t>(widths, counted)).width;
}

} // namespace rowmend
