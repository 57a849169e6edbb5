// File salvage end to end: input file and options on one side; the clean
// file, the quarantine file, the counters or the error text on the other.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "salvage/byte_text.h"
#include "salvage/csv_output.h"
#include "salvage/file_salvage.h"
#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

using namespace std::string_literals;

SalvageOptions layout(std::optional<std::uint8_t> delimiter, std::optional<std::uint64_t> columns,
                      bool fill = true, bool merge = true, std::uint8_t quote = '"') {
    SalvageOptions options;
    options.delimiter = delimiter;
    options.expected_columns = columns;
    options.fill_ragged_rows = fill;
    options.merge_overflow = merge;
    options.quote_char = quote;
    return options;
}

struct FileCase {
    const char* name;
    std::string input;
    SalvageOptions options;
    std::string clean;
    std::string quarantine;
    SalvageStats stats;
};

TEST(SalvageFile, WritesTheCleanAndQuarantineFiles) {
    const std::string header = "line,reason,raw_content\n";
    const std::vector<FileCase> table = {
        {"empty input", "", layout(';', 5), "", header, {{0, 0, 0, 0}, 0, ','}},
        {"fill and merge",
         "a,b,c\nd,e\nf,g,h,i\n",
         layout(',', 3),
         "a,b,c\nd,e,\nf,g,\"h,i\"\n",
         header,
         {{3, 3, 2, 0}, 3, ','}},
        {"quarantine",
         "a,b,c\nd,e\nf,g,h,i\n",
         layout(',', 3, false, false),
         "a,b,c\n",
         header + "2,\"Row has too few columns (expected 3)\",\"d,e\"\n"
                  "3,\"Row has extra columns (expected 3)\",\"f,g,h,i\"\n",
         {{3, 1, 0, 2}, 3, ','}},
        {"quoting in both files",
         "\"He said \"\"hi\"\"\",x\n\"a,b\"\n",
         layout(',', 2, false, false),
         "\"He said \"\"hi\"\"\",x\n",
         header + "2,\"Row has too few columns (expected 2)\",\"a,b\"\n",
         {{2, 1, 0, 1}, 2, ','}},
        {"apostrophe quote",
         "'it''s',\"x\"\n'a;b'\n",
         layout(',', 2, false, false, '\''),
         "'it''s',\"x\"\n",
         header + "2,\"Row has too few columns (expected 2)\",\"a;b\"\n",
         {{2, 1, 0, 1}, 2, ','}},
        {"line breaks inside fields are written raw",
         "\"a\nb\",\"c\rd\"\r\ne,f\r\n",
         layout(',', 2),
         "\"a\nb\",\"c\rd\"\ne,f\n",
         header,
         {{2, 2, 0, 0}, 2, ','}},
        {"a high delimiter in both files",
         "a\xA7"
         "b\xA7"
         "c\nd\n",
         layout(0xA7, 2, true, false),
         "d\xC2\xA7\n",
         header + "1,\"Row has extra columns (expected 2)\",\"a\xC2\xA7"
                  "b\xC2\xA7"
                  "c\"\n",
         {{2, 1, 1, 1}, 2, 0xA7}},
        {"sniffed and inferred",
         "\xEF\xBB\xBF"
         "x;y\n1;2\n3\n",
         layout(std::nullopt, std::nullopt),
         "x;y\n1;2\n3;\n",
         header,
         {{3, 3, 1, 0}, 2, ';'}},
        {"invalid UTF-8 is replaced",
         "a\xFF,b\n",
         layout(',', 2),
         "a\xEF\xBF\xBD,b\n",
         header,
         {{1, 1, 0, 0}, 2, ','}},
        {"blank rows", "\n\n", layout(',', 1), "\n\n", header, {{2, 2, 0, 0}, 1, ','}},
    };
    for (const FileCase& c : table) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in.csv"), c.input);
        auto result =
            salvage_file(dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), c.options);
        ASSERT_TRUE(result) << result.error().text();
        EXPECT_EQ(show(read_file(dir.file("out.csv"))), show(c.clean));
        EXPECT_EQ(show(read_file(dir.file("q.csv"))), show(c.quarantine));
        const SalvageStats& s = result.value();
        EXPECT_EQ(s.total_rows, c.stats.total_rows);
        EXPECT_EQ(s.salvaged_rows, c.stats.salvaged_rows);
        EXPECT_EQ(s.repaired_rows, c.stats.repaired_rows);
        EXPECT_EQ(s.quarantined_rows, c.stats.quarantined_rows);
        EXPECT_EQ(s.inferred_columns, c.stats.inferred_columns);
        EXPECT_EQ(int{s.detected_delimiter}, int{c.stats.detected_delimiter});
        EXPECT_EQ(read_file(dir.file("in.csv")), c.input) << "the input must stay untouched";
    }
}

TEST(SalvageFile, LongRowsPassTheWriterWhole) {
    // Rows longer than the writer's buffer, between short ones.
    std::string input, clean;
    for (int i = 0; i < 20; ++i) {
        const std::string field(static_cast<std::size_t>(i) * 1500, static_cast<char>('a' + i));
        input += field + ",x\n";
        clean += field + ",x\n";
    }
    TempDir dir;
    write_file(dir.file("in"), input);
    auto result = salvage_file(dir.file("in"), dir.file("out"), std::nullopt, layout(',', 2));
    ASSERT_TRUE(result);
    EXPECT_TRUE(read_file(dir.file("out")) == clean);
    EXPECT_EQ(result.value().total_rows, 20u);
}

TEST(SalvageFile, NoQuarantinePathWritesNoQuarantineFile) {
    TempDir dir;
    write_file(dir.file("in"), "a,b\nc\n");
    auto result =
        salvage_file(dir.file("in"), dir.file("out"), std::nullopt, layout(',', 2, false));
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value().quarantined_rows, 1u);
    EXPECT_EQ(read_file(dir.file("out")), "a,b\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"in", "out"}));
}

TEST(SalvageFile, OutputPathMayBeTheInputItself) {
    TempDir dir;
    const std::string path = dir.file("data.csv");
    write_file(path, "a,b\nc\nd,e,f\n");
    ::chmod(path.c_str(), 0640);
    auto result = salvage_file(path, path, dir.file("q"), layout(',', 2, false, false));
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_EQ(read_file(path), "a,b\n");
    EXPECT_EQ(read_file(dir.file("q")),
              "line,reason,raw_content\n2,\"Row has too few columns (expected 2)\",\"c\"\n"
              "3,\"Row has extra columns (expected 2)\",\"d,e,f\"\n");
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    // Through a symbolic link the link stays and its target gets the rows.
    write_file(path, "x;y\n");
    ASSERT_EQ(::symlink(path.c_str(), dir.file("link").c_str()), 0);
    result = salvage_file(dir.file("link"), dir.file("link"), std::nullopt, layout(';', 3));
    ASSERT_TRUE(result) << result.error().text();
    struct stat link_info;
    ASSERT_EQ(::lstat(dir.file("link").c_str(), &link_info), 0);
    EXPECT_TRUE(S_ISLNK(link_info.st_mode));
    EXPECT_EQ(read_file(path), "x;y;\n");

    // No temporary file is left behind.
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"data.csv", "link", "q"}));
}

// The file operation writes exactly the in-memory pass's outcome in the two
// formats, whatever shortcuts it takes for rows that need no repair.
TEST(SalvageFile, FilesHoldTheOutcomeOfThePass) {
    const std::vector<std::string> tokens = {
        "a", "bc", ",",        ",",    ";", "\n",   "\n",           "\n",        "\"",
        "'", "\r", "\xC3\xA9", "\xFF", " ", "\xA7", "\xEF\xBB\xBF", "0123456789"};
    std::mt19937_64 rng(2718);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    TempDir dir;
    for (int i = 0; i < 1500; ++i) {
        std::string input;
        // Now and then long enough to need several writer buffers.
        for (std::size_t k = i % 50 == 0 ? 6000 : pick(80); k > 0; --k)
            input += tokens[pick(tokens.size())];
        SalvageOptions options;
        const std::uint8_t delimiters[] = {',', ';', 0xA7, '\t'};
        if (pick(3) != 0)
            options.delimiter = delimiters[pick(4)];
        if (pick(3) != 0)
            options.expected_columns = pick(4);
        options.fill_ragged_rows = pick(2) == 0;
        options.merge_overflow = pick(2) == 0;
        const std::uint8_t quotes[] = {'"', '"', '\'', 0xA7};
        options.quote_char = quotes[pick(4)];
        options.repair_quotes = pick(4) != 0;

        const SalvageOutcome outcome = salvage_slice(input, options);
        const SalvageCounters& counters = outcome.counters;
        std::string clean, quarantine = "line,reason,raw_content\n";
        const CleanCsvFormat format(counters.detected_delimiter, options.quote_char);
        for (std::size_t r = 0; r < outcome.rows.row_count(); ++r)
            format.append_line(clean, outcome.rows.row(r), r == 0);
        for (std::size_t q = 0; q < outcome.quarantine.size(); ++q) {
            append_quarantine_line(quarantine, outcome.quarantine.line(q),
                                   outcome.quarantine.reason(q), outcome.quarantine.fields(q),
                                   ByteText(counters.detected_delimiter));
        }

        // Fresh files each time: ext4 flushes a file truncated and rewritten
        // in place when it is closed, which would make this test crawl.
        for (const char* name : {"in", "out", "q"})
            ::unlink(dir.file(name).c_str());
        write_file(dir.file("in"), input);
        auto result = salvage_file(dir.file("in"), dir.file("out"), dir.file("q"), options);
        ASSERT_TRUE(result) << result.error().text();
        const SalvageStats& stats = result.value();
        const std::string clean_file = read_file(dir.file("out")),
                          quarantine_file = read_file(dir.file("q"));
        ASSERT_TRUE(clean_file == clean)
            << show(clean_file) << "\n expected " << show(clean) << "\n input " << show(input);
        ASSERT_TRUE(quarantine_file == quarantine)
            << show(quarantine_file) << "\n expected " << show(quarantine) << "\n input "
            << show(input);
        ASSERT_EQ(stats.total_rows, counters.total_rows);
        ASSERT_EQ(stats.salvaged_rows, counters.salvaged_rows);
        ASSERT_EQ(stats.repaired_rows, counters.repaired_rows);
        ASSERT_EQ(stats.quarantined_rows, counters.quarantined_rows);
        ASSERT_EQ(stats.inferred_columns, counters.inferred_columns);
        ASSERT_EQ(stats.detected_delimiter, counters.detected_delimiter);

        // Both files read back as CSV: the clean file (for ASCII delimiter and
        // quote, which the parser compares as single bytes) gives the retained
        // rows, the quarantine file gives line, reason and raw content.
        if (!clean.empty()) {
            ASSERT_EQ(clean.back(), '\n');
        }
        const std::uint8_t delimiter = counters.detected_delimiter;
        if (delimiter < 0x80 && options.quote_char < 0x80 && !clean.starts_with("\xEF\xBB\xBF")) {
            const auto reread = parse_full(clean_file, {delimiter, options.quote_char, true});
            ASSERT_TRUE(fields_of(reread) == all_rows(outcome.rows)) << "input " << show(input);
        }
        Rows records = {{"line", "reason", "raw_content"}};
        for (std::size_t q = 0; q < outcome.quarantine.size(); ++q) {
            const Fields fields = to_fields(outcome.quarantine.fields(q));
            std::string raw;
            for (std::size_t f = 0; f < fields.size(); ++f) {
                if (f != 0)
                    raw += ByteText(delimiter).view();
                raw += fields[f];
            }
            records.push_back(
                {std::to_string(outcome.quarantine.line(q)), outcome.quarantine.reason(q), raw});
        }
        ASSERT_TRUE(fields_of(parse_full(quarantine_file, {',', '"', true})) == records)
            << "input " << show(input);
    }
}

struct FailureCase {
    const char* name;
    std::string input;
    std::string output;
    std::optional<std::string> quarantine;
    std::string text;
    // What must (not) exist afterwards, and the clean file's content if it exists.
    bool output_exists;
    bool quarantine_exists;
};

TEST(SalvageFile, FailuresReturnTheIoErrorText) {
    TempDir dir;
    const std::string in = dir.file("in.csv");
    write_file(in, "a,b\nc,d\n");
    const std::string out = dir.file("out.csv"), q = dir.file("q.csv");
    const std::vector<FailureCase> table = {
        {"missing input", dir.file("missing.csv"), out, q, "No such file or directory (os error 2)",
         false, false},
        {"input is a directory", dir.path(), out, q, "Is a directory (os error 21)", false, false},
        {"NUL in the input path", in + "\0x"s, out, q, "file name contained an unexpected NUL byte",
         false, false},
        {"NUL in the output path", in, out + "\0x"s, q,
         "file name contained an unexpected NUL byte", false, false},
        {"missing output directory", in, dir.file("nowhere/out.csv"), q,
         "No such file or directory (os error 2)", false, false},
        {"output is a directory", in, dir.path(), q, "Is a directory (os error 21)", false, false},
        {"disk full on the clean file", in, "/dev/full", q, "No space left on device (os error 28)",
         false, false},
        // The clean file is complete before the quarantine file fails.
        {"missing quarantine directory", in, out, dir.file("nowhere/q.csv"),
         "No such file or directory (os error 2)", true, false},
        {"NUL in the quarantine path", in, out, q + "\0"s,
         "file name contained an unexpected NUL byte", true, false},
        {"disk full on the quarantine file", in, out, "/dev/full"s,
         "No space left on device (os error 28)", true, false},
    };
    for (const FailureCase& c : table) {
        SCOPED_TRACE(c.name);
        ::unlink(out.c_str());
        ::unlink(q.c_str());
        auto result = salvage_file(c.input, c.output, c.quarantine, layout(',', 2));
        ASSERT_FALSE(result);
        EXPECT_TRUE(result.error().is_io());
        EXPECT_EQ(result.error().text(), c.text);
        EXPECT_EQ(path_exists(out), c.output_exists);
        if (c.output_exists) {
            EXPECT_EQ(read_file(out), "a,b\nc,d\n");
        }
        EXPECT_EQ(path_exists(q), c.quarantine_exists);
        EXPECT_EQ(read_file(in), "a,b\nc,d\n");
    }
}

TEST(SalvageFile, AFailedInPlaceRunLeavesTheInputAsItWas) {
    TempDir dir;
    const std::string path = dir.file("data.csv");
    write_file(path, "a,b\nc\n");
    auto result = salvage_file(path, path, dir.file("nowhere/q.csv"), layout(',', 2, false));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), "No such file or directory (os error 2)");
    EXPECT_EQ(read_file(path), "a,b\nc\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"data.csv"}));
}

TEST(SalvageFile, PermissionDeniedNamesNoPath) {
    TempDir dir;
    write_file(dir.file("in"), "a\n");
    ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir.file("in").c_str(), 0644), 0);
    const auto attempt = [&] {
        auto result =
            salvage_file(dir.file("in"), dir.file("locked/out"), std::nullopt, SalvageOptions{});
        return result ? std::string("succeeded") : result.error().text();
    };
    if (::geteuid() != 0) {
        EXPECT_EQ(attempt(), "Permission denied (os error 13)");
        return;
    }
    // Permission bits do not bind the superuser: try as nobody in a child.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(!dropped ? 2 : attempt() == "Permission denied (os error 13)" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "salvage_file as nobody did not fail with the permission error";
}

} // namespace
} // namespace rowmend::test
