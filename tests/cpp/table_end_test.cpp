// The judgements of a table's end, each a function of the rows it is given:
// rows on one side, the answer on the other.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heuristics/table_end.h"
#include "heuristics/totals.h"
#include "parser/resilient_parser.h"

namespace rowmend::test {
namespace {

// The first row of `line` as the pass parses it.
RowStore parsed(const std::string& line) {
    RowStore rows;
    ResilientParser parser(line, ',', '"', true);
    EXPECT_TRUE(parser.next_row(rows)) << line;
    return rows;
}

TEST(TableEnd, FirstByteTellsWhatTheCellsNeedNotBeReadFor) {
    const std::vector<std::pair<const char*, FirstCell>> table = {
        {"12,ana", FirstCell::Digit},
        {"ana,12", FirstCell::Filled},
        {"Total,3", FirstCell::Filled},
        {"\"Total\",3", FirstCell::Unknown},
        {",,", FirstCell::Unknown},
        {" ,x", FirstCell::Unknown},
        {"\\,x", FirstCell::Unknown}, // the escape byte: the cell is the byte after it
        {"\xC3\xA9t\xC3\xA9,1", FirstCell::Unknown},
        {"", FirstCell::Unknown},
    };
    for (const auto& [bytes, kind] : table)
        EXPECT_EQ(first_cell(bytes, ',', '"', '\\'), kind) << bytes;
}

TEST(TableEnd, BlankAndEmptyCellRows) {
    struct Case {
        const char* line;
        bool blank;
        bool empty_cells;
    };
    const std::vector<Case> table = {
        {" \t", true, false},        {"\xC2\xA0", true, false}, // a no-break space is White_Space
        {",,", false, true},         {" , ,\t", false, true},   {"\"\",\"\"", false, true},
        {",\xC2\xA0,", false, true}, {",x,", false, false},     {"x", false, false},
        {",0,", false, false},
    };
    for (const Case& c : table) {
        const RowStore rows = parsed(c.line);
        EXPECT_EQ(is_blank_row(rows.row(0)), c.blank) << c.line;
        EXPECT_EQ(is_empty_cells_row(rows.row(0)), c.empty_cells) << c.line;
        // A line without a quote reads the same unparsed; a lone cell is no row of cells.
        if (std::string_view(c.line).find_first_of("\"\xC2") == std::string_view::npos) {
            EXPECT_EQ(is_empty_cells_line(c.line, ','), c.empty_cells) << c.line;
        }
    }
}

TEST(TableEnd, ACutOffRowHoldsValuesOfItsColumnsKinds) {
    const std::vector<CellKind> kinds = {CellKind::Number, CellKind::Text, CellKind::Date};
    struct Case {
        const char* line;
        std::size_t width; // fields as parsed
        bool unterminated;
        bool cut_off;
    };
    const std::vector<Case> table = {
        {"7,ana", 2, false, true},
        {"Total,ana", 2, false, false},        // text where numbers stand: a footer
        {"7,ana,2024-01-31x", 2, false, true}, // cells past the width are not read
        {"Generated on 2024", 1, false, false},
        {"Generated on 2024", 1, true, true}, // its only cell may be cut mid-value
        {",ana", 2, false, false},            // no value that matches
        {",ana", 2, true, true},
        {"7,ana,Monday", 3, true, true}, // the last cell cut mid-value
        {"7,ana,Monday", 3, false, false},
    };
    for (const Case& c : table) {
        const RowStore rows = parsed(c.line);
        EXPECT_EQ(looks_cut_off(rows.row(0), c.width, c.unterminated, kinds), c.cut_off)
            << c.line << " width " << c.width;
    }
    // With no column of a known kind there is no table for it to trail.
    const std::vector<CellKind> unknown(3, CellKind::Empty);
    EXPECT_TRUE(looks_cut_off(parsed("Total,x").row(0), 2, false, unknown));
}

TEST(TableEnd, NamesAndSummaryRows) {
    const std::vector<bool> values = {false, true, true}; // name, amount, day
    const std::string header = "name,amount,day";
    struct Case {
        const char* line;
        bool names;
        bool summary;
    };
    const std::vector<Case> table = {
        {"region,total,week", true, true},
        {"name,amount,day", false, true}, // the header again: the same table goes on
        {"region,,week", false, true},    // an empty cell: no names row
        {"region,12,week", false, false},
        {"End of report", false, false}, // words, but none over a value column
        {"(5 rows affected),done", true, true},
        {"bo,2024-01-31,x", false, false},
    };
    for (const Case& c : table) {
        const RowStore rows = parsed(c.line);
        EXPECT_EQ(names_row(rows.row(0), c.line, header, values), c.names) << c.line;
        EXPECT_EQ(summary_row(rows.row(0), values), c.summary) << c.line;
    }
}

TEST(Totals, KeptRowsSumAsIfSummedOnArrival) {
    // Rows handed on as fields and as lines, in turns, past the bytes the
    // sums keep unsummed: a row is checked against every row before it.
    const RowStore total = parsed("Total,30000.5,600");
    const RowStore wrong = parsed("Total,30000.5,601");
    ColumnSums sums({false, true, true}, 1);
    sums.add_lines("name,amount,count\n", ',');
    std::string lines;
    for (int i = 0; i < 100; ++i)
        lines += "x" + std::string(20000, ' ') + ",100.0015,2\n";
    for (int round = 0; round < 3; ++round) {
        sums.add_lines(lines, ',');
        sums.add(parsed("y,0.0005,0").row(0));
    }
    EXPECT_EQ(sums.check(total.row(0)), ColumnSums::Verdict::Sums);
    EXPECT_EQ(sums.check(wrong.row(0)), ColumnSums::Verdict::NotSums);
    // A table of kMaxRows rows below its header is checked; one more and
    // none can be, however the rows came.
    ColumnSums limit({false, true}, 1);
    std::string rows = "name,n\n";
    for (std::uint64_t i = 0; i < ColumnSums::kMaxRows; ++i)
        rows += "a,1\n";
    limit.add_lines(rows, ',');
    EXPECT_EQ(limit.check(parsed("Total,10000").row(0)), ColumnSums::Verdict::Sums);
    limit.add(parsed("a,1").row(0));
    EXPECT_EQ(limit.check(parsed("Total,10001").row(0)), ColumnSums::Verdict::Unknown);
}

} // namespace
} // namespace rowmend::test
