#pragma once
// The runaway quote: a quote that opens a field and never closes makes the
// rest of the input one value. When such a field has run on for a while,
// its lines are looked at: if most of them read as rows of the table's
// width, the quote was stray, and the field is read again with the quote as
// text, as the stray-quote repair does for a quote inside a line. A genuine
// long value (one huge value, or text whose lines do not read as rows) stays
// one value.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rowmend {

// When the test runs on a quoted field that is still open: once it has
// crossed `lines` whole lines after the one it opened on, or once it holds
// `bytes` bytes from its opening quote, whichever comes first; and again,
// on all it holds, when the input ends inside it. Only the bytes up to that
// point are looked at, so the look-ahead never reads more than `bytes` past
// the opening quote before a field that is kept is read as the default
// grammar reads it.
struct RunawayQuoteRule {
    std::size_t lines = 64;
    std::size_t bytes = std::size_t{1} << 20;
};

// The test itself. `span` holds the field's bytes from its opening quote up
// to where the test runs; `input_ends` says the input ends with the span, so
// its last line is whole even without a line break. The lines looked at are
// the whole lines after the first one (LF, CR LF or CR end a line); empty
// ones are passed over. `count_fields` gives the fields a line parses to on
// its own. True when there is at least one such line and at least three in
// four of them have `width` fields.
template <class CountFields>
bool opening_quote_is_stray(std::string_view span, bool input_ends, std::size_t width,
                            CountFields&& count_fields) {
    const std::size_t n = span.size();
    auto line_break = [&](std::size_t from) {
        while (from < n && span[from] != '\n' && span[from] != '\r')
            ++from;
        return from;
    };
    auto past_break = [&](std::size_t at) {
        return at + (span[at] == '\r' && at + 1 < n && span[at + 1] == '\n' ? 2 : 1);
    };
    std::size_t at = line_break(0);
    if (at == n)
        return false; // the field never left its first line
    at = past_break(at);
    std::size_t looked = 0;
    std::size_t fitting = 0;
    while (at < n) {
        const std::size_t end = line_break(at);
        if (end == n && !input_ends)
            break; // cut off by the look-ahead's end
        if (end != at) {
            ++looked;
            fitting += count_fields(span.substr(at, end - at)) == width ? 1 : 0;
        }
        if (end == n)
            break;
        at = past_break(end);
    }
    return looked != 0 && 4 * fitting >= 3 * looked;
}

} // namespace rowmend
