// The resilient row parser, case by case: input bytes and settings on one
// side, the rows and the final line counter on the other. Every case is also
// run through counting mode and through the byte-at-a-time reference parser,
// which must agree on every row boundary.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/reference_parser.h"
#include "parser/resilient_parser.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

using namespace std::string_literals;

constexpr ParserSettings kComma{};
constexpr ParserSettings kCommaNoRepair{',', '"', false};
constexpr ParserSettings kTab{'\t', '"', true};
constexpr ParserSettings kSemicolon{';', '"', true};

const std::string kFffd = "\xEF\xBF\xBD";

struct RowsCase {
    std::string input;
    ParserSettings settings;
    Rows rows;
    std::size_t final_line;
};

void check_rows(const RowsCase& c) {
    SCOPED_TRACE("input " + show(c.input) + " " + show(c.settings));
    const auto full = parse_full(c.input, c.settings);
    EXPECT_EQ(fields_of(full), c.rows);
    const std::size_t final_line = full.empty() ? 1 : full.back().line;
    EXPECT_EQ(final_line, c.final_line);
    if (!full.empty()) {
        EXPECT_EQ(full.back().pos, c.input.size());
    }

    EXPECT_EQ(full, parse_reference(c.input, c.settings))
        << "full mode and reference parser differ";

    const auto shapes = parse_shapes(c.input, c.settings);
    ASSERT_EQ(shapes.size(), full.size()) << "counting mode found other rows";
    for (std::size_t r = 0; r < full.size(); ++r) {
        EXPECT_EQ(shapes[r].field_count, full[r].fields.size()) << "row " << r;
        EXPECT_EQ(shapes[r].pos, full[r].pos) << "row " << r;
        EXPECT_EQ(shapes[r].line, full[r].line) << "row " << r;
    }
}

void check_all(const std::vector<RowsCase>& cases) {
    for (const RowsCase& c : cases)
        check_rows(c);
}

TEST(ResilientParser, DocumentedEdgeCases) {
    check_all({
        {"a,b,c\nd,e,f\n", kComma, {{"a", "b", "c"}, {"d", "e", "f"}}, 3},
        {"", kComma, {}, 1},
        {"\xEF\xBB\xBF", kComma, {}, 1},
        {"\xEF\xBB\xBFx,y", kComma, {{"x", "y"}}, 1},
        {"\n\n", kComma, {{""}, {""}}, 3},
        {"a,b,", kComma, {{"a", "b", ""}}, 1},
        {"a,\n", kComma, {{"a", ""}}, 2},
        {"\"x,y\",z", kComma, {{"x,y", "z"}}, 1},
        {"\"say \"\"hi\"\"\"", kComma, {{"say \"hi\""}}, 1},
        {"\"ab\"cd,ef\n", kComma, {{"abcd", "ef"}}, 2},
        {"\"ab\"  ,c", kComma, {{"ab", "c"}}, 1},
        {"\"He said \"hi\" there\",x", kComma, {{"He said \"hi\" there", "x"}}, 1},
        {"\"He said \"hi\" there\",x", kCommaNoRepair, {{"He said hi\" there\"", "x"}}, 1},
        {"\"a\"b,\"c\",d\n", kComma, {{"a\"b,\"c", "d"}}, 2},
        {"\"a\"b,\"c\",d\n", kCommaNoRepair, {{"ab", "c", "d"}}, 2},
        {"a\"b,c", kComma, {{"a\"b", "c"}}, 1},
        {" \"a\",b", kComma, {{" \"a\"", "b"}}, 1},
        {"x,\"y", kComma, {{"x", "y"}}, 1},
        {"\"abc\ndef", kComma, {{"abc\ndef"}}, 2},
        {"a\r\nb\rc", kComma, {{"a"}, {"b"}, {"c"}}, 3},
        {"\"\"", kComma, {{""}}, 1},
        {"\"a\" ", kComma, {{"a"}}, 1},
        {"\"a\"\"", kComma, {{"a\""}}, 1},
        {"a\xFF"
         "b",
         kComma,
         {{"a" + kFffd + "b"}},
         1},
        {"\"a\"\t\"b\"\n", kTab, {{"a", "b"}}, 2},
    });
}

TEST(ResilientParser, ByteOrderMarkIsSkippedOnlyWhenComplete) {
    check_all({
        {"\xEF\xBB", kComma, {{kFffd}}, 1},
        {"\xEF", kComma, {{kFffd}}, 1},
        {"\xEF\xBB"
         "a",
         kComma,
         {{kFffd + "a"}},
         1},
        {"\xEF\xBB\xBF\n", kComma, {{""}}, 2},
        {"\xEF\xBB\xBF\"a,b\",c", kComma, {{"a,b", "c"}}, 1},
        // Only the first mark is skipped; a second is the character U+FEFF.
        {"\xEF\xBB\xBF\xEF\xBB\xBF"
         "a",
         kComma,
         {{"\xEF\xBB\xBF"
           "a"}},
         1},
        {"a\xEF\xBB\xBF", kComma, {{"a\xEF\xBB\xBF"}}, 1},
        {"\n\xEF\xBB\xBF", kComma, {{""}, {"\xEF\xBB\xBF"}}, 2},
    });
}

TEST(ResilientParser, LineBreaksEndRows) {
    check_all({
        {"a\nb", kComma, {{"a"}, {"b"}}, 2},
        {"a\rb", kComma, {{"a"}, {"b"}}, 2},
        {"a\r\nb", kComma, {{"a"}, {"b"}}, 2},
        {"a\n\rb", kComma, {{"a"}, {""}, {"b"}}, 3},
        {"a\r\r\nb", kComma, {{"a"}, {""}, {"b"}}, 3},
        {"a\n", kComma, {{"a"}}, 2},
        {"a\r", kComma, {{"a"}}, 2},
        {"a\r\n", kComma, {{"a"}}, 2},
        {"\r\n", kComma, {{""}}, 2},
        {"\r", kComma, {{""}}, 2},
        {"\n\r", kComma, {{""}, {""}}, 3},
        {"\r\r", kComma, {{""}, {""}}, 3},
        {"a,b\r\nc,d\r\n", kComma, {{"a", "b"}, {"c", "d"}}, 3},
        {",\r,", kComma, {{"", ""}, {"", ""}}, 2},
        {"\"a\"\r\n\"b\"\r", kComma, {{"a"}, {"b"}}, 3},
        {"\"a\" \r\nb", kComma, {{"a"}, {"b"}}, 2},
    });
}

TEST(ResilientParser, LineCounterCountsQuotedLineFeedsButNotQuotedCarriageReturns) {
    check_all({
        {"\"a\nb\",c\nd", kComma, {{"a\nb", "c"}, {"d"}}, 3},
        {"\"a\rb\",c\nd", kComma, {{"a\rb", "c"}, {"d"}}, 2},
        {"\"a\r\nb\"\nc", kComma, {{"a\r\nb"}, {"c"}}, 3},
        {"\"a\n\n\nb\"", kComma, {{"a\n\n\nb"}}, 4},
        {"\"\n\"", kComma, {{"\n"}}, 2},
        {"\"\r\r\"", kComma, {{"\r\r"}}, 1},
        {"x\n\"a\nb\nc\",d\ne", kComma, {{"x"}, {"a\nb\nc", "d"}, {"e"}}, 5},
        // An unterminated quoted field swallows the rest of the input, and
        // its line feeds still count.
        {"\"a\nb\nc", kComma, {{"a\nb\nc"}}, 3},
    });
}

TEST(ResilientParser, DoubledQuotesStandForOneQuote) {
    check_all({
        {"\"\"\"\"", kComma, {{"\""}}, 1},
        {"\"a\"\"b\"", kComma, {{"a\"b"}}, 1},
        {"\"\"\"\"\"\"", kComma, {{"\"\""}}, 1},
        {"\"\"\"a\"", kComma, {{"\"a"}}, 1},
        {"\"a\"\"\",b", kComma, {{"a\"", "b"}}, 1},
        {"\"a\"\"\"\"\",b", kComma, {{"a\"\"", "b"}}, 1},
        // Outside quotes a doubled quote is two ordinary bytes.
        {"a\"\"b", kComma, {{"a\"\"b"}}, 1},
        {"\"a\"\"b\"", kCommaNoRepair, {{"a\"b"}}, 1},
        {"'it''s',x", {',', '\'', true}, {{"it's", "x"}}, 1},
    });
}

TEST(ResilientParser, StrayQuotesStayInTheTextWhenALaterQuoteCloses) {
    check_all({
        {"\"a\"b\"\n", kComma, {{"a\"b"}}, 2},
        {"\"a\" b\",c", kComma, {{"a\" b", "c"}}, 1},
        {"\"a\"b\"", kComma, {{"a\"b"}}, 1},
        {"\"a\"b\" ", kComma, {{"a\"b"}}, 1},
        {"\"a\"b\"\t\r\nc", kComma, {{"a\"b"}, {"c"}}, 2},
        // The scan for a closing quote runs past delimiters...
        {"\"a\"b,c\"\nd", kComma, {{"a\"b,c"}, {"d"}}, 2},
        // ...but not past a line break.
        {"\"a\"b\nc\"", kComma, {{"ab"}, {"c\""}}, 2},
        {"\"a\"b\rc\",d", kComma, {{"ab"}, {"c\"", "d"}}, 2},
        // No closing quote later on the line: the quote closes the field and
        // the rest of it is unquoted text.
        {"\"a\"b", kComma, {{"ab"}}, 1},
        {"\"a\"b\"c", kComma, {{"ab\"c"}}, 1},
        {"\"a\"b\"c,d", kComma, {{"ab\"c", "d"}}, 1},
        // Adjacent quotes in the scanned text are looked at one by one: the
        // second of `""` is followed by the delimiter, so the first quote is
        // literal; the pair then reads as one quote and the field runs on.
        {"\"a\"b\"\",c", kComma, {{"a\"b\",c"}}, 1},
        {"\"a\"b\"\"c\",d", kComma, {{"a\"b\"c", "d"}}, 1},
        // A quote followed by blanks and then a delimiter always closes.
        {"\"a\" \t ,b\"", kComma, {{"a", "b\""}}, 1},
        // A blank is never the delimiter: with tab as delimiter a tab ends the look-ahead.
        {"\"a\"\tb\"", kTab, {{"a", "b\""}}, 1},
        {"\"a\"\tb\"", kComma, {{"a\"\tb"}}, 1},
        {"\"a\" \"b\"", kComma, {{"a\" \"b"}}, 1},
        {"\"a\" \"b\"", kCommaNoRepair, {{"a\"b\""}}, 1},
        {"\"a\"b\",\"c\"d\",e", kComma, {{"a\"b", "c\"d", "e"}}, 1},
        {"\"a\"b\",\"c\"d\",e", kCommaNoRepair, {{"ab\"", "cd\"", "e"}}, 1},
        {"\"x\"y\"z\",w\nv", kSemicolon, {{"xy\"z\",w"}, {"v"}}, 2},
        {"\"x\"y\"z\";w\nv", kSemicolon, {{"x\"y\"z", "w"}, {"v"}}, 2},
    });
}

TEST(ResilientParser, UnterminatedQuotedFieldsRunToTheEnd) {
    check_all({
        {"\"abc", kComma, {{"abc"}}, 1},
        {"\"", kComma, {{""}}, 1},
        {"a,\"", kComma, {{"a", ""}}, 1},
        {"a,\"b,c\nd", kComma, {{"a", "b,c\nd"}}, 2},
        {"\"a,b\r\nc\r\n", kComma, {{"a,b\r\nc\r\n"}}, 3},
        {"\"a\"\"", kComma, {{"a\""}}, 1},
        {"\"a\"b\"c\"", kCommaNoRepair, {{"ab\"c\""}}, 1},
    });
}

TEST(ResilientParser, BlanksAfterAClosingQuoteAreDropped) {
    check_all({
        {"\"a\" \t ,b", kComma, {{"a", "b"}}, 1},
        {"\"a\"  \n", kComma, {{"a"}}, 2},
        {"\"a\" \t", kComma, {{"a"}}, 1},
        {"\"a\" x", kComma, {{"ax"}}, 1},
        {"\"a\" x y", kComma, {{"ax y"}}, 1},
        // Blanks before an opening quote and inside unquoted text stay.
        {" \"a\" ,b", kComma, {{" \"a\" ", "b"}}, 1},
        {" a , b ", kComma, {{" a ", " b "}}, 1},
        {"\"a\"\t\t\"b\"", kTab, {{"a", "", "b"}}, 1},
    });
}

TEST(ResilientParser, OtherDelimiters) {
    check_all({
        {"a\tb\tc\n", kTab, {{"a", "b", "c"}}, 2},
        {"a,b\tc", kTab, {{"a,b", "c"}}, 1},
        {"a;b;\n;", kSemicolon, {{"a", "b", ""}, {"", ""}}, 2},
        {"\"a;b\";c", kSemicolon, {{"a;b", "c"}}, 1},
        {"a|b|c", {'|', '"', true}, {{"a", "b", "c"}}, 1},
        {"a b  c", {' ', '"', true}, {{"a", "b", "", "c"}}, 1},
        {"\"a\" b", {' ', '"', true}, {{"a", "b"}}, 1},
        {"\"a\"  b", {' ', '"', true}, {{"a", "", "b"}}, 1},
        // A delimiter byte of 0x80 or above splits bytes, not characters.
        {"a\xA7"
         "b\xA7"
         "c",
         {0xA7, '"', true},
         {{"a", "b", "c"}},
         1},
        {"\xC2\xA7", {0xA7, '"', true}, {{kFffd, ""}}, 1},
        {"\xC3\xA9,x", {0xA9, '"', true}, {{kFffd, ",x"}}, 1},
    });
}

TEST(ResilientParser, OverlappingSpecialBytesFollowTheTableOrder) {
    check_all({
        // quote == delimiter: at a field's start the byte opens a quote; elsewhere it separates.
        {",a,b", {',', ',', true}, {{"ab"}}, 1},
        {"a,b", {',', ',', true}, {{"a", "b"}}, 1},
        {"a,,b", {',', ',', true}, {{"a", "b"}}, 1},
        {"\"a\"b", {'"', '"', true}, {{"ab"}}, 1},
        {"a\"b", {'"', '"', true}, {{"a", "b"}}, 1},
        // delimiter == LF: LF separates fields, CR still ends the row and takes a following LF.
        {"a\nb\n", {'\n', '"', true}, {{"a", "b", ""}}, 1},
        {"a\r\nb", {'\n', '"', true}, {{"a"}, {"b"}}, 2},
        {"\n", {'\n', '"', true}, {{"", ""}}, 1},
        {"\"a\nb\"\nc", {'\n', '"', true}, {{"a\nb", "c"}}, 2},
        // delimiter == CR
        {"a\rb\r\n", {'\r', '"', true}, {{"a", "b", ""}}, 2},
        // quote == space: a space after a closing quote is dropped as a blank.
        {" a ,b", {',', ' ', true}, {{"a", "b"}}, 1},
        {"x y", {',', ' ', true}, {{"x y"}}, 1},
        {" a  b", {',', ' ', true}, {{"a b"}}, 1},
        // quote == tab
        {"\ta\t\t,b", {',', '\t', true}, {{"a\t,b"}}, 1},
        {"\ta\t,b", {',', '\t', true}, {{"a", "b"}}, 1},
        // quote == LF: it opens and closes fields and is never counted as a line.
        {"\na\n,b", {',', '\n', true}, {{"a", "b"}}, 1},
        {"\na", {',', '\n', true}, {{"a"}}, 1},
        {"a\nb", {',', '\n', true}, {{"a"}, {"b"}}, 2},
        // quote == CR
        {"\ra\r,b\r", {',', '\r', true}, {{"a", "b"}}, 2},
        // quote == a letter
        {"aba,c", {',', 'a', true}, {{"b", "c"}}, 1},
        // delimiter == tab: a tab after a closing quote is the delimiter, not a blank.
        {"\"a\" \tb", kTab, {{"a", "b"}}, 1},
    });
}

TEST(ResilientParser, LossyUtf8ReplacesMaximalSubparts) {
    // Field text for each byte sequence; a leading `x` and trailing `y` show
    // that the replacement never swallows its neighbours.
    const std::vector<std::pair<std::string, std::string>> table = {
        {"\xE2\x82", kFffd},
        {"\xF0\x80", kFffd + kFffd},
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},
        {"\xC0\xAF", kFffd + kFffd},
        {"\xC1\xBF", kFffd + kFffd},
        {"\xE0\x80\x80", kFffd + kFffd + kFffd},
        {"\xE0\x9F\xBF", kFffd + kFffd + kFffd},
        {"\xF0\x8F\xBF\xBF", kFffd + kFffd + kFffd + kFffd},
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
        {"\xF5\x80\x80\x80", kFffd + kFffd + kFffd + kFffd},
        {"\xED\xBF\xBF", kFffd + kFffd + kFffd},
        {"\x80", kFffd},
        {"\xBF\x80", kFffd + kFffd},
        {"\xFE\xFF", kFffd + kFffd},
        {"\xC3", kFffd},
        {"\xC3\xC3\xA9", kFffd + "\xC3\xA9"},
        {"\xE0\xA0", kFffd},
        {"\xF0\x9F\x98", kFffd},
        {"\xF0\x9F\x98"
         "a",
         kFffd + "a"},
        {"\xF1\x80\x80\xE1\x80\xC2"
         "b\x80"
         "c\x80\xBF"
         "d",
         kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"},
        {"\xE1\x80\xE2\x82\xAC", kFffd + "\xE2\x82\xAC"},
        // Well-formed sequences at the edges of their ranges pass unchanged.
        {"\xC2\x80", "\xC2\x80"},
        {"\xDF\xBF", "\xDF\xBF"},
        {"\xE0\xA0\x80", "\xE0\xA0\x80"},
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"\xEE\x80\x80", "\xEE\x80\x80"},
        {"\xEF\xBF\xBF", "\xEF\xBF\xBF"},
        {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& [bytes, text] : table) {
        check_rows({"x" + bytes + "y", kComma, {{"x" + text + "y"}}, 1});
        // The same bytes inside quotes, and as a field of their own.
        check_rows({"\"" + bytes + "\",z", kComma, {{text, "z"}}, 1});
        check_rows({"a," + bytes + "\n", kComma, {{"a", text}}, 2});
    }
}

TEST(ResilientParser, PositionAndLineAfterEachRow) {
    struct Case {
        std::string input;
        std::vector<std::size_t> pos;
        std::vector<std::size_t> line;
    };
    const std::vector<Case> table = {
        {"a\nbc\r\nd", {2, 6, 7}, {2, 3, 3}},
        {"\xEF\xBB\xBF"
         "a\n",
         {5},
         {2}},
        {"\"x\ny\"\n\n", {6, 7}, {3, 4}},
        {"\"x\ry\"\r\r", {6, 7}, {2, 3}},
        {"a,\"b", {4}, {1}},
        {"\r\n\r\n", {2, 4}, {2, 3}},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(show(c.input));
        const auto rows = parse_full(c.input, kComma);
        std::vector<std::size_t> pos, line;
        for (const auto& row : rows) {
            pos.push_back(row.pos);
            line.push_back(row.line);
        }
        EXPECT_EQ(pos, c.pos);
        EXPECT_EQ(line, c.line);
    }
}

TEST(ResilientParser, CountingModeReportsBlankRows) {
    struct Case {
        std::string input;
        std::size_t field_count;
        bool blank;
    };
    const std::vector<Case> table = {
        {"\n", 1, true},
        {"   ", 1, true},
        {" \t \x0B\x0C", 1, true},
        {"\"  \"", 1, true},
        {"\"\"", 1, true},
        {"\" \n \"", 1, true},
        {"\xC2\xA0", 1, true},
        {"\xC2\x85", 1, true},
        {"\xE1\x9A\x80", 1, true},
        {"\xE2\x80\x80\xE2\x80\x8A", 1, true},
        {"\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F", 1, true},
        {"\xE3\x80\x80 ", 1, true},
        {"\" \" \t", 1, true},
        {",", 2, false},
        {" , ", 2, false},
        {"x", 1, false},
        {" x ", 1, false},
        {"\xE2\x80\x8B", 1, false}, // zero width space is not White_Space
        {"\xEF\xBB\xBF\xEF\xBB\xBF", 1, false},
        {"\xE1\xA0\x8E", 1, false}, // U+180E left White_Space long ago
        {"\xC2", 1, false},
        {"\xE2\x80", 1, false},
        {"\xFF", 1, false},
        {" \xC2\xA0\xC2", 1, false},
        {"\x1C", 1, false},
        {"\"a\" ", 1, false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(show(c.input));
        const auto shapes = parse_shapes(c.input, kComma);
        ASSERT_EQ(shapes.size(), 1u);
        EXPECT_EQ(shapes[0].field_count, c.field_count);
        EXPECT_EQ(shapes[0].blank, c.blank);

        ResilientParser parser(c.input, ',', '"', true);
        RowStore store;
        ASSERT_TRUE(parser.next_row(store));
        const Fields fields = to_fields(store.last_row());
        EXPECT_EQ(fields.size() == 1 && white_space_only(fields[0]), c.blank);
    }
}

TEST(ResilientParser, FullAndCountingCallsMayAlternate) {
    const std::string input = "a,b\n\"c\nd\",e,f\n\n \ng\"h,\"i\"j\"\r\nk";
    const auto full = parse_full(input, kComma);
    ResilientParser parser(input, ',', '"', true);
    RowStore store;
    RowShape shape;
    for (std::size_t r = 0; r < full.size(); ++r) {
        SCOPED_TRACE("row " + std::to_string(r));
        if (r % 2 == 0) {
            ASSERT_TRUE(parser.next_row_shape(shape));
            EXPECT_EQ(shape.field_count, full[r].fields.size());
        } else {
            ASSERT_TRUE(parser.next_row(store));
            EXPECT_EQ(to_fields(store.last_row()), full[r].fields);
        }
        EXPECT_EQ(parser.pos(), full[r].pos);
        EXPECT_EQ(parser.line(), full[r].line);
    }
    EXPECT_FALSE(parser.next_row_shape(shape));
    EXPECT_FALSE(parser.next_row(store));
}

TEST(StrayQuoteReference, AnswersAsTheRulesRead) {
    struct Case {
        std::string input;
        std::size_t q;
        std::uint8_t delimiter;
        std::uint8_t quote;
        bool literal;
    };
    const std::vector<Case> table = {
        {"\"a\"", 2, ',', '"', false},
        {"\"a\",b", 2, ',', '"', false},
        {"\"a\"  ,b", 2, ',', '"', false},
        {"\"a\" \n", 2, ',', '"', false},
        {"\"a\"\r", 2, ',', '"', false},
        {"\"a\" \t", 2, ',', '"', false},
        {"\"a\"b\"", 2, ',', '"', true},
        {"\"a\"b\" \t", 2, ',', '"', true},
        {"\"a\"b\",c", 2, ',', '"', true},
        {"\"a\"b\" ,c", 2, ',', '"', true},
        {"\"a\"b\"\n", 2, ',', '"', true},
        {"\"a\"b\"\r", 2, ',', '"', true},
        {"\"a\"b\"c", 2, ',', '"', false},
        {"\"a\"b\n\"", 2, ',', '"', false},
        {"\"a\"b\r\",", 2, ',', '"', false},
        {"\"a\"b,c\",d", 2, ',', '"', true},
        {"\"a\"b\"\",c", 2, ',', '"', true},
        {"\"a\"b\"\"c", 2, ',', '"', false},
        {"\"a\"b\"\"", 2, ',', '"', true},
        {"\"a\"\tb", 2, ',', '"', false},
        {"\"a\"\tb\"", 2, ',', '"', true},
        {"\"a\"\tb\"", 2, '\t', '"', false},
        {"\"a\" b\"", 2, ' ', '"', false},
        {"\"a\"b\"\t", 2, '\t', '"', true},
        {"\"a\"b\" x", 2, ' ', '"', true},
        {"'a'b',c", 2, ',', '\'', true},
        {"'a'b\",c", 2, ',', '\'', false},
        // The quote under test need not be at a field's end: only what follows it counts.
        {"\"a\"b\"c\"", 4, ',', '"', true},
        {"\"a\"b\"c\"d", 4, ',', '"', false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(show(c.input) + " q=" + std::to_string(c.q));
        EXPECT_EQ(fuzz::ReferenceParser(c.input, c.delimiter, c.quote, true).quote_is_literal(c.q),
                  c.literal);
    }
}

TEST(ResilientParser, TakePlainRowsStopsAtTheFirstRowThatNeedsTheStateMachine) {
    struct Case {
        const char* name;
        std::string input;
        ParserSettings settings;
        std::size_t fields;
        std::size_t max_rows;
        std::size_t rows;  // taken
        std::string bytes; // returned
        std::size_t line;  // afterwards
    };
    const std::string wide = std::string(40, 'w') + "," + std::string(40, 'v') + "\n";
    const std::vector<Case> table = {
        {"plain rows of the width", "a,b\nc,d\n", kComma, 2, SIZE_MAX, 2, "a,b\nc,d\n", 3},
        {"a row of another width stops the run", "a,b\nc\nd,e\n", kComma, 2, SIZE_MAX, 1, "a,b\n",
         2},
        {"width 0 takes any width", "a,b\nc\nd,e,f\n", kComma, 0, SIZE_MAX, 3, "a,b\nc\nd,e,f\n",
         4},
        {"at most max_rows", "a,b\nc,d\n", kComma, 2, 1, 1, "a,b\n", 2},
        {"none when max_rows is 0", "a,b\n", kComma, 2, 0, 0, "", 1},
        {"the last row without LF is left", "a,b\nc,d", kComma, 2, SIZE_MAX, 1, "a,b\n", 2},
        {"a quote byte anywhere in the row", "a,b\"\n", kComma, 2, SIZE_MAX, 0, "", 1},
        {"a quote in a later row", "a,b\n\"c\",d\n", kComma, 2, SIZE_MAX, 1, "a,b\n", 2},
        {"CR LF", "a,b\r\n", kComma, 2, SIZE_MAX, 0, "", 1},
        {"a lone CR", "a\rb,c\n", kComma, 0, SIZE_MAX, 0, "", 1},
        {"ill-formed UTF-8", "a\xFF,b\n", kComma, 2, SIZE_MAX, 0, "", 1},
        {"well-formed UTF-8", "\xC3\xA9,b\n", kComma, 2, SIZE_MAX, 1, "\xC3\xA9,b\n", 2},
        {"byte-order mark skipped",
         "\xEF\xBB\xBF"
         "a,b\n",
         kComma, 2, SIZE_MAX, 1, "a,b\n", 2},
        {"blank lines are rows of one field", "\n\n", kComma, 1, SIZE_MAX, 2, "\n\n", 3},
        {"a blank line is not two fields", "\n", kComma, 2, SIZE_MAX, 0, "", 1},
        {"long rows", wide + wide, kComma, 2, SIZE_MAX, 2, wide + wide, 3},
        {"a quote past the first block", wide.substr(0, 30) + "\"" + wide.substr(30), kComma, 2,
         SIZE_MAX, 0, "", 1},
        {"a delimiter past the first block",
         std::string(20, 'x') + "," + std::string(20, 'y') + ",z\n", kComma, 2, SIZE_MAX, 0, "", 1},
        {"the apostrophe as quote", "it's,x\n", {',', '\'', true}, 2, SIZE_MAX, 0, "", 1},
        {"apostrophes under the double quote", "it's,x\n", kComma, 2, SIZE_MAX, 1, "it's,x\n", 2},
        {"tab delimiter", "a\tb\n", kTab, 2, SIZE_MAX, 1, "a\tb\n", 2},
        {"delimiter equal to the quote", "a,b\n", {',', ',', true}, 2, SIZE_MAX, 0, "", 1},
        {"LF as delimiter", "a\nb\n", {'\n', '"', true}, 0, SIZE_MAX, 0, "", 1},
        {"CR as quote", "a,b\n", {',', '\r', true}, 2, SIZE_MAX, 0, "", 1},
        {"a delimiter of 0x80 or above",
         "a\xA7"
         "b\n",
         {0xA7, '"', true},
         0,
         SIZE_MAX,
         0,
         "",
         1},
        {"a quote of 0x80 or above", "a,b\n", {',', 0xA7, true}, 0, SIZE_MAX, 0, "", 1},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(std::string(c.name) + ": " + show(c.input));
        ResilientParser parser(c.input, c.settings.delimiter, c.settings.quote, c.settings.repair);
        std::size_t rows = 99;
        const std::string_view taken = parser.take_plain_rows(c.fields, c.max_rows, rows);
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(show(taken), show(c.bytes));
        EXPECT_EQ(parser.line(), c.line);
        // The rest parses as it would have without the shortcut.
        const auto full = parse_full(c.input, c.settings);
        ASSERT_GE(full.size(), c.rows);
        if (c.rows > 0) {
            EXPECT_EQ(parser.pos(), full[c.rows - 1].pos);
        }
        RowStore store;
        for (std::size_t r = c.rows; r < full.size(); ++r) {
            ASSERT_TRUE(parser.next_row(store));
            EXPECT_EQ(to_fields(store.last_row()), full[r].fields);
            EXPECT_EQ(parser.line(), full[r].line);
        }
        EXPECT_FALSE(parser.next_row(store));
    }
}

TEST(ResilientParser, FlagsRowsWhoseStrayQuoteWasKept) {
    struct Case {
        const char* name;
        std::string text;
        bool repair;
        std::vector<bool> flags; // per row
    };
    const std::vector<Case> table = {
        {"clean quoted fields", "\"a\",b\n\"c\"\"d\",e\n", true, {false, false}},
        {"a stray quote kept, then a clean row", "\"a\"b\",c\nd,e\n", true, {true, false}},
        {"repair off", "\"a\"b\",c\nd,e\n", false, {false, false}},
        {"a quote inside an unquoted field is no repair", "a\"b,c\n", true, {false}},
    };
    for (const Case& c : table) {
        ResilientParser parser(c.text, ',', '"', c.repair);
        RowStore store;
        std::vector<bool> flags;
        while (parser.next_row(store))
            flags.push_back(parser.last_row_repaired_quote());
        EXPECT_EQ(flags, c.flags) << c.name;
    }
}

} // namespace
} // namespace rowmend::test
