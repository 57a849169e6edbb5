// An input cut at a row start and read as two ranges (SalvageOptions::range)
// gives the rows, quarantine and lines of one pass over the whole, at every
// row start, unless a range says it cannot judge alone; and a range says so
// where a table's end or a later table reaches across the cut.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/block_states.h"
#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

SalvageOptions package_like() {
    SalvageOptions options;
    options.delimiter = ',';
    options.skip_blank_rows = true;
    options.detect_header = true;
    options.detect_trailing_section = true;
    options.detect_totals = true;
    options.runaway_quotes = RunawayQuoteRule{};
    return options;
}

// Each row start of one parse, with its line.
std::vector<blocks::RowStart> row_starts(std::string_view input) {
    RowStore store;
    std::vector<blocks::RowStart> starts;
    const blocks::Block block{input, 0, input.size(), true, true};
    blocks::parse(block, {0, 1}, blocks::Grammar{}, store, starts);
    return starts;
}

TEST(RangeRead, TwoRangesReadAsOnePassAtEveryRowStart) {
    const std::vector<std::string> inputs = {
        "id,name,note\n1,\"two\nlines\",x\n2,she said \"hi,y\n3,short\n4,a,b,c\n5,plain,z\n",
        "id,name,note\r\n1,\"a\r\nb\",x\r\n2,,\r\n3,c,d\r\n",
        "a,b\n1,2\n\n3,4\n5\n6,7\n",
    };
    std::size_t exact = 0, unsure = 0;
    for (const std::string& input : inputs) {
        const SalvageOutcome whole = salvage_slice(input, package_like());
        const std::vector<blocks::RowStart> starts = row_starts(input);
        for (std::size_t k = 2; k < starts.size(); ++k) {
            const blocks::RowStart cut = starts[k];
            SalvageOptions head = package_like();
            head.range = RangeRead{1, false, true, false, std::nullopt};
            SalvageOptions tail = package_like();
            tail.expected_columns = whole.counters.inferred_columns;
            tail.detect_header = false;
            tail.range = RangeRead{cut.line, true, false, false, std::nullopt};
            const SalvageOutcome first =
                salvage_slice(std::string_view(input).substr(0, cut.offset), head);
            const SalvageOutcome second =
                salvage_slice(std::string_view(input).substr(cut.offset), tail);
            Rows rows = all_rows(first.rows);
            const Rows more = all_rows(second.rows);
            rows.insert(rows.end(), more.begin(), more.end());
            SCOPED_TRACE(show(input) + " cut at line " + std::to_string(cut.line));
            if (first.range_unsure || second.range_unsure) {
                ++unsure;
                continue;
            }
            ++exact;
            EXPECT_EQ(rows, all_rows(whole.rows));
            EXPECT_EQ(first.counters.total_rows + second.counters.total_rows,
                      whole.counters.total_rows);
            ASSERT_EQ(first.quarantine.size() + second.quarantine.size(), whole.quarantine.size());
            for (std::size_t i = 0; i < second.quarantine.size(); ++i)
                EXPECT_EQ(second.quarantine.line(i),
                          whole.quarantine.line(first.quarantine.size() + i));
        }
    }
    // Only the cuts beside the blank line and the short row below it are unsure.
    EXPECT_GE(exact, 9U);
    EXPECT_LE(unsure, 3U);
}

TEST(RangeRead, ARangeSaysWhenATableEndReachesAcrossItsCut) {
    const std::string input = "a,b,c\n1,2,3\n4,5,6\n\nName,Total\nx,1\n7,8,9\n";
    const std::vector<blocks::RowStart> starts = row_starts(input);
    SalvageOptions head = package_like();
    head.range = RangeRead{1, false, true, false, std::nullopt};
    // Cut below the section's first row: the first range ends holding it.
    const blocks::RowStart cut = starts[5];
    EXPECT_TRUE(salvage_slice(std::string_view(input).substr(0, cut.offset), head).range_unsure);
}

} // namespace
} // namespace rowmend::test
