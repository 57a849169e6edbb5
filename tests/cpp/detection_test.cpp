// Structural detection: cell kinds and whether a table's first row names its
// columns. Inputs on one side, the answer on the other.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heuristics/header.h"
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

} // namespace
} // namespace rowmend::test
