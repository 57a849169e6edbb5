// The two output formats, byte for byte: a row and the delimiter and quote
// bytes on one side, the line written on the other.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "salvage/byte_text.h"
#include "salvage/csv_output.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

struct CleanCase {
    Fields fields;
    std::uint8_t delimiter;
    std::uint8_t quote;
    std::string line;
};

TEST(CleanCsvFormat, QuotesOnlyWhatNeedsQuoting) {
    const std::vector<CleanCase> table = {
        {{"He said \"hi\""}, ',', '"', "\"He said \"\"hi\"\"\"\n"},
        {{"a", "b", "c"}, ',', '"', "a,b,c\n"},
        {{"a,b"}, ',', '"', "\"a,b\"\n"},
        {{"a,b"}, ';', '"', "a,b\n"},
        {{"a;b", "c"}, ';', '"', "\"a;b\";c\n"},
        {{"a\nb"}, ',', '"', "\"a\nb\"\n"},
        {{"a\rb"}, ',', '"', "\"a\rb\"\n"},
        {{"\r"}, ',', '"', "\"\r\"\n"},
        {{"\r\n", "x"}, ',', '"', "\"\r\n\",x\n"},
        {{"it's"}, ',', '\'', "'it''s'\n"},
        {{"say \"x\""}, ',', '\'', "say \"x\"\n"},
        {{"   "}, ',', '"', "   \n"},
        {{" a ", "b "}, ',', '"', " a ,b \n"},
        {{"", "", ""}, ',', '"', ",,\n"},
        {{""}, ',', '"', "\n"},
        {{"\""}, ',', '"', "\"\"\"\"\n"},
        {{"\"\""}, ',', '"', "\"\"\"\"\"\"\n"},
        {{"\"a\""}, ',', '"', "\"\"\"a\"\"\"\n"},
        {{"a\tb", "c"}, '\t', '"', "\"a\tb\"\tc\n"},
        {{"caf\xC3\xA9", "\xE2\x82\xAC"}, ',', '"', "caf\xC3\xA9,\xE2\x82\xAC\n"},
        // A delimiter or quote byte of 0x80 or above is written, and looked
        // for, as its two-byte UTF-8 form.
        {{"a", "b"},
         0xA7,
         '"',
         "a\xC2\xA7"
         "b\n"},
        {{"x\xC2\xA7y"}, 0xA7, '"', "\"x\xC2\xA7y\"\n"},
        {{"\xC3\xA7", "z"}, 0xA7, '"', "\xC3\xA7\xC2\xA7z\n"},
        {{"a\xC2\xA7"
          "b"},
         ',',
         0xA7,
         "\xC2\xA7"
         "a\xC2\xA7\xC2\xA7"
         "b\xC2\xA7\n"},
        {{"a\"b", "\xC3\xA7"}, ',', 0xA7, "a\"b,\xC3\xA7\n"},
        {{"\xC3\xBF"}, 0xFF, '"', "\"\xC3\xBF\"\n"},
        {{"a", "b"},
         0xFF,
         0xFE,
         "a\xC3\xBF"
         "b\n"},
        // Quote and delimiter bytes the same: every field holding it is quoted.
        {{"a\"b", "c"}, '"', '"', "\"a\"\"b\"\"c\n"},
    };
    for (const CleanCase& c : table) {
        SCOPED_TRACE(show(c.fields) + " delimiter " + std::to_string(c.delimiter) + " quote " +
                     std::to_string(c.quote));
        RowStore store;
        push_row(store, c.fields);
        const CleanCsvFormat format(c.delimiter, c.quote);
        std::string out = "kept";
        format.append_line(out, store.last_row());
        EXPECT_EQ(show(out), show("kept" + c.line));
    }
}

TEST(CleanCsvFormat, NeedsQuotingLooksForEverySpecialText) {
    struct Case {
        std::string field;
        std::uint8_t delimiter;
        std::uint8_t quote;
        bool quoted;
    };
    // Long fields put the special byte past the sixteen-byte blocks the scan reads.
    const std::string pad(37, 'p');
    const std::vector<Case> table = {
        {pad, ',', '"', false},
        {pad + ",", ',', '"', true},
        {pad + "\"", ',', '"', true},
        {pad + "\n" + pad, ',', '"', true},
        {pad + "\r" + pad, ',', '"', true},
        {pad + ";", ',', '"', false},
        {pad + "\xC2\xA7", 0xA7, '"', true},
        {pad + "\xC2", 0xA7, '"', false},
        {pad + "\xC3\xA7", 0xA7, '"', false},
        {pad + "\n", 0xA7, 0xA8, true},
        {pad + "\xC2\xA8", 0xA7, 0xA8, true},
        {"", ',', '"', false},
        {" ", ',', '"', false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(show(c.field));
        EXPECT_EQ(CleanCsvFormat(c.delimiter, c.quote).needs_quoting(c.field), c.quoted);
    }
}

struct QuarantineCase {
    std::size_t line;
    std::string reason;
    Fields fields;
    std::uint8_t delimiter;
    std::string expected;
};

TEST(QuarantineLine, LineReasonAndRawContent) {
    const std::vector<QuarantineCase> table = {
        {7,
         "Row has extra columns (expected 3)",
         {"a", "b\"c", "d", "e"},
         ';',
         "7,\"Row has extra columns (expected 3)\",\"a;b\"\"c;d;e\"\n"},
        {1,
         "Row has too few columns (expected 2)",
         {"a", "b,c"},
         ',',
         "1,\"Row has too few columns (expected 2)\",\"a,b,c\"\n"},
        {12, "r", {"\"quoted\""}, ',', "12,\"r\",\"\"\"quoted\"\"\"\n"},
        {3, "say \"why\"", {"x"}, ',', "3,\"say \"\"why\"\"\",\"x\"\n"},
        {5, "r", {""}, ',', "5,\"r\",\"\"\n"},
        {5, "r", {"", "", ""}, ',', "5,\"r\",\",,\"\n"},
        {9, "r", {"a\nb", "c\r"}, ',', "9,\"r\",\"a\nb,c\r\"\n"},
        {2,
         "r",
         {"a", "b"},
         0xA7,
         "2,\"r\",\"a\xC2\xA7"
         "b\"\n"},
        {2, "r", {"a", "b"}, '"', "2,\"r\",\"a\"\"b\"\n"},
        {2, "r", {"it's"}, '\t', "2,\"r\",\"it's\"\n"},
        {0, "r", {"x"}, ',', "0,\"r\",\"x\"\n"},
        {18446744073709551615ULL, "r", {"x"}, ',', "18446744073709551615,\"r\",\"x\"\n"},
    };
    for (const QuarantineCase& c : table) {
        SCOPED_TRACE(show(c.fields));
        RowStore store;
        push_row(store, c.fields);
        std::string out = "kept";
        append_quarantine_line(out, c.line, c.reason, store.last_row(), ByteText(c.delimiter));
        EXPECT_EQ(show(out), show("kept" + c.expected));
    }
    EXPECT_EQ(kQuarantineHeader, "line,reason,raw_content\n");
}

TEST(ByteText, ByteAsCharacter) {
    const std::vector<std::pair<std::uint8_t, std::string>> table = {
        {0x00, std::string(1, '\0')}, {',', ","},         {0x7F, "\x7F"},     {0x80, "\xC2\x80"},
        {0xA7, "\xC2\xA7"},           {0xBF, "\xC2\xBF"}, {0xC0, "\xC3\x80"}, {0xFF, "\xC3\xBF"},
    };
    for (const auto& [byte, text] : table) {
        EXPECT_EQ(ByteText(byte).view(), text) << int{byte};
    }
}

} // namespace
} // namespace rowmend::test
