// The package's judgements of a table's shape: a trailing empty column, and
// stacked or later tables below the first. Inputs on one side, the answer
// on the other.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "heuristics/later_table.h"
#include "heuristics/trailing_column.h"
#include "parser/resilient_parser.h"

namespace rowmend::test {
namespace {

RowStore parse(const char* input) {
    ResilientParser parser(input, ',', '"', true);
    RowStore rows;
    while (parser.next_row(rows)) {
    }
    return rows;
}

TEST(TableShape, TrailingEmptyColumn) {
    struct Case {
        const char* name;
        const char* input;
        std::size_t columns;
        bool dropped;
    };
    const std::vector<Case> table = {
        {"every line ends so", "id,name,amount,\n1,ana,2.5,\n2,bo,3,\n", 4, true},
        {"a short row ends so too", "id,name,amount,\n1,ana,\n2,bo,3,\n", 4, true},
        {"a long row of empty fields", "id,name,amount,\n1,ana,2.5,,\n2,bo,3,\n", 4, true},
        {"a value there", "id,name,amount,\n1,ana,2.5,x\n2,bo,3,\n", 4, false},
        {"a value past it", "id,name,amount,\n1,ana,2.5,,x\n2,bo,3,\n", 4, false},
        {"the header names it", "id,name,note\n1,ana,\n2,bo,\n", 3, false},
        {"a row without", "id,name,amount,\n1,ana,2.5\n2,bo,3,\n", 4, false},
        {"a quoted empty field is a field", "id,name,\"\"\n1,ana,\n", 3, true},
        {"one column would be left", "id,\n1,\n2,\n", 2, false},
        {"the header alone", "id,name,amount,\n", 4, false},
    };
    for (const Case& c : table)
        EXPECT_EQ(trailing_empty_column(parse(c.input), c.columns), c.dropped) << c.name;
}

TEST(TableShape, StackedTables) {
    struct Case {
        const char* name;
        const char* input;
        std::optional<std::size_t> width;
        std::size_t leading = 0;
    };
    const std::vector<Case> table = {
        {"a wider table below", "id,n,v\n1,a,2\nsku,qty,price,day\nA1,3,2.5,x\nA2,4,2,y\n", 3},
        {"a narrower table below", "id,n,v,w\n1,a,2,3\ncode,city\nX,rome\nY,oslo\n", 4},
        {"a title and a blank line above and between",
         "Report\n\nid,n,v\n1,a,2\n\nTable 2\nsku,qty,price,day\nA1,3,2.5,x\n", 3, 2},
        {"no row below the later names", "id,n,v\n1,a,2\nsku,qty,price,day\n", std::nullopt},
        {"no data row under the first names", "id,n,v\nsku,qty,price,day\nA1,3,2.5,x\n",
         std::nullopt},
        {"a long row of words over text", "id,n,v\n1,a,2\nx,y,z,w\n3,b,4,5\n", 3},
        {"a long row of values", "id,n,v\n1,a,2\n3,b,4,5\n6,c,7,8\n", std::nullopt},
        {"repeated names below", "id,n,v\n1,a,2\nx,x,y,z\n3,b,4,5\n", std::nullopt},
        {"words below words only", "a,b\nx,y\np,q,r\ns,t,u\n", std::nullopt},
        {"words below words after a blank line", "a,b\nx,y\n\np,q,r\ns,t,u\n", 2},
        {"numbers for names", "1,2,3\n4,5,6\n7,8\n9,1\n", std::nullopt},
    };
    for (const Case& c : table) {
        const std::optional<StackedStart> found = stacked_tables(parse(c.input));
        ASSERT_EQ(found.has_value(), c.width.has_value()) << c.name;
        if (found) {
            EXPECT_EQ(found->width, *c.width) << c.name;
            EXPECT_EQ(found->leading_rows, c.leading) << c.name;
        }
    }
}

TEST(TableShape, LaterTableEvidence) {
    const std::vector<CellKind> kinds = {CellKind::Number, CellKind::Text, CellKind::Number};
    struct Case {
        const char* name;
        const char* rows; // the first row starts it
        bool confirmed;
        bool at_end;
    };
    const std::vector<Case> table = {
        {"names of another width over two rows", "sku,qty,day,x\nA,1,2,3\nB,2,3,4\n", true, true},
        {"names of another width over one row", "sku,qty,day,x\nA,1,2,3\n", false, true},
        {"names alone", "sku,qty,day,x\n", false, false},
        {"names of the table's width (after a blank line) over rows like it",
         "code,city,pop\n1,rome,3\n2,oslo,4\n", true, true},
        {"wide rows of values like the table's", "1,a,2,3\n4,b,5,6\n7,c,8,9\n", false, false},
        {"wide rows unlike the table's", "A,a,x,3\nB,b,y,6\nC,c,z,9\n", false, true},
        {"eight wide rows unlike the table's",
         "A,a,x,3\nB,b,y,6\nC,c,z,9\nD,d,w,1\nE,e,v,2\nF,f,u,3\nG,g,t,4\nH,h,s,5\n", true, true},
        {"ragged rows of many widths", "A,a,x,3\nB,b\nC,c,z,9,1\nD\n", false, false},
    };
    for (const Case& c : table) {
        const RowStore rows = parse(c.rows);
        LaterTable later(rows.row(0), kinds, false);
        for (std::size_t r = 1; r < rows.row_count(); ++r)
            later.add(rows.row(r), kinds);
        EXPECT_EQ(later.confirmed(), c.confirmed) << c.name;
        EXPECT_EQ(later.confirmed_at_end(), c.at_end) << c.name;
    }
}

} // namespace
} // namespace rowmend::test
