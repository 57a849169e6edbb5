// The salvage pass: input and options on one side; retained rows, quarantine
// records (fields, reason, line) and counters on the other.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "heuristics/dialect.h"
#include "heuristics/table_bounds.h"
#include "parser/utf8.h"
#include "salvage/salvage_pass.h"
#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

struct Record {
    Fields fields;
    std::string reason;
    std::size_t line;
    bool operator==(const Record&) const = default;
};

void PrintTo(const Record& r, std::ostream* os) {
    *os << "{" << show(r.fields) << ", \"" << r.reason << "\", line " << r.line << "}";
}

std::string too_few(std::uint64_t n) {
    return "Row has too few columns (expected " + std::to_string(n) + ")";
}
std::string too_many(std::uint64_t n) {
    return "Row has extra columns (expected " + std::to_string(n) + ")";
}

SalvageOptions layout(std::optional<std::uint8_t> delimiter, std::optional<std::uint64_t> columns,
                      bool fill = true, bool merge = true) {
    SalvageOptions options;
    options.delimiter = delimiter;
    options.expected_columns = columns;
    options.fill_ragged_rows = fill;
    options.merge_overflow = merge;
    return options;
}

SalvageOptions quoting(SalvageOptions options, std::uint8_t quote, bool repair) {
    options.quote_char = quote;
    options.repair_quotes = repair;
    return options;
}

struct Counters {
    std::uint64_t total, salvaged, repaired, quarantined, columns;
    std::uint8_t delimiter;
};

// A row the pass set aside as not part of the table.
struct Skip {
    SkipKind kind;
    std::size_t line;
    std::string text;
    bool operator==(const Skip&) const = default;
};

void PrintTo(const Skip& s, std::ostream* os) {
    *os << "{" << skip_kind_name(s.kind) << ", line " << s.line << ", " << show(s.text) << "}";
}

struct Outcome {
    Rows rows;
    std::vector<Record> quarantine;
    SalvageCounters counters;
    std::vector<Skip> skipped;
};

// Every field's ASCII flag must say whether its text is pure ASCII: the
// writers and the reader pick their fast paths by it.
void expect_ascii_flags(const RowView& row) {
    for (const FieldView field : row) {
        EXPECT_EQ(field.ascii, utf8::is_ascii(field.text.data(), field.text.size()))
            << show(field.text);
    }
}

Outcome collect(const SalvageOutcome& outcome) {
    for (std::size_t r = 0; r < outcome.rows.row_count(); ++r)
        expect_ascii_flags(outcome.rows.row(r));
    for (std::size_t q = 0; q < outcome.quarantine.size(); ++q)
        expect_ascii_flags(outcome.quarantine.fields(q));
    Outcome out{all_rows(outcome.rows), {}, outcome.counters, {}};
    for (std::size_t i = 0; i < outcome.quarantine.size(); ++i) {
        out.quarantine.push_back({to_fields(outcome.quarantine.fields(i)),
                                  outcome.quarantine.reason(i), outcome.quarantine.line(i)});
    }
    return out;
}

// The pass pushed `chunk` bytes at a time, as a stream feeds it, with a sink
// that keeps what it is told.
Outcome collect_streaming(std::string_view input, const SalvageOptions& options,
                          std::size_t chunk) {
    struct Collect final : RowSink {
        Outcome out;
        char delimiter = ',';
        std::uint64_t columns = 0;
        std::uint64_t next_line = 1;
        bool begin(const SalvageCounters& layout) override {
            delimiter = static_cast<char>(layout.detected_delimiter);
            columns = layout.inferred_columns;
            return true;
        }
        bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first) override {
            EXPECT_GE(first, next_line);
            std::size_t seen = 0;
            for (std::size_t lf; (lf = lines.find('\n')) != std::string_view::npos; ++seen) {
                RowStore row;
                row.append_split_row(lines.substr(0, lf), delimiter);
                out.rows.push_back(to_fields(row.last_row()));
                lines.remove_prefix(lf + 1);
            }
            EXPECT_TRUE(lines.empty());
            EXPECT_EQ(seen, rows);
            next_line = first + rows;
            return true;
        }
        bool row(const RowEvent& event) override {
            EXPECT_GE(event.line, next_line);
            next_line = event.line + 1;
            expect_ascii_flags(event.fields);
            if (is_retained(event.fate)) {
                out.rows.push_back(to_fields(event.fields));
            } else {
                out.quarantine.push_back(
                    {to_fields(event.fields), quarantine_reason(event.fate, columns), event.line});
            }
            return true;
        }
        bool skipped(const SkippedRow& row) override {
            EXPECT_GE(row.line, next_line);
            next_line = row.line + 1;
            out.skipped.push_back({row.kind, row.line, std::string(row.text)});
            return true;
        }
    } sink;
    SalvagePass pass(options, sink);
    for (std::size_t at = 0; at < input.size(); at += chunk)
        pass.feed(input.data() + at, std::min(chunk, input.size() - at));
    pass.finish();
    EXPECT_TRUE(pass.finished());
    sink.out.counters = pass.counters();
    return sink.out;
}

void expect_counters(const SalvageCounters& actual, const Counters& expected) {
    EXPECT_EQ(actual.total_rows, expected.total);
    EXPECT_EQ(actual.salvaged_rows, expected.salvaged);
    EXPECT_EQ(actual.repaired_rows, expected.repaired);
    EXPECT_EQ(actual.quarantined_rows, expected.quarantined);
    EXPECT_EQ(actual.inferred_columns, expected.columns);
    EXPECT_EQ(int{actual.detected_delimiter}, int{expected.delimiter});
}

void expect_consistent(const Outcome& outcome) {
    const SalvageCounters& c = outcome.counters;
    EXPECT_EQ(c.total_rows, c.salvaged_rows + c.quarantined_rows + c.skipped_rows);
    EXPECT_LE(c.repaired_rows, c.salvaged_rows);
    EXPECT_EQ(c.salvaged_rows, outcome.rows.size());
    EXPECT_EQ(c.quarantined_rows, outcome.quarantine.size());
    if (c.inferred_columns != 0) {
        for (const Fields& row : outcome.rows) {
            EXPECT_EQ(row.size(), c.inferred_columns);
        }
    }
}

struct PassCase {
    const char* name;
    std::string input;
    SalvageOptions options;
    Rows rows;
    std::vector<Record> quarantine;
    Counters counters;
};

void check_all(const std::vector<PassCase>& table) {
    for (const PassCase& c : table) {
        SCOPED_TRACE(std::string(c.name) + ": " + show(c.input));
        const Outcome outcome = collect(salvage_slice(c.input, c.options));
        EXPECT_EQ(outcome.rows, c.rows);
        EXPECT_EQ(outcome.quarantine, c.quarantine);
        expect_counters(outcome.counters, c.counters);
        expect_consistent(outcome);

        // Windows of every size down to one byte see the same rows.
        for (const std::size_t chunk : {1, 2, 3, 5, 16, 64}) {
            SCOPED_TRACE("chunks of " + std::to_string(chunk));
            const Outcome streamed = collect_streaming(c.input, c.options, chunk);
            EXPECT_EQ(streamed.rows, c.rows);
            EXPECT_EQ(streamed.quarantine, c.quarantine);
            expect_counters(streamed.counters, c.counters);
        }
    }
}

TEST(SalvagePass, FillMergeOrQuarantine) {
    const std::string abc = "a,b,c\nd,e\nf,g,h,i\n";
    check_all({
        {"fill and merge",
         abc,
         layout(',', 3),
         {{"a", "b", "c"}, {"d", "e", ""}, {"f", "g", "h,i"}},
         {},
         {3, 3, 2, 0, 3, ','}},
        {"fill and merge off",
         abc,
         layout(',', 3, false, false),
         {{"a", "b", "c"}},
         {{{"d", "e"}, too_few(3), 2}, {{"f", "g", "h", "i"}, too_many(3), 3}},
         {3, 1, 0, 2, 3, ','}},
        {"fill on, merge off",
         "a\na,b,c\na,b\n",
         layout(',', 2, true, false),
         {{"a", ""}, {"a", "b"}},
         {{{"a", "b", "c"}, too_many(2), 2}},
         {3, 2, 1, 1, 2, ','}},
        {"fill off, merge on",
         "a\na,b,c\na,b\n",
         layout(',', 2, false, true),
         {{"a", "b,c"}, {"a", "b"}},
         {{{"a"}, too_few(2), 1}},
         {3, 2, 1, 1, 2, ','}},
        {"blank line filled", "\n", layout(',', 2), {{"", ""}}, {}, {1, 1, 1, 0, 2, ','}},
        {"blank line at one column", "\n", layout(',', 1), {{""}}, {}, {1, 1, 0, 0, 1, ','}},
        {"blank line quarantined",
         "\n",
         layout(',', 3, false),
         {},
         {{{""}, too_few(3), 1}},
         {1, 0, 0, 1, 3, ','}},
        {"empty fields are not a blank row",
         ",\n",
         layout(',', 2),
         {{"", ""}},
         {},
         {1, 1, 0, 0, 2, ','}},
        {"merge keeps empty surplus fields",
         "a,b,c,,",
         layout(',', 3),
         {{"a", "b", "c,,"}},
         {},
         {1, 1, 1, 0, 3, ','}},
        {"merge loses the quoting",
         "a,\"x,y\",z",
         layout(',', 2),
         {{"a", "x,y,z"}},
         {},
         {1, 1, 1, 0, 2, ','}},
        {"one column merges the whole row",
         "a;b;c;d;e",
         layout(';', 1),
         {{"a;b;c;d;e"}},
         {},
         {1, 1, 1, 0, 1, ';'}},
        {"a high delimiter merges as its two-byte text",
         "a\xA7"
         "b\xA7"
         "c",
         layout(0xA7, 2),
         {{"a", "b\xC2\xA7"
                "c"}},
         {},
         {1, 1, 1, 0, 2, 0xA7}},
        {"the quote byte as delimiter",
         "a\"b\"c",
         layout('"', 1),
         {{"a\"b\"c"}},
         {},
         {1, 1, 1, 0, 1, '"'}},
        {"reasons carry the column count in decimal",
         "a\n",
         layout(',', 12345, false),
         {},
         {{{"a"}, too_few(12345), 1}},
         {1, 0, 0, 1, 12345, ','}},
    });
}

SalvageOptions skipping_blanks(SalvageOptions options) {
    options.skip_blank_rows = true;
    return options;
}

SalvageOptions preamble(SalvageOptions options, std::optional<std::size_t> rows) {
    options.detect_preamble = !rows;
    options.skip_preamble_rows = rows.value_or(0);
    return options;
}

SalvageOptions headed(SalvageOptions options) {
    options.detect_header = true;
    return options;
}

SalvageOptions footer(SalvageOptions options) {
    options.detect_footer = true;
    return options;
}

SalvageOptions last_rows(SalvageOptions options, std::size_t rows) {
    options.footer_rows = rows;
    return options;
}

SalvageOptions quotes_as_text(SalvageOptions options) {
    options.quoting = false;
    return options;
}

SalvageOptions headers(SalvageOptions options) {
    options.detect_header = true;
    return options;
}

SalvageOptions sections(SalvageOptions options) {
    options.detect_trailing_section = true;
    return options;
}

SalvageOptions comments(SalvageOptions options, std::string prefix) {
    options.comment_prefix = std::move(prefix);
    options.detect_comments = options.comment_prefix.empty();
    return options;
}

// Rows that are not part of the table reach the sink as skipped, in every
// window size, with their line and text, and count in skipped_rows.
TEST(SalvagePass, SkippedRowsAreToldApart) {
    struct Case {
        const char* name;
        std::string input;
        SalvageOptions options;
        Rows rows;
        std::vector<Skip> skipped;
    };
    const SkipKind blank = SkipKind::Blank;
    const SkipKind comment = SkipKind::Comment;
    const SkipKind pre = SkipKind::Preamble;
    const SkipKind foot = SkipKind::Footer;
    const SkipKind later = SkipKind::Section;
    const std::vector<Case> table = {
        {"blank lines between rows",
         "a,b\n\n1,2\n \t\n3,4\n",
         skipping_blanks({}),
         {{"a", "b"}, {"1", "2"}, {"3", "4"}},
         {{blank, 2, ""}, {blank, 4, " \t"}}},
        {"one column: blanks inside plain runs",
         "x\n\ny\n  \nz\n",
         skipping_blanks({}),
         {{"x"}, {"y"}, {"z"}},
         {{blank, 2, ""}, {blank, 4, "  "}}},
        {"rows left as parsed",
         "a,b\n\nc\n",
         skipping_blanks(layout(',', 0)),
         {{"a", "b"}, {"c"}},
         {{blank, 2, ""}}},
        {"CR LF and a trailing blank",
         "a,b\r\n\r\n1,2\r\n\r\n",
         skipping_blanks({}),
         {{"a", "b"}, {"1", "2"}},
         {{blank, 2, ""}, {blank, 4, ""}}},
        {"no-break space is White_Space",
         "a,b\n\xC2\xA0\n1,2\n",
         skipping_blanks({}),
         {{"a", "b"}, {"1", "2"}},
         {{blank, 2, "\xC2\xA0"}}},
        {"a tab-delimited row of two empty fields inside the table is data",
         "a\tb\n\t\nc\td\n",
         skipping_blanks(layout('\t', 0)),
         {{"a", "b"}, {"", ""}, {"c", "d"}},
         {}},
        {"rows of empty fields after the table are blank",
         "a\tb\n\t\n \t\n",
         skipping_blanks(layout('\t', 0)),
         {{"a", "b"}},
         {{blank, 2, "\t"}, {blank, 3, " \t"}}},
        {"a run of empty rows between rows of the table is blank",
         "a,b\n1,2\n,\n,\n3,4\n",
         skipping_blanks({}),
         {{"a", "b"}, {"1", "2"}, {"3", "4"}},
         {{blank, 3, ","}, {blank, 4, ","}}},
        {"a run of empty rows between rows read one by one is blank",
         "a,b\n\"1\",2\n,\n,\n\"3\",4\n",
         skipping_blanks({}),
         {{"a", "b"}, {"1", "2"}, {"3", "4"}},
         {{blank, 3, ","}, {blank, 4, ","}}},
        {"a run of empty rows that starts a run of plain rows is blank",
         "a,b\n\"1\",2\n,\n,\n3,4\n5,6\n",
         skipping_blanks({}),
         {{"a", "b"}, {"1", "2"}, {"3", "4"}, {"5", "6"}},
         {{blank, 3, ","}, {blank, 4, ","}}},
        {"empty rows with blanks in them inside the table are rows",
         "a\tb\n1\t2\n\t\n \t\n3\t4\n",
         skipping_blanks(layout('\t', 0)),
         {{"a", "b"}, {"1", "2"}, {"", ""}, {" ", ""}, {"3", "4"}},
         {}},
        {"a space is the delimiter",
         "a b\n \nc d\n",
         skipping_blanks(layout(' ', 0)),
         {{"a", "b"}, {"", ""}, {"c", "d"}},
         {}},
        {"off: blanks are filled rows", "a,b\n\n1,2\n", {}, {{"a", "b"}, {"", ""}, {"1", "2"}}, {}},
        {"detected: '#' lines before the table, of any width",
         "# export\n#a,b\na,b\n1,2\n",
         comments({}, ""),
         {{"a", "b"}, {"1", "2"}},
         {{comment, 1, "# export"}, {comment, 2, "#a,b"}}},
        {"detected: a '#' line of another width inside the table",
         "a,b\n1,2\n# note\n3,4\n",
         comments({}, ""),
         {{"a", "b"}, {"1", "2"}, {"3", "4"}},
         {{comment, 3, "# note"}}},
        {"detected: a '#' row of the table's width inside it is data",
         "a,b\n#1,2\n",
         comments({}, ""),
         {{"a", "b"}, {"#1", "2"}},
         {}},
        {"detected, one column: before the table only",
         "# t\nx\n#y\n",
         comments({}, ""),
         {{"x"}, {"#y"}},
         {{comment, 1, "# t"}}},
        {"a given prefix: every line that begins with it",
         "a,b\n//1,2\n1,2\n// x\n#3,4\n",
         comments({}, "//"),
         {{"a", "b"}, {"1", "2"}, {"#3", "4"}},
         {{comment, 2, "//1,2"}, {comment, 4, "// x"}}},
        {"comments and blanks together",
         "# t\n\na,b\n1,2\n\n# n\n",
         skipping_blanks(comments({}, "")),
         {{"a", "b"}, {"1", "2"}},
         {{comment, 1, "# t"}, {blank, 2, ""}, {blank, 5, ""}, {comment, 6, "# n"}}},
        {"detected preamble: the width is the table's",
         "Sales report\nfrom,2024\n\na,b,c\n1,2,3\n4,5,6\n",
         preamble(skipping_blanks({}), std::nullopt),
         {{"a", "b", "c"}, {"1", "2", "3"}, {"4", "5", "6"}},
         {{pre, 1, "Sales report"}, {pre, 2, "from,2024"}, {blank, 3, ""}}},
        {"detected preamble with a comment line",
         "# x\nTitle\na,b\n1,2\n",
         preamble(comments({}, ""), std::nullopt),
         {{"a", "b"}, {"1", "2"}},
         {{comment, 1, "# x"}, {pre, 2, "Title"}}},
        {"given preamble rows, whatever their width",
         "a,b\nc,d\n1,2\n",
         preamble({}, 2),
         {{"1", "2"}},
         {{pre, 1, "a,b"}, {pre, 2, "c,d"}}},
        {"no preamble detected",
         "a,b\n1\n",
         preamble({}, std::nullopt),
         {{"a", "b"}, {"1", ""}},
         {}},
        {"footer count: the last rows, a blank among them",
         "a,b\n1,2\n3,4\n\n5,6\n",
         last_rows(skipping_blanks({}), 2),
         {{"a", "b"}, {"1", "2"}, {"3", "4"}},
         {{blank, 4, ""}, {foot, 5, "5,6"}}},
        {"footer count: more than the input holds",
         "a,b\n1,2",
         last_rows({}, 5),
         {},
         {{foot, 1, "a,b"}, {foot, 2, "1,2"}}},
        {"footer count: a row over two lines is one",
         "a,b\n1,\"x\ny\"\n3,4\n",
         last_rows({}, 1),
         {{"a", "b"}, {"1", "x\ny"}},
         {{foot, 4, "3,4"}}},
        {"quoting off: quotes are text, line breaks end rows",
         "a,b\n\"x,y\"\n\"p\nq\",\"\"\n",
         quotes_as_text({}),
         {{"a", "b"}, {"\"x", "y\""}, {"\"p", ""}, {"q\"", "\"\""}},
         {}},
        {"footer: trailing narrow rows, a blank among them",
         "a,b,c\n1,2,3\nTotal,3\n\nend\n",
         footer(skipping_blanks({})),
         {{"a", "b", "c"}, {"1", "2", "3"}},
         {{foot, 3, "Total,3"}, {blank, 4, ""}, {foot, 5, "end"}}},
        {"trailing section: a second table after a blank line",
         "a,b,c\n1,2,3\n\nx,y\n7,8,9,10\n",
         sections(skipping_blanks({})),
         {{"a", "b", "c"}, {"1", "2", "3"}},
         {{blank, 3, ""}, {foot, 4, "x,y"}, {foot, 5, "7,8,9,10"}}},
        {"trailing section: ended by a row of the table",
         "a,b,c\n\nx,y\n3,4,5\n",
         sections(skipping_blanks({})),
         {{"a", "b", "c"}, {"x", "y", ""}, {"3", "4", "5"}},
         {{blank, 2, ""}}},
        {"trailing section: a second table as wide, under its own names",
         "id,n\n1,2\n3,4\n5,6\n7,8\n\ncode,qty\n9,9\n",
         headers(sections(skipping_blanks({}))),
         {{"id", "n"}, {"1", "2"}, {"3", "4"}, {"5", "6"}, {"7", "8"}},
         {{blank, 6, ""}, {later, 7, "code,qty"}, {later, 8, "9,9"}}},
        {"trailing section: narrow rows of words over values, and a row cut short",
         "id,n\n1,2\n3,4\n5,6\nEnd\n(2 rows)\n9\n",
         headers(sections({})),
         {{"id", "n"},
          {"1", "2"},
          {"3", "4"},
          {"5", "6"},
          {"End", ""},
          {"(2 rows)", ""},
          {"9", ""}},
         {}},
        {"trailing section: narrow rows of words over values at the end",
         "id,n\n1,2\n3,4\n5,6\nEnd\n(2 rows)\n",
         headers(sections({})),
         {{"id", "n"}, {"1", "2"}, {"3", "4"}, {"5", "6"}},
         {{foot, 5, "End"}, {foot, 6, "(2 rows)"}}},
        {"trailing section: the header again is no second table",
         "id,n\n1,2\n3,4\n\nid,n\n5,6\n",
         headers(sections(skipping_blanks({}))),
         {{"id", "n"}, {"1", "2"}, {"3", "4"}, {"id", "n"}, {"5", "6"}},
         {{blank, 4, ""}}},
        {"trailing section: no blank line, no section",
         "a,b,c\n1,2,3\nx,y\n",
         sections(skipping_blanks({})),
         {{"a", "b", "c"}, {"1", "2", "3"}, {"x", "y", ""}},
         {}},
        {"footer: narrow rows followed by the table are rows",
         "a,b,c\n1,2\n\n3,4,5\n",
         footer(skipping_blanks({})),
         {{"a", "b", "c"}, {"1", "2", ""}, {"3", "4", "5"}},
         {{blank, 3, ""}}},
        {"footer: a run longer than the limit is data",
         "a,b\nx\nx\nx\nx\nx\nx\nx\nx\nx\n",
         footer(layout(',', 2)),
         {{"a", "b"},
          {"x", ""},
          {"x", ""},
          {"x", ""},
          {"x", ""},
          {"x", ""},
          {"x", ""},
          {"x", ""},
          {"x", ""},
          {"x", ""}},
         {}},
        {"footer: the first row is never one", "a\n1,2\n", footer({}), {{"a", ""}, {"1", "2"}}, {}},
        {"footer: a last row the input ends inside is data",
         "a,b,c\n1,2,3\n4,5",
         footer({}),
         {{"a", "b", "c"}, {"1", "2", "3"}, {"4", "5", ""}},
         {}},
        {"footer: a last row of values of its columns' kinds is data",
         "id,name,amount\n1,ana,2.5\n2,bo\n",
         footer(headed({})),
         {{"id", "name", "amount"}, {"1", "ana", "2.5"}, {"2", "bo", ""}},
         {}},
        {"footer: text where the column holds numbers, though unterminated",
         "id,name,amount\n1,ana,2.5\nTotal,2.5",
         footer(headed({})),
         {{"id", "name", "amount"}, {"1", "ana", "2.5"}},
         {{foot, 3, "Total,2.5"}}},
        {"footer: two narrow rows are no cut-off row",
         "id,name,amount\n1,ana,2.5\n2,bo\n3,cy\n",
         footer(headed({})),
         {{"id", "name", "amount"}, {"1", "ana", "2.5"}},
         {{foot, 3, "2,bo"}, {foot, 4, "3,cy"}}},
        {"off: '#' lines are rows", "# t\na,b\n", {}, {{"# t", ""}, {"a", "b"}}, {}},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(std::string(c.name) + ": " + show(c.input));
        for (const std::size_t chunk : {1, 2, 3, 7, 64}) {
            SCOPED_TRACE("chunks of " + std::to_string(chunk));
            const Outcome outcome = collect_streaming(c.input, c.options, chunk);
            EXPECT_EQ(outcome.rows, c.rows);
            EXPECT_EQ(outcome.skipped, c.skipped);
            EXPECT_EQ(outcome.counters.skipped_rows, c.skipped.size());
            for (std::size_t k = 0; k < kSkipKinds; ++k) {
                const auto of_kind =
                    std::count_if(c.skipped.begin(), c.skipped.end(), [&](const Skip& s) {
                        return static_cast<std::size_t>(s.kind) == k;
                    });
                EXPECT_EQ(outcome.counters.skipped_by_kind[k], static_cast<std::uint64_t>(of_kind));
            }
            expect_consistent(outcome);
        }
    }
}

// Rows of empty cells wait to see whether the table goes on after them,
// but not without end: past so many they go on, and a run that long is
// blank rows, in any window, the rows cut at the bound too.
TEST(SalvagePass, ALongRunOfEmptyRowsInsideTheTableIsBlank) {
    std::string input = "a,b\n1,2\n";
    const Rows rows = {{"a", "b"}, {"1", "2"}, {"c", "d"}};
    const std::size_t empties = SalvagePass::kMaxEmptyRows + 1;
    for (std::size_t i = 0; i < empties; ++i)
        input += ",\n";
    input += "c,d\n";
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{4096}, input.size()}) {
        SCOPED_TRACE("chunks of " + std::to_string(chunk));
        const Outcome outcome = collect_streaming(input, skipping_blanks({}), chunk);
        EXPECT_EQ(outcome.rows, rows);
        EXPECT_EQ(outcome.skipped.size(), empties);
        expect_consistent(outcome);
    }
}

TEST(SalvagePass, ZeroColumnsLeaveRowsAsParsed) {
    const std::string ragged = "a\nb,c\n,,,\n\n";
    check_all({
        {"given zero",
         ragged,
         layout(',', 0, false, false),
         {{"a"}, {"b", "c"}, {"", "", "", ""}, {""}},
         {},
         {4, 4, 0, 0, 0, ','}},
        {"inferred zero",
         "\n \n",
         layout(',', std::nullopt),
         {{""}, {" "}},
         {},
         {2, 2, 0, 0, 0, ','}},
        {"sniffed and inferred zero",
         "\n\t\n",
         layout(std::nullopt, std::nullopt),
         {{""}, {"\t"}},
         {},
         {2, 2, 0, 0, 0, ','}},
    });
}

TEST(SalvagePass, EmptyInputAndByteOrderMark) {
    check_all({
        {"empty input ignores the options", "", layout(';', 5), {}, {}, {0, 0, 0, 0, 0, ','}},
        {"empty input with heuristics",
         "",
         layout(std::nullopt, std::nullopt),
         {},
         {},
         {0, 0, 0, 0, 0, ','}},
        {"mark only, heuristics",
         "\xEF\xBB\xBF",
         layout(std::nullopt, std::nullopt),
         {},
         {},
         {0, 0, 0, 0, 0, ','}},
        {"mark only, given layout", "\xEF\xBB\xBF", layout(';', 4), {}, {}, {0, 0, 0, 0, 4, ';'}},
        {"mark before rows",
         "\xEF\xBB\xBF"
         "a,b\n",
         layout(std::nullopt, std::nullopt),
         {{"a", "b"}},
         {},
         {1, 1, 0, 0, 2, ','}},
    });
}

TEST(SalvagePass, HeuristicsSettleTheLayout) {
    check_all({
        {"sniffed delimiter feeds inference",
         "a;b;c\nd;e\n",
         layout(std::nullopt, std::nullopt),
         {{"a", "b", "c"}, {"d", "e", ""}},
         {},
         {2, 2, 1, 0, 3, ';'}},
        {"a header is an ordinary row",
         "h1,h2\na,b,c\n",
         layout(std::nullopt, std::nullopt),
         {{"h1", "h2", ""}, {"a", "b", "c"}},
         {},
         {2, 2, 1, 0, 3, ','}},
        {"given delimiter absent from the text",
         "a;b\n",
         layout(',', std::nullopt),
         {{"a;b"}},
         {},
         {1, 1, 0, 0, 1, ','}},
        {"given columns, sniffed delimiter",
         "a|b|c\nd|e|f\n",
         layout(std::nullopt, 2),
         {{"a", "b|c"}, {"d", "e|f"}},
         {},
         {2, 2, 2, 0, 2, '|'}},
        // Inference reads apostrophes as ordinary characters; the pass parses
        // with the caller's quote, so its rows come out narrower than inferred.
        {"inference ignores the caller's quote",
         "'a,b',c\n'd,e',f\n",
         quoting(layout(',', std::nullopt), '\'', true),
         {{"a,b", "c", ""}, {"d,e", "f", ""}},
         {},
         {2, 2, 2, 0, 3, ','}},
    });
}

TEST(SalvagePass, QuoteSettingsSteerTheParser) {
    const std::string said = "\"He said \"hi\" there\",x\n";
    check_all({
        {"repair on",
         said,
         layout(',', 2),
         {{"He said \"hi\" there", "x"}},
         {},
         {1, 1, 0, 0, 2, ','}},
        {"repair off",
         said,
         quoting(layout(',', 2), '"', false),
         {{"He said hi\" there\"", "x"}},
         {},
         {1, 1, 0, 0, 2, ','}},
        {"apostrophe quote",
         "'a,b',c\n",
         quoting(layout(',', 2), '\'', true),
         {{"a,b", "c"}},
         {},
         {1, 1, 0, 0, 2, ','}},
        {"double quotes are ordinary under an apostrophe quote",
         "\"a,b\",c\n",
         quoting(layout(',', 3), '\'', true),
         {{"\"a", "b\"", "c"}},
         {},
         {1, 1, 0, 0, 3, ','}},
    });
}

// A rule small enough for short inputs: test after 3 lines or 16 bytes.
SalvageOptions runaway(SalvageOptions options, RunawayQuoteRule rule = {3, 16}) {
    options.runaway_quotes = rule;
    return options;
}

TEST(SalvagePass, RunawayQuotesAreReadAsTextWhenTheirLinesAreRows) {
    const std::string stray = "1,\"open\n2,x\n3,y\n4,z\n5,w\n";
    const Rows read_as_text = {{"1", "\"open"}, {"2", "x"}, {"3", "y"}, {"4", "z"}, {"5", "w"}};
    const std::string zs(40, 'z');
    check_all({
        {"off: the field runs to the end",
         stray,
         layout(',', 2),
         {{"1", "open\n2,x\n3,y\n4,z\n5,w\n"}},
         {},
         {1, 1, 0, 0, 2, ','}},
        {"after three lines of rows",
         stray,
         runaway(layout(',', 2), {3, 1000}),
         read_as_text,
         {},
         {5, 5, 1, 0, 2, ','}},
        {"CR LF line ends",
         "1,\"open\r\n2,x\r\n3,y\r\n4,z\r\n5,w\r\n",
         runaway(layout(',', 2), {3, 1000}),
         read_as_text,
         {},
         {5, 5, 1, 0, 2, ','}},
        {"after 16 bytes, on the whole lines in them",
         "1,\"abcdefghij\n2,x\n3,y\n",
         runaway(layout(',', 2)),
         {{"1", "\"abcdefghij"}, {"2", "x"}, {"3", "y"}},
         {},
         {3, 3, 1, 0, 2, ','}},
        {"a text whose lines are no rows",
         "1,\"one\ntwo\nthree\nfour\nend\"\n2,x\n",
         runaway(layout(',', 2), {3, 1000}),
         {{"1", "one\ntwo\nthree\nfour\nend"}, {"2", "x"}},
         {},
         {2, 2, 0, 0, 2, ','}},
        {"one value longer than the bytes",
         "1,\"" + zs + "\"\n2,x\n",
         runaway(layout(',', 2)),
         {{"1", zs}, {"2", "x"}},
         {},
         {2, 2, 0, 0, 2, ','}},
        {"closed before the rule's lines",
         "1,\"a\n2,x\n3,y\"\n4,z\n",
         runaway(layout(',', 2), {3, 1000}),
         {{"1", "a\n2,x\n3,y"}, {"4", "z"}},
         {},
         {2, 2, 0, 0, 2, ','}},
        {"fewer than three in four lines are rows",
         "1,\"a\nb\n2,x\nc\n3,y\n",
         runaway(layout(',', 2), {3, 1000}),
         {{"1", "a\nb\n2,x\nc\n3,y\n"}},
         {},
         {1, 1, 0, 0, 2, ','}},
        {"the input ends inside the field",
         "1,x\n2,\"open\n3,y",
         runaway(layout(',', 2)),
         {{"1", "x"}, {"2", "\"open"}, {"3", "y"}},
         {},
         {3, 3, 1, 0, 2, ','}},
        {"a first line longer than the bytes, rows after it, no close",
         "1,\"" + zs + "\n2,x\n3,y\n",
         runaway(layout(',', 2)),
         {{"1", "\"" + zs}, {"2", "x"}, {"3", "y"}},
         {},
         {3, 3, 1, 0, 2, ','}},
        {"filled after the quote is read as text",
         "1,\"op\n3,4,5\n6,7,8\n",
         runaway(layout(',', 3), {1, 1000}),
         {{"1", "\"op", ""}, {"3", "4", "5"}, {"6", "7", "8"}},
         {},
         {3, 3, 1, 0, 3, ','}},
        {"quarantined when filling is off",
         "1,\"op\n2,x,y\n3,x,y\n",
         runaway(layout(',', 3, false), {1, 1000}),
         {{"2", "x", "y"}, {"3", "x", "y"}},
         {{{"1", "\"op"}, too_few(3), 1}},
         {3, 2, 0, 1, 3, ','}},
        {"one column tells nothing",
         "\"open\nx\ny\nz\nw\n",
         runaway(layout(',', 1), {1, 1000}),
         {{"open\nx\ny\nz\nw\n"}},
         {},
         {1, 1, 0, 0, 1, ','}},
    });
}

// With runaway quotes read as text, the layout heuristics sample rows that
// end within a bound: a quote that never closes does not hold the input back,
// and every prefix answers nothing or what the whole input answers.
TEST(SalvagePass, LayoutSamplesEndWithinTheirBytes) {
    const Dialect comma{',', '"', 0, false};
    const std::string runaway = "a,b\n1,\"open\n" + std::string(40, 'x') + "\n2,y\n";
    const std::string preamble = "title\na,b,c\n1,2,3\n4,\"open\n5,6,7\n8,9,0\n";
    // The first row is read again with the quote tested against the width
    // of the lines after it: at the end of input, or after 64 lines.
    const std::string first_row = "\"open,a\n1,2\n3,4\n";
    std::string first_row_long = "\"open,a\n";
    for (int i = 0; i < 70; ++i)
        first_row_long += "1,2\n";
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::uint64_t> columns;
        std::optional<std::size_t> preamble_rows;
        std::size_t answered_from; // the shortest prefix that answers
    };
    for (const Case& c : std::vector<Case>{
             {"a runaway second row", runaway, 2, 0, 13},
             {"a runaway row after a preamble", preamble, 3, 1, 13},
             {"the first row runs away to the end", first_row, 2, 0, first_row.size()},
             {"the first row runs away for 64 lines", first_row_long, 2, 0, 8 + 64 * 4},
             {"a first line longer than the sample is read whole", "a,b,cccccccccccccccc\n1,2,3\n",
              3, 0, 21},
         }) {
        SCOPED_TRACE(c.name);
        const std::size_t limit = 12;
        for (std::size_t n = 0; n <= c.text.size(); ++n) {
            const std::string_view prefix = std::string_view(c.text).substr(0, n);
            const bool final = n == c.text.size();
            const auto columns = infer_columns_in_dialect(prefix, comma, final, limit);
            const auto start = find_table_start(prefix, ',', "", final, std::nullopt, limit);
            if (n < c.answered_from) {
                EXPECT_FALSE(columns.has_value()) << n;
                EXPECT_FALSE(start.has_value()) << n;
                continue;
            }
            EXPECT_EQ(columns, c.columns) << n;
            ASSERT_TRUE(start.has_value()) << n;
            EXPECT_EQ(start->rows, c.preamble_rows) << n;
        }
    }
}

TEST(SalvagePass, RecordsCarryThePhysicalLineWhereTheRowBegins) {
    check_all({
        {"after a multi-line quoted row",
         "a,b\n\"x\ny\",z,w\nc\nd,e\n",
         layout(',', 2, false, false),
         {{"a", "b"}, {"d", "e"}},
         {{{"x\ny", "z", "w"}, too_many(2), 2}, {{"c"}, too_few(2), 4}},
         {4, 2, 0, 2, 2, ','}},
        {"CR-only line ends",
         "a,b\rc\rd,e\rf\r",
         layout(',', 2, false),
         {{"a", "b"}, {"d", "e"}},
         {{{"c"}, too_few(2), 2}, {{"f"}, too_few(2), 4}},
         {4, 2, 0, 2, 2, ','}},
        {"CR LF line ends",
         "a,b\r\nc\r\nd,e\r\n",
         layout(',', 2, false),
         {{"a", "b"}, {"d", "e"}},
         {{{"c"}, too_few(2), 2}},
         {3, 2, 0, 1, 2, ','}},
        {"blank lines are rows with lines",
         "\n\nc\n",
         layout(',', 2, false),
         {},
         {{{""}, too_few(2), 1}, {{""}, too_few(2), 2}, {{"c"}, too_few(2), 3}},
         {3, 0, 0, 3, 2, ','}},
        {"last row without a line end",
         "a,b\nc",
         layout(',', 2, false),
         {{"a", "b"}},
         {{{"c"}, too_few(2), 2}},
         {2, 1, 0, 1, 2, ','}},
        {"byte-order mark",
         "\xEF\xBB\xBF"
         "c\na,b\n",
         layout(',', 2, false),
         {{"a", "b"}},
         {{{"c"}, too_few(2), 1}},
         {2, 1, 0, 1, 2, ','}},
        {"unterminated quote to the end",
         "a,b\n\"x\ny",
         layout(',', 2, false),
         {{"a", "b"}},
         {{{"x\ny"}, too_few(2), 2}},
         {2, 1, 0, 1, 2, ','}},
        {"two multi-line rows",
         "\"a\nb\nc\"\nd\n\"e\r\nf\"\ng\n",
         layout(',', 2, false),
         {},
         {{{"a\nb\nc"}, too_few(2), 1},
          {{"d"}, too_few(2), 4},
          {{"e\r\nf"}, too_few(2), 5},
          {{"g"}, too_few(2), 7}},
         {4, 0, 0, 4, 2, ','}},
    });
}

TEST(SalvagePass, QuarantineListKeepsFatesAndLines) {
    const SalvageOutcome outcome = salvage_slice("a\na,b,c\na,b\n", layout(',', 2, false, false));
    ASSERT_EQ(outcome.quarantine.size(), 2u);
    EXPECT_EQ(outcome.quarantine.fate(0), RowFate::TooFew);
    EXPECT_EQ(outcome.quarantine.fate(1), RowFate::TooMany);
    EXPECT_EQ(quarantine_reason(RowFate::TooFew, 0), "Row has too few columns (expected 0)");
    EXPECT_EQ(quarantine_reason(RowFate::TooMany, 18446744073709551615ULL),
              "Row has extra columns (expected 18446744073709551615)");
}

// The whole pass against a plain model: the reference parser's rows, the
// line counter before each, and the fill, merge and quarantine rules.
TEST(SalvagePass, RandomInputsMatchAPlainModel) {
    const std::vector<std::string> tokens = {"a", "b", ",",  ";",  "\xA7", "\"",
                                             "'", " ", "\n", "\r", "\r\n", "\xFF"};
    std::mt19937_64 rng(31337);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (int i = 0; i < 4000; ++i) {
        std::string input;
        for (std::size_t k = pick(60); k > 0; --k)
            input += tokens[pick(tokens.size())];
        SalvageOptions options;
        const std::uint8_t delimiters[] = {',', ';', 0xA7};
        if (pick(4) != 0)
            options.delimiter = delimiters[pick(3)];
        if (pick(4) != 0)
            options.expected_columns = pick(5);
        options.fill_ragged_rows = pick(2) == 0;
        options.merge_overflow = pick(2) == 0;
        options.quote_char = pick(3) == 0 ? '\'' : '"';
        options.repair_quotes = pick(3) != 0;

        Outcome expected;
        if (input.empty()) {
            expected.counters = SalvageCounters{};
        } else {
            const std::uint8_t delimiter =
                options.delimiter ? *options.delimiter : sniff_delimiter(input);
            const std::uint64_t columns = options.expected_columns
                                              ? *options.expected_columns
                                              : infer_column_count(input, delimiter);
            expected.counters.detected_delimiter = delimiter;
            expected.counters.inferred_columns = columns;
            const std::string separator =
                delimiter < 0x80 ? std::string(1, static_cast<char>(delimiter))
                                 : std::string{static_cast<char>(0xC0 | (delimiter >> 6)),
                                               static_cast<char>(0x80 | (delimiter & 0x3F))};
            std::size_t line = 1;
            for (const ParsedRow& parsed :
                 parse_reference(input, {delimiter, options.quote_char, options.repair_quotes})) {
                Fields row = parsed.fields;
                const std::size_t row_line = line;
                line = parsed.line;
                ++expected.counters.total_rows;
                if (columns == 0 || row.size() == columns) {
                    expected.rows.push_back(row);
                } else if (row.size() < columns && options.fill_ragged_rows) {
                    row.resize(columns);
                    expected.rows.push_back(row);
                    ++expected.counters.repaired_rows;
                } else if (row.size() < columns) {
                    expected.quarantine.push_back({row, too_few(columns), row_line});
                } else if (options.merge_overflow) {
                    std::string merged = row[columns - 1];
                    for (std::size_t f = columns; f < row.size(); ++f)
                        merged += separator + row[f];
                    row.resize(columns - 1);
                    row.push_back(merged);
                    expected.rows.push_back(row);
                    ++expected.counters.repaired_rows;
                } else {
                    expected.quarantine.push_back({row, too_many(columns), row_line});
                }
            }
            expected.counters.salvaged_rows = expected.rows.size();
            expected.counters.quarantined_rows = expected.quarantine.size();
        }

        const Outcome actual = collect(salvage_slice(input, options));
        ASSERT_EQ(actual.rows, expected.rows) << show(input);
        ASSERT_EQ(actual.quarantine, expected.quarantine) << show(input);
        const Counters c{expected.counters.total_rows,       expected.counters.salvaged_rows,
                         expected.counters.repaired_rows,    expected.counters.quarantined_rows,
                         expected.counters.inferred_columns, expected.counters.detected_delimiter};
        expect_counters(actual.counters, c);
        const Outcome streamed =
            collect_streaming(input, options, 1 + static_cast<std::size_t>(i) % 7);
        ASSERT_EQ(streamed.rows, expected.rows) << show(input);
        ASSERT_EQ(streamed.quarantine, expected.quarantine) << show(input);
        if (HasFailure()) {
            ADD_FAILURE() << "input " << show(input);
            return;
        }
    }
}

} // namespace
} // namespace rowmend::test
