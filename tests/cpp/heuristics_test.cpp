// Delimiter sniffing and column-count inference: sample text on one side,
// the chosen delimiter or column count on the other.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

std::string repeat(std::string_view line, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += line;
    return out;
}

// Inserts `filler` before every line of `text`.
std::string interleave(std::string_view text, std::string_view filler) {
    std::string out;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find('\n', from);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end + 1;
        out += filler;
        out += text.substr(from, stop - from);
        from = stop;
    }
    return out + std::string(filler);
}

struct SniffCase {
    const char* name;
    std::string sample;
    std::uint8_t expected;
};

TEST(SniffDelimiter, ChoosesTheMostConsistentWidestSplit) {
    const std::string nine_semicolon_rows = repeat("a;b;c,d\n", 9);
    const std::vector<SniffCase> table = {
        {"empty sample", "", ','},
        {"byte-order mark only", "\xEF\xBB\xBF", ','},
        {"one line of semicolons", "a;b;c", ','},
        {"one line of semicolons with a line end", "a;b;c\n", ','},
        {"two lines of semicolons", "a;b;c\nd;e;f\n", ';'},
        {"two lines of semicolons after a byte-order mark",
         "\xEF\xBB\xBF"
         "a;b;c\nd;e;f",
         ';'},
        {"comma and semicolon tie at two fields", "a,b;c\nd,e;f\n", ','},
        {"three fields beat two", repeat("a;b;c,d\n", 10), ';'},
        {"nine rows in ten at three fields lose to two", nine_semicolon_rows + "a;b,c\n", ','},
        {"tab-only lines count for tab", "\t\t\n\t\t\n", '\t'},
        {"two commas are three empty fields", ",,\n,,\n", ','},
        {"commas inside quotes do not split", "\"a,b,c\";d\n\"e,f,g\";h\n", ';'},
        {"quoted line breaks keep a row together", "\"a,b\nc,d\";e\n\"f,g\";h\n", ';'},
        {"quoted semicolons and line breaks under comma", "\"a;b;c\",d\n\"e;f\ng;h\",i\n\"j\",k\n",
         ','},
        // Read in full, the ten-field rows would make comma win (100/150 x ln 10).
        {"rows after the fiftieth are never read",
         repeat("a;b;c\n", 50) + repeat("a,b,c,d,e,f,g,h,i,j\n", 100), ';'},
        {"wide rows within the first fifty count",
         repeat("a;b;c\n", 10) + repeat("a,b,c,d,e,f,g,h,i,j\n", 100), ','},
        {"tabs", "a\tb\nc\td\n", '\t'},
        {"vertical bars", "a|b|c\nd|e|f\n", '|'},
        {"no candidate byte at all", "abc\ndef\nghi\n", ','},
        {"single fields never score", "a\nb\n", ','},
        {"invalid UTF-8", "\xFF;\xFE\n\xFD;\xFC\n", ';'},
        // Widths 3,5,3,5 under comma score 0.5 x ln 5 = 0.80 when the larger
        // of the tied counts is chosen; semicolon's 2,2,2,1 scores 0.75.
        {"ties between field counts go to the larger", "a,b,c;x\na,b,c,d,e;x\na,b,c;x\na,b,c,d,e\n",
         ','},
        {"width ten weighs ln 10",
         "a|b|c|d|e|f|g|h|i|j\n" + repeat("a|b|c|d|e|f|g|h|i|j\n", 3) + "a;b\na;b\n", '|'},
    };
    for (const SniffCase& c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(int{sniff_delimiter(c.sample)}, int{c.expected}) << show(c.sample);
    }
}

TEST(SniffDelimiter, BlankLinesNeverChangeTheAnswer) {
    const std::vector<std::string> samples = {
        "a;b;c\nd;e;f\n", "a,b\nc,d\n", "a\tb\tc\nd\te\tf\n",        "a|b\nc|d\n",
        "a;b,c\nd;e,f\n", "x\ny\n",     "a;b;c,d\na;b;c,d\na;b,c\n",
    };
    // Empty lines and lines of spaces alone (a tab would be a delimiter under tab).
    const std::vector<std::string> fillers = {"\n",         "   \n",           "\r\n",  " \r",
                                              "\xC2\xA0\n", "\xE3\x80\x80 \n", "\n\n\n"};
    for (const std::string& sample : samples) {
        const std::uint8_t plain = sniff_delimiter(sample);
        for (const std::string& filler : fillers) {
            const std::string padded = interleave(sample, filler);
            EXPECT_EQ(int{sniff_delimiter(padded)}, int{plain}) << show(padded);
        }
    }
}

TEST(SniffDelimiter, AlwaysAnswersOneOfTheCandidates) {
    const std::string alphabet = ",;\t| \"\n\ra\xFF";
    std::uint64_t state = 1;
    for (int i = 0; i < 3000; ++i) {
        std::string sample;
        const std::size_t length = i % 60;
        for (std::size_t k = 0; k < length; ++k) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            sample.push_back(alphabet[(state >> 33) % alphabet.size()]);
        }
        const std::uint8_t d = sniff_delimiter(sample);
        EXPECT_TRUE(d == ',' || d == ';' || d == '\t' || d == '|') << show(sample);
    }
}

// The incremental sniffer shares one reading among the candidates whose
// byte has not shown yet and gives each its own copy when it does: on every
// prefix it must answer as the whole-prefix sniff, and the rows it hands on
// must count as the whole-prefix column count, wherever that byte first
// shows (in a long first line, inside a quoted field cut by the prefix,
// after the rows it reads, as the very last byte).
TEST(DelimiterSniffer, AnswersAsTheWholePrefixWhereverACandidateFirstShows) {
    const std::string long_line = repeat("ab\"c\" d,", 400);
    const std::vector<std::string> inputs = {
        long_line + "\n" + repeat("a;b;c\n", 5),
        "\"" + repeat("x ", 300) + "\t|\"\tq\n" + repeat("a\tb\n", 4),
        repeat("a b\n", 20) + "a|b|c\n" + repeat("a;b\n", 40),
        repeat("\"a\" \"b\"\n", 60) + "a;b;c;d\n",
        "\"a\"b\"" + repeat("c", 100) + "\" ;\"\n\"d\";e\n",
        repeat("a,b\n", 10) + "c|",
        "\xEF\xBB\xBF" + repeat("a\tb;c\n", 3),
    };
    for (const std::string& csv : inputs) {
        for (const std::size_t step : {std::size_t{1}, std::size_t{7}, csv.size() / 3 + 1}) {
            SCOPED_TRACE(show(csv.substr(0, 40)) + " step " + std::to_string(step));
            DelimiterSniffer sniffer;
            std::optional<ColumnCounter> counter;
            std::optional<std::uint8_t> sniffed;
            for (std::size_t len = 0; len < csv.size();) {
                len = std::min(csv.size(), len + step);
                const bool final = len == csv.size();
                const std::string_view prefix = std::string_view(csv).substr(0, len);
                sniffed = sniffer.sniff(prefix, final);
                ASSERT_EQ(sniffed, sniff_delimiter_prefix(prefix, final)) << len;
                if (sniffed && !counter)
                    counter.emplace(sniffer.take_rows(*sniffed));
                if (counter) {
                    ASSERT_EQ(counter->infer(prefix, final),
                              infer_column_count_prefix(prefix, *sniffed, final))
                        << len;
                }
            }
            EXPECT_TRUE(sniffed.has_value());
        }
    }
}

TEST(ScoreRowWidths, ShareOfTheChosenCountTimesItsWeight) {
    struct Case {
        std::vector<std::size_t> widths;
        double score;
    };
    const double ln3 = std::log(3.0), ln4 = std::log(4.0), ln5 = std::log(5.0),
                 ln10 = std::log(10.0);
    const std::vector<Case> table = {
        {{}, 0.0},
        {{4}, 0.0},
        {{1, 1}, 0.0},
        {{1, 1, 1, 1, 1}, 0.0},
        {{2, 2}, 1.0},
        {{1, 2}, 0.5},
        {{3, 3}, ln3},
        {{4, 4, 4, 4}, ln4},
        {{10, 10}, ln10},
        {{3, 3, 3, 3, 3, 3, 3, 3, 3, 2}, 0.9 * ln3},
        {{1, 1, 1, 3}, 0.25 * ln3},
        {{0, 0, 2}, 1.0 / 3.0},
        // Single fields count in the divisor although they are never chosen.
        {{1, 1, 1, 2, 2}, 0.4},
        // Equally frequent counts: the larger is chosen, whatever the order.
        {{2, 3}, 0.5 * ln3},
        {{3, 2}, 0.5 * ln3},
        {{3, 5}, 0.5 * ln5},
        {{5, 3, 3, 5}, 0.5 * ln5},
        {{2, 2, 3, 3, 5}, 0.4 * ln3},
        {{5, 2, 2, 3, 3}, 0.4 * ln3},
        {{1, 1, 1, 2, 3}, 0.2 * ln3},
        // A more frequent narrow count beats a less frequent wide one.
        {{2, 2, 2, 10}, 0.75},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(::testing::PrintToString(c.widths));
        EXPECT_DOUBLE_EQ(score_row_widths(c.widths), c.score);
    }
}

TEST(ScoreRowWidths, CountsEveryWidthItIsGiven) {
    // More widths than sniffing ever samples: the share is still taken over all of them.
    std::vector<std::size_t> widths(60, 3);
    EXPECT_DOUBLE_EQ(score_row_widths(widths), std::log(3.0));
    std::vector<std::size_t> mixed(50, 2);
    mixed.insert(mixed.end(), 70, 4);
    EXPECT_DOUBLE_EQ(score_row_widths(mixed), 70.0 / 120.0 * std::log(4.0));
    std::vector<std::size_t> late(50, 1);
    late.insert(late.end(), 10, 2);
    EXPECT_DOUBLE_EQ(score_row_widths(late), 10.0 / 60.0);
}

struct InferCase {
    const char* name;
    std::string buffer;
    std::uint8_t delimiter;
    std::uint64_t expected;
};

TEST(InferColumnCount, MostCommonFieldCountOfTheFirstHundredRows) {
    const std::vector<InferCase> table = {
        {"empty buffer", "", ',', 0},
        {"byte-order mark only", "\xEF\xBB\xBF", ',', 0},
        {"blank lines only", "\n\n   \n\t\n\xC2\xA0\n", ',', 0},
        {"three, two, two", "a,b,c\nd,e\nf,g\n", ',', 2},
        {"one value per line", "a\nb\nc\n", ',', 1},
        {"single fields may win", "a\nb\nc,d\n", ',', 1},
        {"a hundred rows then wider ones", repeat("a,b,c\n", 100) + repeat("a,b,c,d\n", 200), ',',
         3},
        {"only the first hundred non-blank rows count",
         repeat("a,b,c\n", 60) + repeat("a,b,c,d\n", 40) + repeat("a,b,c,d\n", 100), ',', 3},
        {"blank rows do not use up the hundred",
         repeat("\n", 150) + repeat("a,b\n", 60) + repeat("a,b,c\n", 40) + repeat("a,b,c\n", 50),
         ',', 2},
        {"two delimiters alone are three fields", ",,\n,,\n   \na,b\n", ',', 3},
        {"byte-order mark",
         "\xEF\xBB\xBF"
         "a,b\nc,d\ne\n",
         ',', 2},
        {"quoted line breaks keep a row together", "\"w\nx\ny\nz\",c\nd,e\n", ',', 2},
        {"apostrophes are ordinary characters", "'a,b',c\n'd,e',f\n", ',', 3},
        {"the given delimiter", "a;b;c\nd;e;f\n", ';', 3},
        {"another delimiter than the text's", "a;b;c\nd;e;f\n", ',', 1},
        {"tab delimiter and blank tab lines", "a\tb\n\t\na\tb\n", '\t', 2},
        {"ties go to the larger count", "a,b,c\na,b,c\na,b,c,d\na,b,c,d\n", ',', 4},
        {"ties go to the larger count in any order", "a,b,c,d\na,b,c\na,b,c,d\na,b,c\n", ',', 4},
        {"ties with single fields", "a\na\na,b\na,b\n", ',', 2},
        {"invalid UTF-8", "\xFF,\xFE\n\xFD,\xFC\n", ',', 2},
        {"last row without a line end", "a,b\nc,d,e\nf,g", ',', 2},
    };
    for (const InferCase& c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(infer_column_count(c.buffer, c.delimiter), c.expected) << show(c.buffer);
    }
}

} // namespace
} // namespace rowmend::test
