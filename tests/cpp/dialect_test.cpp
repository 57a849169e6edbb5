// The package's dialect detection and the parser's escape and trimming
// rules: sample text on one side, the dialect or the fields on the other.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heuristics/dialect.h"
#include "parser/resilient_parser.h"
#include "salvage/salvage_pass.h"
#include "salvage/salvage_slice.h"

namespace rowmend::test {
namespace {

std::string rows(std::initializer_list<std::string_view> lines, std::size_t times = 1) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        for (const std::string_view line : lines) {
            out += line;
            out += '\n';
        }
    return out;
}

struct DialectCase {
    const char* name;
    std::string sample;
    DialectHint hint;
    Dialect expected;
};

TEST(DetectDialect, OneRulePerCase) {
    const std::vector<DialectCase> table = {
        {"comma",
         rows({"id,name,score"}) + rows({"1,ann,2.5", "2,bob,3"}, 4),
         {},
         {',', '"', 0, false}},
        {"semicolon with decimal commas",
         rows({"id;price;qty"}) + rows({"1;1,5;3", "2;22,75;4"}, 4),
         {},
         {';', '"', 0, false}},
        {"semicolon with decimal commas in every column",
         rows({"a;b"}) + rows({"1,5;2,5"}, 8),
         {},
         {';', '"', 0, false}},
        {"tab", rows({"a\tb\tc"}, 6), {}, {'\t', '"', 0, false}},
        {"vertical bar", rows({"a|b|c"}, 6), {}, {'|', '"', 0, false}},
        {"colon",
         rows({"user:uid:shell"}) + rows({"root:0:/bin/sh", "ann:1000:/bin/bash"}, 4),
         {},
         {':', '"', 0, false}},
        {"colon beside times in a comma file",
         rows({"when,count"}) + rows({"12:30:05,3", "13:01:59,4"}, 4),
         {},
         {',', '"', 0, false}},
        {"caret", rows({"a^b^c"}) + rows({"1^x^2"}, 5), {}, {'^', '"', 0, false}},
        {"tilde", rows({"a~b~c"}) + rows({"1~x~2"}, 5), {}, {'~', '"', 0, false}},
        {"space",
         rows({"name qty price"}) + rows({"apple 3 1.5", "pear 10 0.25"}, 4),
         {},
         {' ', '"', 0, false}},
        {"comma and space with quoted commas",
         rows({"id, text, n"}) + rows({"1, \"a, b\", 3", "2, \"c, d, e\", 4"}, 4),
         {},
         {',', '"', 0, true}},
        {"semicolon and space",
         rows({"a; b; c"}) + rows({"1; x y; 2"}, 5),
         {},
         {';', '"', 0, true}},
        {"a blank after only some commas is text",
         rows({"a,b"}) + rows({"1, x", "2,y"}, 4),
         {},
         {',', '"', 0, false}},
        {"apostrophe quotes",
         rows({"a,b,c"}) + rows({"1,'x,y',2", "3,'z',4"}, 4),
         {},
         {',', '\'', 0, false}},
        {"apostrophes around every value, no delimiter inside",
         rows({"'id','name'"}) + rows({"'1','ana'", "'2','bo'"}, 4),
         {},
         {',', '\'', 0, false}},
        {"apostrophes around the text values",
         rows({"id,name"}) + rows({"1,'ana'", "2,'bo'"}, 4),
         {},
         {',', '\'', 0, false}},
        {"apostrophes in some rows only",
         rows({"a,b,c", "1,'x ''y'' z',2", "3,'''''',4", "5,6,7"}),
         {},
         {',', '"', 0, false}},
        {"one value in apostrophes is no quoting",
         rows({"id,name"}) + rows({"1,'ana'"}) + rows({"2,bo"}, 6),
         {},
         {',', '"', 0, false}},
        {"apostrophes inside words stay text",
         rows({"a,b"}) + rows({"1,it's", "2,O'Brien's"}, 4),
         {},
         {',', '"', 0, false}},
        {"backslash before quotes",
         rows({"a,b,c"}) + rows({"1,\"say \\\"hi\\\", ok\",2"}, 5),
         {},
         {',', '"', '\\', false}},
        {"backslash before delimiters",
         rows({"a,b,c"}) + rows({"1,x\\,y,2", "3,z,4"}, 4),
         {},
         {',', '"', '\\', false}},
        {"backslashes in paths are no escape",
         rows({"a,b"}) + rows({"1,C:\\dir\\x", "2,D:\\y"}, 4),
         {},
         {',', '"', 0, false}},
        {"nothing splits", rows({"one", "two"}), {}, {',', '"', 0, false}},
        {"a given delimiter is kept",
         rows({"a;b,c"}, 6),
         {';', false, {}, {}},
         {';', '"', 0, false}},
        {"a given separator with a blank is kept",
         rows({"a, b"}, 6),
         {',', true, {}, {}},
         {',', '"', 0, true}},
        {"a given quote is kept",
         rows({"a,b,c"}) + rows({"1,'x,y',2"}, 4),
         {{}, false, '"', {}},
         {',', '"', 0, false}},
        {"a given escape of none is kept",
         rows({"a,b,c"}) + rows({"1,x\\,y,2", "3,z,4"}, 4),
         {{}, false, {}, 0},
         {',', '"', 0, false}},
    };
    for (const DialectCase& c : table) {
        const std::optional<Dialect> found = detect_dialect_prefix(c.sample, true, c.hint);
        ASSERT_TRUE(found) << c.name;
        EXPECT_EQ(found->delimiter, c.expected.delimiter) << c.name;
        EXPECT_EQ(found->quote, c.expected.quote) << c.name;
        EXPECT_EQ(found->escape, c.expected.escape) << c.name;
        EXPECT_EQ(found->trim_blank, c.expected.trim_blank) << c.name;
    }
}

TEST(DetectDialect, WaitsForASampleOrTheEnd) {
    const std::string text = rows({"a;b;c"}, 10);
    EXPECT_FALSE(detect_dialect_prefix(text, false));
    // A first row longer than the sample is read no further than the sample.
    std::string giant = "a;\"" + std::string(2 * kDialectSample, 'x');
    const std::optional<Dialect> found = detect_dialect_prefix(giant, false);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->delimiter, ',');
}

TEST(InferColumnsInDialect, ReadsQuotesEscapesAndTrimmedBlanks) {
    struct Case {
        const char* name;
        std::string text;
        Dialect dialect;
        std::uint64_t columns;
    };
    const std::vector<Case> table = {
        {"apostrophe quotes hide a comma in two rows", "a,b\n'x,y',z\n", {',', '\'', 0, false}, 2},
        {"escaped delimiter", "a,b\nx\\,y,z\n", {',', '"', '\\', false}, 2},
        {"quoted after a trimmed blank", "a, b\n\"x, y\", z\n", {',', '"', 0, true}, 2},
    };
    for (const Case& c : table)
        EXPECT_EQ(infer_columns_in_dialect(c.text, c.dialect, true), c.columns) << c.name;
}

std::vector<std::vector<std::string>> parse(std::string_view text, std::uint8_t escape, bool trim) {
    ResilientParser parser(text, ',', '"', true);
    parser.set_escape(escape);
    parser.set_trim_after_delimiter(trim);
    RowStore store;
    std::vector<std::vector<std::string>> out;
    while (parser.next_row(store)) {
        const RowView row = store.last_row();
        auto& fields = out.emplace_back();
        for (std::size_t i = 0; i < row.size(); ++i)
            fields.emplace_back(row.field(i).text);
    }
    return out;
}

TEST(ParserEscape, TheByteAfterTheEscapeIsText) {
    struct Case {
        const char* name;
        std::string text;
        std::uint8_t escape;
        bool trim;
        std::vector<std::vector<std::string>> rows;
    };
    const std::vector<Case> table = {
        {"off: a backslash is text", "a\\,b", 0, false, {{"a\\", "b"}}},
        {"escaped delimiter", "a\\,b,c", '\\', false, {{"a,b", "c"}}},
        {"escaped quote in quotes", "\"x\\\"y\",z", '\\', false, {{"x\"y", "z"}}},
        {"escaped line break", "a\\\nb,c\nd", '\\', false, {{"a\nb", "c"}, {"d"}}},
        {"escape at the end of input", "a,b\\", '\\', false, {{"a", "b\\"}}},
        {"escape after a closing quote", "\"a\"\\,b,c", '\\', false, {{"a,b", "c"}}},
        {"trimming drops one blank", "a,  b, \"c,d\"", 0, true, {{"a", " b", "c,d"}}},
        {"trimming leaves the first field", " a, b", 0, true, {{" a", "b"}}},
    };
    for (const Case& c : table)
        EXPECT_EQ(parse(c.text, c.escape, c.trim), c.rows) << c.name;
}

TEST(SalvagePassDialect, DetectsWhenAskedAndKeepsTheBackendsRules) {
    SalvageOptions backend;
    SalvageOptions package;
    package.detect_dialect = package.detect_quote = package.detect_escape = true;
    const std::string text = rows({"a:b:c"}) + rows({"1:x:2"}, 5);
    EXPECT_EQ(salvage_slice(text, backend).counters.detected_delimiter, ',');
    const SalvageOutcome outcome = salvage_slice(text, package);
    EXPECT_EQ(outcome.counters.detected_delimiter, ':');
    EXPECT_EQ(outcome.counters.inferred_columns, 3U);
    // A separator of comma and blank: merged surplus keeps its blank.
    const SalvageOutcome merged = salvage_slice(rows({"a, b"}, 4) + "x, y, z\n", package);
    EXPECT_TRUE(merged.counters.trim_after_delimiter);
    EXPECT_EQ(merged.rows.row(4).field(1).text, "y, z");
}

} // namespace
} // namespace rowmend::test
