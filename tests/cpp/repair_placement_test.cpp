// Repairs placed by the columns' kinds: a table's first rows on one side,
// a ragged row and where its join or gap goes (or the row's end, as the
// backend repairs) on the other.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heuristics/repair_placement.h"
#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

// A header and rows of `lines`, split at every comma.
RowStore split(const std::vector<std::string>& lines) {
    RowStore rows;
    for (const std::string& line : lines)
        rows.append_split_row(line, ',');
    return rows;
}

std::vector<ColumnProfile> profiles_of(const std::vector<std::string>& lines) {
    const RowStore rows = split(lines);
    return profile_columns(rows, 1, rows.row_count(), rows.row(0).size());
}

// The row repaired as placed, its fields joined by '|'; "end" when the
// backend's repair at the row's end stands.
std::string placed(const std::vector<ColumnProfile>& profiles, const std::string& line,
                   std::string& words) {
    RowStore row;
    row.append_split_row(line, ',');
    std::string scratch;
    const std::optional<Placement> placement = place_repair(row.last_row(), profiles, ",", scratch);
    if (!placement)
        return "end";
    RowStore out;
    apply_placement(row.last_row(), *placement, ",", out);
    EXPECT_EQ(out.last_row().size(), profiles.size()) << line;
    words = describe_placement(*placement);
    std::string joined;
    for (const std::string& field : to_fields(out.last_row()))
        joined += (joined.empty() ? "" : "|") + field;
    return joined;
}

const std::vector<std::string> kPeople = {
    "id,name,amount,date",      "1,Ana Lima,2.5,2024-01-02", "2,Bo,3.75,2024-01-05",
    "3,Cy Young,10,2024-02-01", "4,Di,7.25,2024-03-09",      "5,Ed Park,1.5,2024-03-10",
};

TEST(RepairPlacement, WhereTheJoinOrTheGapGoes) {
    struct Case {
        const char* line;
        const char* expected;
        const char* words;
    };
    const std::vector<Case> table = {
        // A delimiter inside a name: the join is there, not at the end.
        {"6,Smith, John,4.5,2024-04-01", "6|Smith, John|4.5|2024-04-01",
         "fields 2 and 3 joined into column 2"},
        // Two of them in one name.
        {"7,Smith, John, Jr,4.5,2024-04-01", "7|Smith, John, Jr|4.5|2024-04-01",
         "fields 2 to 4 joined into column 2"},
        // A lost delimiter before the amount: the gap goes where the cells fit.
        {"8,Gil2.5,2024-04-02", "8|Gil2.5||2024-04-02", "an empty field put in column 3"},
        // The name is missing without its delimiter.
        {"9,4.5,2024-04-03", "9||4.5|2024-04-03", "an empty field put in column 2"},
        // The surplus is at the end already: the backend's merge is the placement.
        {"10,Al,4.5,2024-04-01,extra", "end", ""},
        // A row cut short at its end: padded there, as the backend does.
        {"11,Al,4.5", "end", ""},
        // Nothing fits: the amount is text wherever the join goes.
        {"12,Al,x,y,2024-04-01", "end", ""},
        // Off by three fields: beyond what is tried.
        {"13,A,B,C,D,4.5,2024-04-01", "end", ""},
        // Left only its key: too little to place anything by.
        {"14", "end", ""},
    };
    const std::vector<ColumnProfile> profiles = profiles_of(kPeople);
    for (const Case& c : table) {
        std::string words;
        EXPECT_EQ(placed(profiles, c.line, words), c.expected) << c.line;
        EXPECT_EQ(words, c.words) << c.line;
    }
}

TEST(RepairPlacement, TiesKeepTheBackendsRule) {
    // Two text columns side by side: a join in either fits as well.
    const std::vector<std::string> lines = {"id,city,name", "1,Oslo,Ana", "2,Lima,Bo",
                                            "3,Perth,Cy"};
    const std::vector<std::string> ragged = {"4,New York,NY,Di", "5,Rome"};
    const std::vector<ColumnProfile> profiles = profiles_of(lines);
    for (const std::string& line : ragged) {
        std::string words;
        EXPECT_EQ(placed(profiles, line, words), "end") << line;
    }
}

TEST(RepairPlacement, ColumnProfiles) {
    const std::vector<std::string> lines = {
        "n,code,when,flag,note,rare",  "1,AB-1234,2024-01-01,yes,hello,",
        "2,CD-5678,2024-01-02,no,3,",  "3,EF-9012,2024-01-03,true,,x",
        "4,GH-3456,2024-01-04,no,ok,",
    };
    const std::vector<ColumnProfile> profiles = profiles_of(lines);
    ASSERT_EQ(profiles.size(), 6U);
    EXPECT_EQ(profiles[0].shape, ColumnShape::Number);
    EXPECT_EQ(profiles[1].shape, ColumnShape::Code);
    EXPECT_EQ(profiles[2].shape, ColumnShape::Date);
    EXPECT_EQ(profiles[3].shape, ColumnShape::Boolean);
    EXPECT_EQ(profiles[4].shape, ColumnShape::Text);
    EXPECT_TRUE(profiles[4].has_values && profiles[4].has_empty);
    EXPECT_EQ(profiles[5].shape, ColumnShape::Empty);
    // A code of another shape is a misfit: the join that makes one is not taken.
    std::string words;
    EXPECT_EQ(placed(profiles, "5,IJ,7890,2024-01-05,no,fine,", words), "end");
    EXPECT_EQ(placed(profiles, "5,IJ-7890,2024-01-05,no,fine, really,", words),
              "5|IJ-7890|2024-01-05|no|fine, really|");
}

TEST(RepairPlacement, ThePassPlacesOnlyWhenAsked) {
    const std::string input = "id,name,amount,date\n"
                              "1,Ana Lima,2.5,2024-01-02\n"
                              "2,Bo,3.75,2024-01-05\n"
                              "3,Smith, John,4.5,2024-04-01\n"
                              "4,Gil2.5,2024-04-02\n";
    SalvageOptions options;
    options.detect_header = true;
    const SalvageOutcome backend = salvage_slice(input, options);
    options.place_repairs = true;
    const SalvageOutcome placed = salvage_slice(input, options);
    ASSERT_EQ(backend.rows.row_count(), 5U);
    ASSERT_EQ(placed.rows.row_count(), 5U);
    EXPECT_EQ(to_fields(backend.rows.row(3)), (Fields{"3", "Smith", " John", "4.5,2024-04-01"}));
    EXPECT_EQ(to_fields(placed.rows.row(3)), (Fields{"3", "Smith, John", "4.5", "2024-04-01"}));
    EXPECT_EQ(to_fields(backend.rows.row(4)), (Fields{"4", "Gil2.5", "2024-04-02", ""}));
    EXPECT_EQ(to_fields(placed.rows.row(4)), (Fields{"4", "Gil2.5", "", "2024-04-02"}));
    EXPECT_EQ(placed.counters, backend.counters);
}

} // namespace
} // namespace rowmend::test
