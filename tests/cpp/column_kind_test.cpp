// The column-kind classifier: cells on one side, what they may be read as
// on the other; columns of cells, the type decided for them; and the text a
// fitting cell normalizes to.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heuristics/column_kind.h"

namespace rowmend::kinds {
namespace {

unsigned bit(char decimal, Grouping thousands) {
    return 1u << format_index({decimal, thousands});
}

struct CellCase {
    const char* cell;
    const char* expected; // "null", "boolean", "code", "time", "date", "timestamp", "number",
                          // "integer", "text"
};

std::string summary(const CellKinds& kinds) {
    if (kinds.null)
        return "null";
    if (kinds.boolean)
        return "boolean";
    if (kinds.code)
        return "code";
    if (kinds.time)
        return "time";
    if (kinds.date != DateShape::None)
        return kinds.timestamp ? "timestamp" : "date";
    if (kinds.integer_formats != 0)
        return "integer";
    if (kinds.number_formats != 0)
        return "number";
    return "text";
}

TEST(ClassifyCell, ReadsEachKind) {
    const std::vector<CellCase> table = {
        {"", "null"},
        {"  ", "null"},
        {"NA", "null"},
        {"#N/A", "null"},
        {"nan", "null"},
        {"--", "null"},
        {"na", "text"}, // spellings match exactly
        {"TRUE", "boolean"},
        {"no", "boolean"},
        {"0", "integer"},
        {"-42", "integer"},
        {" 17 ", "integer"},
        {"007", "code"},
        {"-0012", "code"},
        {"0.5", "number"},
        {"00.5", "code"},
        {".5", "number"},
        {"1e5", "number"},
        {"-2.5E-3", "number"},
        {"1,234", "integer"},
        {"1,234.56", "number"},
        {"1.234,56", "number"},
        {"1 234,50", "number"},
        {"1\xE2\x80\xAF"
         "234,50",
         "number"},
        {"1'234'567.25", "number"},
        {"$12.50", "number"},
        {"-$3", "integer"},
        {"12,50 \xE2\x82\xAC", "number"},
        {"45%", "integer"},
        {"9223372036854775807", "integer"},
        {"9223372036854775808", "number"},
        {"-9223372036854775808", "integer"},
        {"123456789012345678901234567890", "number"},
        {"1,23,456", "text"},
        {"1,,234", "text"},
        {"12-34", "text"},
        {"8011-N", "text"},
        {"2024-03-07", "date"},
        {"2024-02-30", "text"},
        {"2024-02-29", "date"},
        {"07/03/2024", "date"},
        {"13.03.2024", "date"},
        {"31/31/2024", "text"},
        {"2024-03-07T10:15:00", "timestamp"},
        {"2024-03-07 10:15", "timestamp"},
        {"2024-03-07T10:15:00.123Z", "timestamp"},
        {"2024-03-07T10:15:00+05:30", "timestamp"},
        {"2024-03-07T25:15:00", "text"},
        {"10:15", "time"},
        {"9:05:59.5", "time"},
        {"24:00", "text"},
        {"hello", "text"},
        {"1.2.3", "text"},
    };
    const KindRules rules;
    for (const auto& row : table)
        EXPECT_EQ(summary(classify_cell(row.cell, rules)), row.expected) << '"' << row.cell << '"';
}

TEST(ClassifyCell, NumberFormatsFollowTheSeparators) {
    const KindRules rules;
    struct FormatCase {
        const char* cell;
        unsigned in;  // bits that must be set
        unsigned out; // bits that must be clear
    };
    const std::vector<FormatCase> table = {
        {"1,234", bit('.', Grouping::Comma) | bit(',', Grouping::None), bit('.', Grouping::None)},
        {"1.234,56", bit(',', Grouping::Point),
         bit('.', Grouping::None) | bit('.', Grouping::Comma)},
        {"1,234.56", bit('.', Grouping::Comma), bit(',', Grouping::Point)},
        {"12,5", bit(',', Grouping::None), bit('.', Grouping::Comma)},
        {"1 234 567", bit('.', Grouping::Space) | bit(',', Grouping::Space),
         bit('.', Grouping::Comma)},
        {"1'234.5", bit('.', Grouping::Apostrophe), bit(',', Grouping::Apostrophe)},
    };
    for (const auto& row : table) {
        const CellKinds kinds = classify_cell(row.cell, rules);
        EXPECT_EQ(kinds.number_formats & row.in, row.in + 0u) << row.cell;
        EXPECT_EQ(kinds.number_formats & row.out, 0u) << row.cell;
    }
    KindRules comma;
    comma.decimal = ',';
    EXPECT_EQ(classify_cell("1,234", comma).integer_formats, 0);
    EXPECT_NE(classify_cell("1,234", comma).number_formats, 0);
}

struct ColumnCase {
    const char* name;
    std::vector<std::string> cells;
    Kind kind;
    bool ambiguous;
};

ColumnType decide(const std::vector<std::string>& cells, const KindRules& rules = {}) {
    ColumnKinds column(rules);
    for (const auto& cell : cells)
        column.add(cell);
    return column.decide();
}

std::vector<std::string> many(std::size_t count, const std::string& cell) {
    return std::vector<std::string>(count, cell);
}

std::vector<std::string> plus(std::vector<std::string> cells,
                              const std::vector<std::string>& more) {
    cells.insert(cells.end(), more.begin(), more.end());
    return cells;
}

TEST(ColumnKinds, DecidesTheNarrowestKindThatFits) {
    const std::vector<ColumnCase> table = {
        {"empty column", {"", "NA", ""}, Kind::Text, false},
        {"integers", {"1", "-2", "", "300"}, Kind::Integer, false},
        {"integers then a decimal widen", {"1", "2", "3.5"}, Kind::Decimal, false},
        {"an integer past int64 widens", {"1", "99999999999999999999"}, Kind::Decimal, false},
        {"decimal comma", {"1,5", "2", "1.234,25"}, Kind::Decimal, false},
        {"grouped thousands told by a second group",
         {"1,234", "12", "1,234,567"},
         Kind::Integer,
         false},
        {"a thousand or a decimal: no evidence", {"1,234", "5,678"}, Kind::Text, true},
        {"booleans", {"true", "False", "yes", "NA"}, Kind::Boolean, false},
        {"codes stay text", {"007", "012", "123"}, Kind::Text, false},
        {"one misfit in a hundred and one", plus(many(100, "5"), {"8011-N"}), Kind::Integer, false},
        {"two misfits in a hundred", plus(many(98, "5"), {"x", "y"}), Kind::Text, false},
        {"iso dates", {"2024-01-31", "2023-12-01"}, Kind::Date, false},
        {"day-first by a day above 12", {"01/02/2024", "13/02/2024"}, Kind::Date, false},
        {"day or month first: no evidence", {"01/02/2024", "03/04/2024"}, Kind::Text, true},
        {"two date formats", {"2024-01-31", "13/02/2024", "2024-02-01"}, Kind::Date, false},
        {"dates and timestamps", {"2024-01-31", "2024-01-31T10:00:00"}, Kind::Timestamp, false},
        {"times", {"10:00", "23:59:59"}, Kind::Time, false},
        {"prices", {"$1.50", "$20", "$3.25"}, Kind::Decimal, false},
        {"percent", {"45%", "12.5%"}, Kind::Decimal, false},
        {"words", {"a", "b"}, Kind::Text, false},
    };
    for (const auto& row : table) {
        const ColumnType type = decide(row.cells);
        EXPECT_EQ(type.kind, row.kind) << row.name;
        EXPECT_EQ(type.ambiguous, row.ambiguous) << row.name;
    }
}

TEST(ColumnKinds, RecordsTheFormat) {
    ColumnType type = decide({"1.234,5", "2,25"});
    EXPECT_EQ(type.number.decimal, ',');
    EXPECT_EQ(type.number.thousands, Grouping::Point);
    type = decide({"01/02/2024", "13/02/2024", "5/6/2024"});
    EXPECT_EQ(type.order, kDayFirst);
    type = decide({"02/13/2024", "12/31/2024"});
    EXPECT_EQ(type.order, kMonthFirst);
    type = decide(plus(many(200, "02/13/2024"), {"13/02/2024"}));
    EXPECT_EQ(type.kind, Kind::Date);
    EXPECT_EQ(type.misfits, 1u);
    type = decide({"$1", "$2"});
    EXPECT_EQ(type.unit, Unit::Dollar);
    type = decide(plus(many(150, "1"), {"x"}));
    EXPECT_EQ(type.values, 151u);
    EXPECT_EQ(type.misfits, 1u);
}

struct NormalizeCase {
    std::vector<std::string> column; // decides the type
    const char* cell;
    const char* expected; // nullptr: does not fit
};

TEST(NormalizeCell, WritesWhatAStrictParserReads) {
    const std::vector<NormalizeCase> table = {
        {{"1", "2"}, "-17", "-17"},
        {{"1", "2"}, "1.5", nullptr},
        {{"1", "2"}, "007", nullptr},
        {{"1,234", "1,234,567"}, "12,345", "12345"},
        {{"1.234,5", "2,25"}, "1.000.000,75", "1000000.75"},
        {{"1.234,5", "2,25"}, ",5", "0.5"},
        {{"1 234,5", "2,25"}, "-3 000,5", "-3000.5"},
        {{"$1.50", "$2"}, "-$1,234.50", "-1234.50"},
        {{"$1.50", "$2"}, "1.50", nullptr},
        {{"45%", "12.5%"}, "7 %", "7"},
        {{"1.5", "2"}, "1e-3", "1e-3"},
        {{"true", "no"}, "YES", "true"},
        {{"true", "no"}, "N", nullptr},
        {{"13/02/2024", "1/2/2024"}, "5/6/2024", "2024-06-05"},
        {{"02/13/2024", "1/2/2024"}, "5/6/2024", "2024-05-06"},
        {{"02/13/2024", "1/2/2024"}, "13/02/2024", nullptr},
        {{"2024-01-31", "13.02.2024"}, "2024-2-1", "2024-02-01"},
        {{"2024-01-31", "2024-01-31 10:00"}, "2024-01-31", "2024-01-31 00:00:00"},
        {{"2024-01-31", "2024-01-31 10:00"}, "2024-01-31T9:30", "2024-01-31 09:30:00"},
        {{"2024-01-31T10:00Z", "2024-01-31T10:00:00+01:00"},
         "2024-01-31T10:00:00.5 +0100",
         "2024-01-31 10:00:00.5+0100"},
        {{"10:00", "11:00:01"}, "9:30", "1970-01-01 09:30:00"},
        {{"10:00", "11:00:01"}, "9:30:01.25", "1970-01-01 09:30:01.25"},
    };
    const KindRules rules;
    for (const auto& row : table) {
        const ColumnType type = decide(row.column, rules);
        std::string out(std::string(row.cell).size() + 16, '\0');
        const std::ptrdiff_t size = normalize_cell(row.cell, type, rules, out.data());
        if (row.expected == nullptr) {
            EXPECT_EQ(size, -1) << row.cell;
        } else {
            ASSERT_GE(size, 0) << row.cell << " as " << kind_name(type.kind);
            EXPECT_EQ(out.substr(0, static_cast<std::size_t>(size)), row.expected) << row.cell;
        }
    }
}

TEST(NullSpellings, AreConfigurable) {
    KindRules rules;
    rules.nulls = NullSpellings::none();
    EXPECT_FALSE(classify_cell("NA", rules).null);
    EXPECT_TRUE(rules.nulls.add("?"));
    EXPECT_TRUE(classify_cell("?", rules).null);
    EXPECT_TRUE(classify_cell("", rules).text()); // empty is text once the spellings say so
}

} // namespace
} // namespace rowmend::kinds
