// Structural detection: cell kinds and whether a table's first row names its
// columns. Inputs on one side, the answer on the other.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "heuristics/header.h"
#include "heuristics/names_line.h"
#include "heuristics/table_bounds.h"
#include "heuristics/totals.h"
#include "parser/resilient_parser.h"

namespace rowmend::test {
namespace {

TEST(Detection, CellKinds) {
    struct Case {
        const char* text;
        CellKind kind;
    };
    const std::vector<Case> table = {
        {"", CellKind::Empty},
        {" \t", CellKind::Empty},
        {"12", CellKind::Number},
        {"-3.5", CellKind::Number},
        {"12,50", CellKind::Number},
        {"$1,200.50", CellKind::Number},
        {"1e-3", CellKind::Number},
        {"45%", CellKind::Number},
        {" 7 ", CellKind::Number},
        {"\xE2\x82\xAC"
         "9",
         CellKind::Number},
        {"2024-01-31", CellKind::Date},
        {"31/01/2024", CellKind::Date},
        {"12:30:00", CellKind::Date},
        {"2024-01-31T12:30:00", CellKind::Date},
        {"id", CellKind::Text},
        {"2nd", CellKind::Text},
        {"1e", CellKind::Text},
        {"-", CellKind::Text},
        {"1.2.", CellKind::Text},
        {"amount (EUR)", CellKind::Text},
    };
    for (const Case& c : table)
        EXPECT_EQ(cell_kind(c.text), c.kind) << c.text;
}

TEST(Detection, FirstRowIsHeader) {
    struct Case {
        const char* name;
        const char* input;
        bool header;
    };
    const std::vector<Case> table = {
        {"names over numbers", "id,amount\n1,2.5\n2,3\n", true},
        {"names over dates", "day,who\n2024-01-01,ana\n2024-01-02,bo\n", true},
        {"one numeric column decides", "name,city,age\nana,rome,31\nbo,oslo,40\n", true},
        {"all text, names do not recur", "name,city\nana,rome\nbo,oslo\n", true},
        {"lone row of names", "a,b,c\n", true},
        {"numbers in the first row", "1,2\n3,4\n", false},
        {"a date in the first row", "2024-01-01,x\n2024-01-02,y\n", false},
        {"an empty name", "id,,v\n1,2,3\n", false},
        {"a repeated name", "x,x\n1,2\n", false},
        {"all text, a cell recurs below", "ana,rome\nbo,rome\n", false},
        {"text below text in every column", "ana,rome\nbo,oslo\n", true},
        {"mostly text below", "code,name\nA1,x\nB2,y\n7,z\n", true},
        {"no rows", "", false},
    };
    for (const Case& c : table) {
        ResilientParser parser(c.input, ',', '"', true);
        RowStore rows;
        while (parser.next_row(rows)) {
        }
        EXPECT_EQ(first_row_is_header(rows), c.header) << c.name;
    }
}

TEST(HeaderRows, GroupLabelsOverNamesOverValues) {
    struct Case {
        const char* name;
        const char* input;
        std::size_t rows;
    };
    const std::vector<Case> table = {
        {"one row of names", "id,amount\n1,2.5\n", 1},
        {"no header", "1,2\n3,4\n", 0},
        {"repeated group label", "Meta,Meta\nid,amount\n1,2.5\n2,3\n", 2},
        {"spanning labels over repeated names", "Sales,,Returns,\nQ1,Q2,Q1,Q2\n1,2,3,4\n", 2},
        {"two group rows", "A,A\nB,B\nx,y\n1,2\n", 3},
        {"all text below: no group", "x,x\nana,rome\nbo,oslo\n", 0},
        {"a number in the group row", "Meta,7\nid,amount\n1,2.5\n", 0},
        {"an empty group row", ",\nid,amount\n1,2.5\n", 0},
        {"a first data row under a trailing delimiter", "id,name,amount,\n1,ana,2.5,\n2,bo,3.5,\n",
         1},
        {"a first data row of text under a trailing delimiter",
         "name,city,amount,\nana,rome,,\nbo,oslo,3,\ncy,pisa,4,\n", 1},
        {"a first data row under a repeated name", "id,val,val\n1,2,3\n4,5,6\n", 1},
        {"an index column with no name", ",name,amount\n0,ana,2.5\n1,bo,3.5\n", 1},
        {"repeated names over one row of numbers", "x,x,y\n1,2,3\n", 1},
        {"an empty name over one row of numbers", "x,,y\n1,2,3\n", 1},
        {"a title cell over numbers", "Report,,,\n1,2,3,4\n5,6,7,8\n", 0},
        {"text where the values are missing", "ana,rome,\nbo,oslo,3\ncy,pisa,4\n", 0},
        {"years over quarters", ",2023,,2024,\nregion,Q1,Q2,Q1,Q2\nn,1,2,3,4\n", 2},
        {"groups over years over quarters",
         "Sales,,,,Returns,,,\n2023,,2024,,2023,,2024,\nQ1,Q2,Q1,Q2,Q1,Q2,Q1,Q2\n1,2,3,4,5,6,7,8\n",
         3},
        {"a year over numbers is data", "2023,,,\n1,2,3,4\n5,6,7,8\n", 0},
    };
    for (const Case& c : table) {
        ResilientParser parser(c.input, ',', '"', true);
        RowStore rows;
        while (parser.next_row(rows)) {
        }
        EXPECT_EQ(header_rows(rows), c.rows) << c.name;
    }
}

// Names of a header of several rows: rows split at ',', names joined by '|'.
TEST(HeaderRows, SpanningLabelsCoverTheColumnsUnderThem) {
    struct Case {
        const char* name;
        std::vector<const char*> rows;
        const char* names;
    };
    const std::vector<Case> table = {
        {"one row", {"a, b"}, "a| b"},
        {"labels up to the next",
         {"Sales,,Returns,", "Q1,Q2,Q1,Q2"},
         "Sales Q1|Sales Q2|Returns Q1|Returns Q2"},
        {"the last label as wide as its siblings",
         {",Sales,,Returns,,", "id,Q1,Q2,Q1,Q2,note"},
         "id|Sales Q1|Sales Q2|Returns Q1|Returns Q2|note"},
        {"siblings of unlike widths leave the last label's span",
         {"A,,B,,,C,,", "a,b,c,d,e,f,g,h"},
         "A a|A b|B c|B d|B e|C f|C g|C h"},
        {"a label no wider than the labels under it",
         {",Sales,,,,,", ",North,,South,,,", "id,Q1,Q2,Q1,Q2,name,city"},
         "id|Sales North Q1|Sales North Q2|Sales South Q1|Sales South Q2|name|city"},
        {"a lower label stops where a group starts above",
         {"A,,B,", "x,,,", "a,b,c,d"},
         "A x a|A x b|B c|B d"},
        {"names in the top row over empty cells",
         {"id,Sales,,note", ",Q1,Q2,"},
         "id|Sales Q1|Sales Q2|note"},
    };
    for (const Case& c : table) {
        std::vector<std::vector<std::string>> rows;
        for (const char* line : c.rows) {
            rows.emplace_back();
            std::string_view rest(line);
            for (;;) {
                const std::size_t cut = rest.find(',');
                rows.back().emplace_back(rest.substr(0, cut));
                if (cut == std::string_view::npos)
                    break;
                rest.remove_prefix(cut + 1);
            }
        }
        std::string names;
        for (const std::string& name : join_header_rows(rows))
            names += (names.empty() ? "" : "|") + name;
        EXPECT_EQ(names, c.names) << c.name;
    }
}

// A names line damaged by a delimiter too many or too few, or a stray
// quote, repaired to the width of the rows below ("" when it stays as read).
TEST(NamesLine, RepairedToTheTableWidthWhenOnePlacementStandsOut) {
    struct Case {
        const char* name;
        const char* input;
        const char* names; // the repaired names joined by '|'
    };
    const std::vector<Case> table = {
        {"a delimiter before a blank inside a name", "id,last, first name,amount\n1,a,2\n2,b,3\n",
         "id|last, first name|amount"},
        {"two of them", "id,last, first,amount, usd\n1,a,2\n2,b,3\n", "id|last, first|amount, usd"},
        {"no blank: no place stands out", "id,last,first,amount\n1,a,2\n2,b,3\n", ""},
        {"two blanks for one delimiter", "id,a, b, c\n1,x,2\n2,y,3\n", ""},
        {"a blank for the missing delimiter", "id name,amount\n1,a,2\n2,b,3\n", "id|name|amount"},
        {"two blanks for one missing delimiter", "id first name,amount\n1,a,2\n2,b,3\n", ""},
        {"a stray quote in a name", "id,na\"me,amount\n1,a,2\n2,b,3\n", "id|name|amount"},
        {"a quote doubled in a quoted name is the name's", "\"foo \"\"bar\",x,y\n1,a,2\n2,b,3\n",
         ""},
        {"a clean names line", "id,name,amount\n1,a,2\n2,b,3\n", ""},
        {"a data row is no names line", "1,last, first,2\n1,a,2\n2,b,3\n", ""},
        {"rows below of mixed widths", "id,last, first,amount\n1,a,2\n2,b\n3\n", ""},
        {"a single row below is too thin", "id,last, first,amount\n1,a,2\n", ""},
    };
    for (const Case& c : table) {
        ResilientParser parser(c.input, ',', '"', true);
        RowStore rows;
        while (parser.next_row(rows)) {
        }
        const std::string_view input(c.input);
        const std::string_view line = input.substr(0, input.find('\n'));
        const std::optional<NamesRepair> repair =
            repair_names_line(rows, line, rows.row(1).size(), ',', '"');
        std::string names;
        for (const std::string& name : repair ? repair->names : std::vector<std::string>{})
            names += (names.empty() ? "" : "|") + name;
        EXPECT_EQ(names, c.names) << c.name;
    }
}

// Leading rows narrower than the table's usual width (0: blank or comment)
// stand before it only when most rows from its start have that width.
TEST(Detection, PreambleRowsFromWidths) {
    struct Case {
        const char* name;
        std::vector<std::size_t> widths;
        std::size_t rows;
    };
    const std::vector<Case> table = {
        {"no rows", {}, 0},
        {"no preamble", {3, 3, 3}, 0},
        {"a title", {1, 3, 3, 3}, 1},
        {"title, metadata, blank", {1, 2, 0, 3, 3, 3, 3}, 3},
        {"a narrower header over ragged rows", {3, 4, 4}, 0},
        {"metadata just above the table", {1, 2, 3, 3, 3}, 0},
        {"half as wide just above the table", {1, 2, 4, 4, 4}, 2},
        {"a short row inside the table", {3, 1, 3, 3}, 0},
        {"a wider first row: the table began there", {4, 3, 3, 3}, 0},
        {"no majority after the narrow rows", {1, 3, 2, 4, 2}, 0},
        {"one column", {1, 1, 1}, 0},
        {"only blank lines", {0, 0}, 0},
        {"a preamble longer than the limit", std::vector<std::size_t>(kMaxPreambleRows + 1, 1), 0},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(preamble_rows(c.widths), c.rows);
    }
    std::vector<std::size_t> longest(kMaxPreambleRows, 1);
    longest.insert(longest.end(), kMaxPreambleRows + 1, 2);
    EXPECT_EQ(preamble_rows(longest), kMaxPreambleRows);
}

TEST(Detection, TableStartInBytes) {
    struct Case {
        const char* name;
        std::string input;
        std::string comment;
        std::optional<std::size_t> given;
        bool final;
        std::optional<std::size_t> rows; // nothing: need more
        std::size_t offset;
    };
    const std::string table = "a,b\n1,2\n3,4\n";
    const std::vector<Case> cases = {
        {"none", table, "", std::nullopt, true, 0, 0},
        {"title and blank", "Report\n\n" + table, "", std::nullopt, true, 2, 8},
        {"comment of the table's width", "#x,y\n" + table, "#", std::nullopt, true, 1, 5},
        {"that line without comments: the table", "#x,y\n" + table, "", std::nullopt, true, 0, 0},
        {"a quoted line break in the title", "\"Re\nport\"\n" + table, "", std::nullopt, true, 1,
         10},
        {"given rows", "x\ny\n" + table, "", 1, true, 1, 2},
        {"given more rows than there are", "x\n", "", 5, true, 1, 2},
        {"rows run past a prefix", "Report\n" + table, "", std::nullopt, false, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<TableStart> start =
            find_table_start(c.input, ',', c.comment, c.final, c.given);
        ASSERT_EQ(start.has_value(), c.rows.has_value());
        if (start) {
            EXPECT_EQ(start->rows, *c.rows);
            EXPECT_EQ(start->offset, c.offset);
        }
    }
}

// A preamble as long as the table it stands over is set aside only when its
// lines are of another kind than the table's rows.
TEST(Detection, ThinPreambleNeedsLinesOfAnotherKind) {
    struct Case {
        const char* name;
        std::string input;
        std::size_t rows;       // set aside
        std::size_t considered; // suggested by the widths, not taken
    };
    const std::vector<Case> cases = {
        {"the widest row last", "a,b,c\n1,x,2\n3,y\n5,z,6,7\n", 0, 3},
        {"rows padded with nulls", "10,100\n10\n10,100,1000\n", 0, 2},
        {"a title and metadata over a short table",
         "Sales report\nfrom,2024\n\na,b,c\n1,2,3\n4,5,6\n", 3, 0},
        {"a lone value above may be a row cut short", "id,n\n5\nx,3,7\n", 0, 2},
        {"titles over a table of text", "Quarterly report\nExported by: admin\na,b,c\nd,e,f\n", 2,
         0},
        {"names over a row with no header of its own", "id,amount\nkiwi\npear,3,77\n", 0, 2},
        {"more table rows than preamble rows", "Report\nid,n,v\n1,2,3\n4,5,6\n", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<TableStart> start = find_table_start(c.input, ',', "", true);
        ASSERT_TRUE(start.has_value());
        EXPECT_EQ(start->rows, c.rows);
        EXPECT_EQ(start->considered, c.considered);
    }
}

TEST(Totals, LabelsSayTotalOrSum) {
    const std::vector<std::pair<const char*, bool>> table = {
        {"Total", true},
        {" TOTAL ", true},
        {"Grand total:", true},
        {"Total 2024", true},
        {"Summe", true},
        {"gesamt", true},
        {"\xD0\x98\xD1\x82\xD0\xBE\xD0\xB3\xD0\xBE", true}, // Итого
        {"\xE5\x90\x88\xE8\xAE\xA1", true},                 // 合计
        {"Totally", false},
        {"subtotals", false},
        {"Sumatra", false},
        {"", false},
        {"North", false},
    };
    for (const auto& [text, label] : table)
        EXPECT_EQ(is_total_label(text), label) << text;
}

TEST(Totals, NumberValues) {
    const std::vector<std::pair<const char*, std::optional<double>>> table = {
        {"346", 346.0},        {"4763.50", 4763.5},  {"-3", -3.0},
        {"1,200", 1200.0},     {"1,200.50", 1200.5}, {"1.200,50", 1200.5},
        {"4763,50", 4763.5},   {"0.125", 0.125},     {"1,200,300", 1200300.0},
        {"$12", 12.0},         {"45%", 45.0},        {"1e3", 1000.0},
        {"ana", std::nullopt}, {"", std::nullopt},   {"2024-01-31", std::nullopt},
    };
    for (const auto& [text, value] : table)
        EXPECT_EQ(number_value(text), value) << text;
}

TEST(Totals, ARowOfColumnSums) {
    RowStore rows;
    ResilientParser parser("id,1000.50,7\nx,3763,8\nTotal,4763.50,15\nTotal,4763.5,16\nTotal,,\n",
                           ',', '"', true);
    while (parser.next_row(rows)) {
    }
    ColumnSums sums({false, true, true}, 0);
    sums.add(rows.row(0));
    sums.add(rows.row(1));
    EXPECT_EQ(sums.check(rows.row(2)), ColumnSums::Verdict::Sums);
    EXPECT_EQ(sums.check(rows.row(3)), ColumnSums::Verdict::NotSums);
    EXPECT_EQ(sums.check(rows.row(4)), ColumnSums::Verdict::NotSums); // no number to check
    ColumnSums after_header({false, true, true}, 1);
    after_header.add_lines("id,1000.50,7\nx,3763,8\n", ',');
    EXPECT_EQ(after_header.check(rows.row(2)), ColumnSums::Verdict::NotSums);
    ColumnSums long_table({false, true, true}, 0);
    for (std::uint64_t i = 0; i <= ColumnSums::kMaxRows; ++i)
        long_table.add(rows.row(0));
    EXPECT_EQ(long_table.check(rows.row(2)), ColumnSums::Verdict::Unknown);
}

} // namespace
} // namespace rowmend::test
