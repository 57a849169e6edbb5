// Properties of the resilient row parser over many inputs: full mode,
// counting mode and the byte-at-a-time reference parser (which uses the
// stray-quote test exactly as its rules read) must agree on every row, and
// the parser must stay linear on lines full of stray quotes.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/resilient_parser.h"
#include "parser/utf8.h"
#include "salvage/csv_output.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

// Runs full mode, counting mode and the reference parser over `input` side by
// side. Returns what first disagrees, or an empty string.
std::string disagreement(std::string_view input, ParserSettings settings) {
    ResilientParser full(input, settings.delimiter, settings.quote, settings.repair);
    ResilientParser counting(input, settings.delimiter, settings.quote, settings.repair);
    const std::vector<ParsedRow> reference = parse_reference(input, settings);
    RowStore store;
    RowShape shape;
    std::size_t r = 0;
    for (;; ++r) {
        const std::string at = "row " + std::to_string(r) + ": ";
        const bool got = full.next_row(store);
        const bool got_shape = counting.next_row_shape(shape);
        if (got != got_shape)
            return at + "full and counting modes disagree on the end of input";
        if (!got)
            break;
        if (r >= reference.size())
            return at + "the reference parser has no such row";
        const RowView row = store.last_row();
        if (row.size() == 0)
            return at + "a row without a field";
        const Fields fields = to_fields(row);
        if (fields != reference[r].fields) {
            return at + "fields " + show(fields) + ", reference " + show(reference[r].fields);
        }
        if (full.pos() != reference[r].pos || full.line() != reference[r].line) {
            return at + "pos/line " + std::to_string(full.pos()) + "/" +
                   std::to_string(full.line()) + ", reference " + std::to_string(reference[r].pos) +
                   "/" + std::to_string(reference[r].line);
        }
        if (counting.pos() != full.pos() || counting.line() != full.line()) {
            return at + "counting mode ends the row elsewhere";
        }
        if (shape.field_count != row.size())
            return at + "counting mode counts other fields";
        if (shape.blank != (fields.size() == 1 && white_space_only(fields[0])))
            return at + "counting mode misjudges blankness";
        for (const FieldView field : row) {
            if (!valid_utf8(field.text))
                return at + "ill-formed UTF-8 in " + show(field.text);
            if (field.ascii != utf8::is_ascii(field.text.data(), field.text.size())) {
                return at + "wrong ASCII flag on " + show(field.text);
            }
        }
        store.clear();
    }
    if (r != reference.size())
        return "the reference parser has more rows";
    if (full.pos() != input.size())
        return "pos does not end at the input size";
    const std::size_t line = full.line();
    if (line != (reference.empty() ? 1 : reference.back().line))
        return "final line counter differs";
    if (full.next_row(store) || counting.next_row_shape(shape))
        return "end of input not repeated";
    if (full.pos() != input.size() || full.line() != line || !store.empty()) {
        return "a repeated end of input moved the parser";
    }
    return {};
}

// Checks every case through `check`; stops reporting after a handful of failures.
class FailureBudget {
  public:
    bool check(std::string_view input, ParserSettings settings) {
        const std::string problem = disagreement(input, settings);
        if (problem.empty())
            return true;
        ADD_FAILURE() << problem << "\n  input " << show(input) << " " << show(settings);
        return ++failures_ < 5;
    }

  private:
    int failures_ = 0;
};

TEST(ParserProperties, RandomInputsAgreeWithTheReference) {
    // Bytes that matter to the parser, lossy decoding and the byte-order mark.
    const std::vector<std::string> tokens = {
        "a",    ",",    ";",    "\"",   "'",    " ",    "\t",   "\n",
        "\r",   "\xFF", "\xC3", "\xA9", "\xEF", "\xBB", "\xBF", "\xEF\xBB\xBF",
        "\r\n", "\"\"", "ab",
    };
    const std::vector<std::uint8_t> delimiters = {',', ',',  ',',  ';',  ';', '"',  '\'',
                                                  ' ', '\t', '\n', '\r', 'a', 0xFF, 0xA9};
    const std::vector<std::uint8_t> quotes = {'"', '"', '"', '\'', ',', ' ', '\t', '\n', 'a', 0xC3};
    std::mt19937_64 rng(20240611);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };

    FailureBudget budget;
    for (int i = 0; i < 40000; ++i) {
        // Mostly short inputs; every tenth one long, to reach deep look-aheads.
        const std::size_t length = i % 10 == 0 ? pick(400) : pick(40);
        std::string input;
        while (input.size() < length)
            input += tokens[pick(tokens.size())];
        const ParserSettings settings{delimiters[pick(delimiters.size())],
                                      quotes[pick(quotes.size())], pick(4) != 0};
        if (!budget.check(input, settings))
            break;
    }
}

TEST(ParserProperties, QuoteHeavyLinesAgreeWithTheReference) {
    // Lines dense in quotes, blanks and delimiters stress the memoised
    // stray-quote look-ahead, which must answer as the rules read.
    const std::string alphabet = "\"\"\"\" \t,ab\n";
    std::mt19937_64 rng(7);
    FailureBudget budget;
    for (int i = 0; i < 10000; ++i) {
        const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 120)(rng);
        std::string input;
        for (std::size_t k = 0; k < length; ++k) {
            input +=
                alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
        }
        if (!budget.check(input, {',', '"', true}))
            break;
        if (!budget.check(input, {'\t', '"', true}))
            break;
        if (!budget.check(input, {' ', '"', true}))
            break;
    }
}

// Every input up to `max_length` bytes over `alphabet`, in order of length.
template <class Visit>
bool for_each_input(std::string_view alphabet, std::size_t max_length, Visit visit) {
    std::string input;
    for (std::size_t length = 0; length <= max_length; ++length) {
        std::vector<std::size_t> digits(length, 0);
        input.assign(length, alphabet[0]);
        for (;;) {
            if (!visit(std::string_view(input)))
                return false;
            std::size_t k = 0;
            while (k < length && ++digits[k] == alphabet.size()) {
                digits[k] = 0;
                input[k] = alphabet[0];
                ++k;
            }
            if (k == length)
                break;
            input[k] = alphabet[digits[k]];
        }
    }
    return true;
}

TEST(ParserProperties, ExhaustiveUpToSixBytes) {
    const std::string alphabet = "a,\" \t\n\r\xFF";
    FailureBudget budget;
    std::size_t inputs = 0;
    for_each_input(alphabet, 6, [&](std::string_view input) {
        ++inputs;
        return budget.check(input, {',', '"', true}) && budget.check(input, {',', '"', false});
    });
    EXPECT_EQ(inputs, 1u + 8 + 64 + 512 + 4096 + 32768 + 262144);
}

TEST(ParserProperties, OverlappingSpecialBytesExhaustively) {
    // Every pairing of delimiter and quote among the bytes the state tables
    // name, equal ones included, over every input of up to four such bytes.
    const std::string special = ",\" \t\n\ra";
    FailureBudget budget;
    for (const char delimiter : special) {
        for (const char quote : special) {
            for (const bool repair : {true, false}) {
                const ParserSettings settings{static_cast<std::uint8_t>(delimiter),
                                              static_cast<std::uint8_t>(quote), repair};
                if (!for_each_input(special, 4, [&](std::string_view input) {
                        return budget.check(input, settings);
                    })) {
                    return;
                }
            }
        }
    }
}

// The plain-row shortcut may be taken at any point: the rows it takes, split
// at the delimiter, and the rows parsed after it must be the parser's rows,
// with the same positions and lines; and each taken row, written as clean
// CSV, must be the very bytes taken.
TEST(ParserProperties, PlainRowShortcutAgreesWithParsing) {
    const std::vector<std::string> tokens = {
        "a",  "bc", ",",        ",",    ";",  "\n", "\n",           "\n",
        "\"", "\r", "\xC3\xA9", "\xFF", "\t", " ",  "\xEF\xBB\xBF", "0123456789abcdef"};
    const std::vector<ParserSettings> settings = {
        {',', '"', true},  {';', '"', true}, {',', '\'', false},
        {'\t', '"', true}, {',', ',', true}, {'\n', '"', true},
    };
    std::mt19937_64 rng(4242);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (int i = 0; i < 20000; ++i) {
        std::string input;
        for (std::size_t k = pick(60); k > 0; --k)
            input += tokens[pick(tokens.size())];
        const ParserSettings s = settings[pick(settings.size())];
        const auto full = parse_full(input, s);

        ResilientParser parser(input, s.delimiter, s.quote, s.repair);
        RowStore store;
        std::size_t r = 0;
        bool ok = true;
        while (ok && r < full.size()) {
            if (pick(2) == 0) {
                const std::size_t fields = pick(4);
                std::size_t taken = 0;
                const std::string_view bytes = parser.take_plain_rows(fields, pick(4), taken);
                std::size_t from = 0;
                for (std::size_t t = 0; t < taken; ++t, ++r) {
                    const std::size_t lf = bytes.find('\n', from);
                    ok = ok && lf != std::string_view::npos && r < full.size();
                    if (!ok)
                        break;
                    Fields split;
                    std::size_t at = from;
                    for (;;) {
                        const std::size_t d =
                            bytes.substr(0, lf).find(static_cast<char>(s.delimiter), at);
                        split.emplace_back(
                            bytes.substr(at, (d == std::string_view::npos ? lf : d) - at));
                        if (d == std::string_view::npos)
                            break;
                        at = d + 1;
                    }
                    ok = ok && split == full[r].fields && (fields == 0 || split.size() == fields);
                    RowStore row;
                    push_row(row, split);
                    std::string line;
                    CleanCsvFormat(s.delimiter, s.quote).append_line(line, row.last_row());
                    ok = ok && line == bytes.substr(from, lf + 1 - from);
                    from = lf + 1;
                }
                ok = ok && from == bytes.size() &&
                     (r == 0 ? parser.pos() >= from : parser.pos() == full[r - 1].pos) &&
                     parser.line() == (r == 0 ? 1 : full[r - 1].line);
            } else {
                ok = parser.next_row(store) && to_fields(store.last_row()) == full[r].fields &&
                     parser.pos() == full[r].pos && parser.line() == full[r].line;
                ++r;
            }
        }
        ok = ok && !parser.next_row(store);
        ASSERT_TRUE(ok) << "input " << show(input) << " " << show(s) << " at row " << r;
    }
}

// A row is said to be its own written form exactly when it is: formatted as
// clean CSV it gives its input bytes and the LF after them (rows whose UTF-8
// was repaired aside, which the store tells). The converse keeps the flag
// from passing by never being set.
TEST(ParserProperties, VerbatimRowsAreExactlyTheirWrittenForm) {
    const std::vector<std::string> tokens = {
        "a",  "bc", ",",    ";", "\n",       "\n",   "\r\n",         "\r",
        "\"", "\"", "\"\"", " ", "\xC3\xA9", "\xFF", "\xEF\xBB\xBF", "0123456789abcdef"};
    const std::vector<ParserSettings> settings = {
        {',', '"', true}, {';', '"', true}, {',', '"', false}, {',', '\'', true}};
    std::mt19937_64 rng(2424);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    std::size_t verbatim = 0, formatted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string input;
        for (std::size_t k = pick(40); k > 0; --k)
            input += tokens[pick(tokens.size())];
        const ParserSettings s = settings[pick(settings.size())];
        ResilientParser parser(input, s.delimiter, s.quote, s.repair);
        RowStore store;
        while (parser.next_row(store)) {
            if (store.last_row_replaced())
                continue;
            const std::string_view text = parser.last_row_bytes();
            const auto at = static_cast<std::size_t>(text.data() - input.data());
            std::string line;
            CleanCsvFormat(s.delimiter, s.quote).append_line(line, store.last_row());
            const bool same = std::string_view(input).substr(at, text.size() + 1) == line;
            ASSERT_EQ(parser.last_row_verbatim(), same)
                << "input " << show(input) << " " << show(s) << " row " << show(text);
            verbatim += same && text.find(static_cast<char>(s.quote)) != std::string_view::npos;
            formatted += !same;
        }
    }
    // Both kinds of row, quoted verbatim ones among them, came up often.
    EXPECT_GT(verbatim, 300U);
    EXPECT_GT(formatted, 1000U);
}

// No timing here: each input below would take hours with a look-ahead that
// rescans the rest of the line for every quote, and runs in a blink with a
// linear one. Sizes stay modest so a debug build finishes quickly.
TEST(ParserProperties, LinesFullOfStrayQuotesParseInLinearTime) {
    constexpr std::size_t kRepeats = 500000;

    // `"a"a"a…a"`: every inner quote is literal because the last one closes.
    {
        std::string input = "\"";
        for (std::size_t i = 0; i < kRepeats; ++i)
            input += "a\"";
        std::string expected;
        for (std::size_t i = 0; i + 1 < kRepeats; ++i)
            expected += "a\"";
        expected += "a";
        const auto rows = parse_full(input, {',', '"', true});
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].fields.size(), 1u);
        EXPECT_TRUE(rows[0].fields[0] == expected);
        const auto shapes = parse_shapes(input, {',', '"', true});
        ASSERT_EQ(shapes.size(), 1u);
        EXPECT_EQ(shapes[0].field_count, 1u);
    }
    // `"a"b,"a"b,…`: no quote on the line closes, so every field rescans the rest of it.
    {
        std::string input;
        for (std::size_t i = 0; i < kRepeats / 2; ++i)
            input += "\"a\"b,";
        const auto rows = parse_full(input, {',', '"', true});
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].fields.size(), kRepeats / 2 + 1);
        EXPECT_EQ(rows[0].fields.front(), "ab");
        EXPECT_EQ(rows[0].fields[kRepeats / 2 - 1], "ab");
        EXPECT_EQ(rows[0].fields.back(), "");
    }
    // Quote byte space between tabs: every quote starts the look-ahead inside
    // the same long run of blanks.
    {
        std::string input = " a";
        for (std::size_t i = 0; i < kRepeats; ++i)
            input += " \t";
        input += "b ,c";
        std::string expected = "a";
        for (std::size_t i = 0; i < kRepeats; ++i)
            expected += " \t";
        expected += "b";
        const auto rows = parse_full(input, {',', ' ', true});
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].fields.size(), 2u);
        EXPECT_TRUE(rows[0].fields[0] == expected);
        EXPECT_EQ(rows[0].fields[1], "c");
    }
    // Many short lines of stray quotes, each with its own closing quote.
    {
        std::string input;
        for (std::size_t i = 0; i < kRepeats / 8; ++i)
            input += "\"a\"b\"c\",d\n";
        const auto rows = parse_full(input, {',', '"', true});
        ASSERT_EQ(rows.size(), kRepeats / 8);
        EXPECT_EQ(rows.back().fields, (Fields{"a\"b\"c", "d"}));
        EXPECT_EQ(rows.back().line, kRepeats / 8 + 1);
    }
}

} // namespace
} // namespace rowmend::test
