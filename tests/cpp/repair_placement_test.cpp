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
    PlacementScratch scratch;
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

TEST(RepairPlacement, TwoJoinsInOneRow) {
    const std::vector<ColumnProfile> profiles =
        profiles_of({"id,name,amount,city", "1,Ana,2.5,Oslo", "2,Bo,3.75,Lima", "3,Cy,10,Perth"});
    std::string words;
    EXPECT_EQ(placed(profiles, "4,Lee, Ann,4.5,New York, NY", words),
              "4|Lee, Ann|4.5|New York, NY");
    EXPECT_EQ(words, "fields 2 and 3 joined into column 2, fields 5 and 6 into column 4");
}

TEST(RepairPlacement, TheBlankAfterTheDelimiterTellsTextColumnsApart) {
    const std::vector<ColumnProfile> profiles =
        profiles_of({"id,tag,kind,qty", "1,violet,cedar,3", "2,iris,delta,4", "3,onyx,maple,5"});
    std::string words;
    EXPECT_EQ(placed(profiles, "4,violet, Bravo,cedar,6", words), "4|violet, Bravo|cedar|6");
    EXPECT_EQ(placed(profiles, "5,violet,Bravo, cedar,6", words), "5|violet|Bravo, cedar|6");
    // Without the blank, either column may hold the joined value.
    EXPECT_EQ(placed(profiles, "6,violet,Bravo,cedar,6", words), "end");
}

TEST(RepairPlacement, TheBackendsRuleStandsWithoutClearEvidence) {
    struct Case {
        std::vector<std::string> sample;
        const char* line;
    };
    const std::vector<Case> table = {
        // Two text columns side by side: a join in either fits as well.
        {{"id,city,name", "1,Oslo,Ana", "2,Lima,Bo", "3,Perth,Cy"}, "4,New York,NY,Di"},
        {{"id,city,name", "1,Oslo,Ana", "2,Lima,Bo", "3,Perth,Cy"}, "5,Rome"},
        // Cut at its end: the number is the number column's, as padding leaves it.
        {{"id,name,amount,city,day,code", "424,blue,194,x9,47.32,bo",
          "96.79,pear,239,ana,51.89,ana", "52.39,lima,177,lima,33.70,blue"},
         "735,rome,30.29,pear,984"},
        // Two rows tell too little of the columns.
        {{"a,b,c", "1,x;y,3", "2,z,4"}, "4,5"},
    };
    for (const Case& c : table) {
        std::string words;
        EXPECT_EQ(placed(profiles_of(c.sample), c.line, words), "end") << c.line;
    }
}

TEST(RepairPlacement, ColumnProfiles) {
    const std::vector<std::string> lines = {
        "n,code,when,flag,note,rare",  "1,AB-1234,2024-01-01,yes,hello,",
        "2,CD-5678,2024-01-02,no,3,",  "3,EF-9012,2024-01-03,true,,x",
        "4,GH-3456,2024-01-04,no,ok,", "5,IJ-7890,2024-01-05,yes,fine,",
    };
    const std::vector<ColumnProfile> profiles = profiles_of(lines);
    ASSERT_EQ(profiles.size(), 6U);
    EXPECT_EQ(profiles[0].shape, ColumnShape::Number); // one width, a number all the same
    EXPECT_EQ(profiles[1].shape, ColumnShape::Code);
    EXPECT_EQ(profiles[2].shape, ColumnShape::Date);
    EXPECT_EQ(profiles[3].shape, ColumnShape::Boolean);
    EXPECT_EQ(profiles[4].shape, ColumnShape::Text);
    EXPECT_TRUE(profiles[4].has_values && profiles[4].has_empty);
    EXPECT_EQ(profiles[5].shape, ColumnShape::Empty);
    // A code of another shape is a misfit: the join that makes one is not taken.
    std::string words;
    EXPECT_EQ(placed(profiles, "5,IJ,7890,2024-01-05,no,fine,", words), "end");
}

TEST(RepairPlacement, ThePassPlacesOnlyWhenAsked) {
    const std::string input = "id,name,amount,date\n"
                              "1,Ana Lima,2.5,2024-01-02\n"
                              "2,Bo,3.75,2024-01-05\n"
                              "5,Cy Young,10,2024-02-01\n"
                              "3,Smith, John,4.5,2024-04-01\n"
                              "4,Gil2.5,2024-04-02\n";
    SalvageOptions options;
    options.detect_header = true;
    const SalvageOutcome backend = salvage_slice(input, options);
    options.place_repairs = true;
    const SalvageOutcome placed = salvage_slice(input, options);
    ASSERT_EQ(backend.rows.row_count(), 6U);
    ASSERT_EQ(placed.rows.row_count(), 6U);
    EXPECT_EQ(to_fields(backend.rows.row(4)), (Fields{"3", "Smith", " John", "4.5,2024-04-01"}));
    EXPECT_EQ(to_fields(placed.rows.row(4)), (Fields{"3", "Smith, John", "4.5", "2024-04-01"}));
    EXPECT_EQ(to_fields(backend.rows.row(5)), (Fields{"4", "Gil2.5", "2024-04-02", ""}));
    EXPECT_EQ(to_fields(placed.rows.row(5)), (Fields{"4", "Gil2.5", "", "2024-04-02"}));
    EXPECT_EQ(placed.counters, backend.counters);
}

} // namespace
} // namespace rowmend::test
