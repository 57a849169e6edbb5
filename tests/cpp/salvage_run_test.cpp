// The report sink and the run: what a report says of an input (counts, the
// header's names, records, where the repairs sit), the data rows it hands on,
// a run pushed in chunks against the whole-buffer pass, and the files a run
// writes against file salvage's.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "salvage/file_salvage.h"
#include "salvage/report_sink.h"
#include "salvage/salvage_run.h"
#include "salvage/salvage_slice.h"
#include "test_support.h"

namespace rowmend {
namespace {

using test::Fields;
using test::Rows;

// The data rows a report sink hands on, split into fields.
struct TableRows final : TableSink {
    Rows rows;
    std::vector<std::uint64_t> lines;
    void plain_rows(std::string_view lines_in, std::uint64_t first_line,
                    const TableShape& shape) override {
        for (std::uint64_t line = first_line; !lines_in.empty(); ++line) {
            const std::size_t lf = lines_in.find('\n');
            ASSERT_NE(lf, std::string_view::npos);
            Fields fields;
            for (std::string_view rest = lines_in.substr(0, lf);;) {
                const std::size_t cut = rest.find(shape.delimiter);
                fields.emplace_back(rest.substr(0, cut));
                if (cut == std::string_view::npos)
                    break;
                rest.remove_prefix(cut + 1);
            }
            rows.push_back(std::move(fields));
            lines.push_back(line);
            lines_in.remove_prefix(lf + 1);
        }
    }
    void row(const RowView& fields, std::uint64_t line, const TableShape&) override {
        rows.push_back(test::to_fields(fields));
        lines.push_back(line);
    }
};

// Everything a report says, comparable.
struct Said {
    RowCounts counts;
    std::optional<Fields> header;
    std::uint64_t header_rows;
    std::size_t width;
    std::vector<std::uint64_t> quarantined; // lines
    std::vector<std::pair<std::uint64_t, std::string_view>> repairs;
    std::uint64_t bin_lines;
    std::vector<std::uint64_t> actions; // rows per action, from the histogram
    std::vector<std::pair<std::string, std::string>> notes;
    bool operator==(const Said&) const = default;
};

Said said(const ReportSink& report) {
    Said out{report.counts(),
             report.header(),
             report.header_rows(),
             report.width(),
             {},
             {},
             report.histogram().bin_lines(),
             {},
             report.notes()};
    for (const QuarantinedRow& row : report.quarantine())
        out.quarantined.push_back(row.line);
    for (const RepairedRow& row : report.repairs())
        out.repairs.emplace_back(row.line, row_action_name(row.action));
    for (std::size_t a = 0; a < kRowActions; ++a) {
        const LineHistogram::Counts& bins = report.histogram().counts(static_cast<RowAction>(a));
        out.actions.push_back(std::accumulate(bins.begin(), bins.end(), std::uint64_t{0}));
    }
    return out;
}

std::uint64_t action_count(const Said& s, RowAction action) {
    return s.actions[static_cast<std::size_t>(action)];
}

// Reports on `input`, run over the whole buffer at once.
Said report_whole(std::string_view input, const SalvageOptions& options,
                  const ReportOptions& report_options, TableRows* table = nullptr) {
    ReportSink report(report_options, table);
    SalvagePass pass(options, report);
    EXPECT_TRUE(pass.run_buffer(input));
    return said(report);
}

struct ReportCase {
    const char* name;
    std::string input;
    SalvageOptions options;
    ReportOptions report;
    RowCounts counts;
    std::optional<Fields> header;
    Rows table;
    std::vector<std::uint64_t> quarantined;
    std::vector<std::pair<std::uint64_t, std::string_view>> repairs;
};

SalvageOptions strict() {
    SalvageOptions options;
    options.fill_ragged_rows = options.merge_overflow = false;
    return options;
}

SalvageOptions skipping() {
    SalvageOptions options;
    options.skip_blank_rows = true;
    options.comment_prefix = "#";
    return options;
}

TEST(ReportSink, CountsRecordsAndHandsOnTheDataRows) {
    const ReportOptions named{true, false, 10000, true};
    const ReportOptions unnamed{false, false, 10000, false};
    const std::vector<ReportCase> table = {
        {"filled and merged, header taken",
         "a,b,c\n1,2,3\n4,5\n6,7,8,9\n",
         {},
         named,
         {3, 3, 2, 0, 0, {}},
         Fields{"a", "b", "c"},
         {{"1", "2", "3"}, {"4", "5", ""}, {"6", "7", "8,9"}},
         {},
         {{3, "filled"}, {4, "merged"}}},
        {"quarantined, the header not counted",
         "a,b,c\n1,2,3\n4,5\n6,7,8,9\n",
         strict(),
         named,
         {3, 1, 0, 2, 0, {}},
         Fields{"a", "b", "c"},
         {{"1", "2", "3"}},
         {3, 4},
         {}},
        {"no header: every row is data",
         "a,b\n1,2\n",
         {},
         unnamed,
         {2, 2, 0, 0, 0, {}},
         std::nullopt,
         {{"a", "b"}, {"1", "2"}},
         {},
         {}},
        {"blank and comment lines skipped by kind",
         "a,b\n1,2\n\n# note\n3,4\n",
         skipping(),
         named,
         {4, 2, 0, 0, 2, {1, 1, 0, 0}},
         Fields{"a", "b"},
         {{"1", "2"}, {"3", "4"}},
         {},
         {{3, "blank"}, {4, "comment"}}},
        {"quoted rows and a stray quote",
         "k,v\n\"x,y\",1\nab\"c,2\n",
         {},
         named,
         {2, 2, 0, 0, 0, {}},
         Fields{"k", "v"},
         {{"x,y", "1"}, {"ab\"c", "2"}},
         {},
         {}},
        {"empty input", "", {}, named, {}, std::nullopt, {}, {}, {}},
    };
    for (const ReportCase& c : table) {
        SCOPED_TRACE(c.name);
        TableRows rows;
        const Said s = report_whole(c.input, c.options, c.report, &rows);
        EXPECT_EQ(s.counts, c.counts);
        EXPECT_EQ(s.counts.total_rows,
                  s.counts.salvaged_rows + s.counts.quarantined_rows + s.counts.skipped_rows);
        EXPECT_EQ(s.header, c.header);
        EXPECT_EQ(rows.rows, c.table);
        EXPECT_EQ(rows.rows.size(), s.counts.salvaged_rows);
        EXPECT_EQ(s.quarantined, c.quarantined);
        EXPECT_EQ(s.repairs, c.repairs);
        // The histogram holds every row not kept as it stood.
        EXPECT_EQ(action_count(s, RowAction::Filled) + action_count(s, RowAction::Merged),
                  c.counts.repaired_rows);
        EXPECT_EQ(action_count(s, RowAction::TooFew) + action_count(s, RowAction::TooMany),
                  c.counts.quarantined_rows);
        EXPECT_EQ(action_count(s, RowAction::Blank), c.counts.skipped_by_kind[0]);
    }
}

TEST(ReportSink, JoinsTheNamesOfAHeaderOfSeveralRows) {
    SalvageOptions options;
    options.detect_header = true;
    const std::string input = "Sales,,Returns,\nQ1,Q2,Q1,Q2\n1,2,3,4\n5,6,7,8\n9,10,11,12\n";
    TableRows rows;
    const Said s = report_whole(input, options, {false, true, 10000, false}, &rows);
    ASSERT_EQ(s.header_rows, 2U);
    EXPECT_EQ(s.header, (Fields{"Sales Q1", "Sales Q2", "Returns Q1", "Returns Q2"}));
    EXPECT_EQ(s.counts.total_rows, 3U);
    EXPECT_EQ(rows.lines, (std::vector<std::uint64_t>{3, 4, 5}));
}

TEST(ReportSink, KeepsTheFirstRecordsAndCountsThemAll) {
    std::string input = "a,b\n";
    for (int i = 0; i < 50; ++i)
        input += "1\n1,2,3\n";
    SalvageOptions options = strict();
    options.expected_columns = 2;
    for (const std::size_t max_records : {0U, 2U, 1000U}) {
        SCOPED_TRACE(max_records);
        const Said s = report_whole(input, options, {true, false, max_records, true});
        EXPECT_EQ(s.counts.quarantined_rows, 100U);
        EXPECT_EQ(s.quarantined.size(), std::min<std::size_t>(max_records, 100));
        EXPECT_EQ(action_count(s, RowAction::TooFew), 50U);
    }
}

TEST(LineHistogram, FoldsAsLinesOutrunItAndLosesNoRow) {
    struct Case {
        std::vector<std::uint64_t> lines;
        std::uint64_t bin_lines;
        std::vector<std::pair<std::size_t, std::uint64_t>> bins; // (bin, count)
    };
    const std::vector<Case> table = {
        {{1, 2, 256}, 1, {{0, 1}, {1, 1}, {255, 1}}},
        {{1, 2, 257}, 2, {{0, 2}, {128, 1}}},
        {{1, 1000, 3, 4}, 4, {{0, 3}, {249, 1}}},
        {{1u << 20, 1}, 4096, {{0, 1}, {255, 1}}},
    };
    for (const Case& c : table) {
        LineHistogram histogram;
        for (const std::uint64_t line : c.lines)
            histogram.add(RowAction::Filled, line);
        EXPECT_EQ(histogram.bin_lines(), c.bin_lines);
        LineHistogram::Counts expected{};
        for (const auto& [bin, count] : c.bins)
            expected[bin] = count;
        EXPECT_EQ(histogram.counts(RowAction::Filled), expected);
    }
}

const std::vector<std::string>& run_inputs() {
    static const std::vector<std::string> inputs = {
        "a,b,c\n1,2,3\n4,5\n6,7,8,9\n\"q\nr\",s,t\n",
        "title line\n\nx;y;z\n1;2;3\n4;5;6\n# c\n7;8\nTotal;13;9\n",
        "\xEF\xBB\xBFid|name\r\n1|\xC3\xA9\r\n2|\xFF\r\n",
        "Sales,,Returns,\nQ1,Q2,Q1,Q2\n1,2,3,4\n5,6,7,8\n",
        "",
    };
    return inputs;
}

SalvageOptions package_options() {
    SalvageOptions options;
    options.detect_dialect = options.detect_quote = options.detect_escape = true;
    options.skip_blank_rows = options.detect_header = options.detect_comments = true;
    options.detect_preamble = options.detect_footer = options.detect_totals = true;
    options.detect_trailing_section = true;
    options.runaway_quotes = RunawayQuoteRule{};
    return options;
}

TEST(SalvageRun, ReportsInAnyChunksWhatTheWholeBufferPassReports) {
    RunSettings settings;
    settings.salvage = package_options();
    settings.report = {false, true, 10000, true};
    for (const std::string& input : run_inputs()) {
        SCOPED_TRACE(test::show(input));
        TableRows whole_rows;
        const Said whole = report_whole(input, settings.salvage, settings.report, &whole_rows);
        for (const std::size_t chunk : {1U, 3U, 7U, 1U << 16}) {
            SCOPED_TRACE(chunk);
            TableRows rows;
            SalvageRun run(settings, &rows);
            for (std::size_t at = 0; at < input.size(); at += chunk)
                ASSERT_TRUE(run.feed(input.data() + at, std::min(chunk, input.size() - at)));
            EXPECT_EQ(run.finish(), std::nullopt);
            EXPECT_TRUE(run.finished());
            EXPECT_EQ(said(run.report()), whole);
            EXPECT_EQ(rows.rows, whole_rows.rows);
            EXPECT_EQ(rows.lines, whole_rows.lines);
        }
    }
}

TEST(SalvageRun, DecodesItsEncodingBeforeThePass) {
    RunSettings settings;
    settings.encoding = SourceEncoding::Latin1;
    TableRows rows;
    SalvageRun run(settings, &rows);
    const std::string input = "name,city\nJos\xE9,Malm\xF6\n";
    ASSERT_TRUE(run.feed(input.data(), input.size()));
    EXPECT_EQ(run.finish(), std::nullopt);
    EXPECT_EQ(rows.rows, (Rows{{"Jos\xC3\xA9", "Malm\xC3\xB6"}}));
    EXPECT_EQ(run.transcoder().replaced_bytes(), 0U);
}

// A run that writes files writes what file salvage writes.
TEST(SalvageRun, WritesTheCleanAndQuarantineFilesOfFileSalvage) {
    for (const std::string& input : run_inputs()) {
        for (const bool fill : {true, false}) {
            SCOPED_TRACE(test::show(input) + (fill ? " filled" : " strict"));
            test::TempDir dir;
            test::write_file(dir.file("in.csv"), input);
            SalvageOptions options;
            options.fill_ragged_rows = options.merge_overflow = fill;
            options.threads = 1;
            ASSERT_TRUE(salvage_file(dir.file("in.csv"), dir.file("want.csv"),
                                     dir.file("want.q.csv"), options)
                            .ok());

            RunSettings settings;
            settings.salvage = options;
            settings.report.header = false; // so that it counts every row, as the pass does
            const int fd = ::open(dir.file("got.csv").c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(fd, 0);
            // Built in place: GCC's -O1 with sanitizers misreads a moved-in
            // optional string as maybe uninitialized.
            settings.clean.emplace().fd = fd;
            settings.clean->quarantine_dir = dir.path();
            SalvageRun run(settings);
            ASSERT_TRUE(run.feed(input.data(), input.size()));
            EXPECT_EQ(run.finish(), std::nullopt);
            ::close(fd);
            ASSERT_TRUE(run.spools_quarantine());
            const int qfd = ::open(dir.file("got.q.csv").c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(qfd, 0);
            EXPECT_EQ(run.write_quarantine(qfd, 8192), std::nullopt);
            ::close(qfd);
            EXPECT_EQ(test::read_file(dir.file("got.csv")), test::read_file(dir.file("want.csv")));
            EXPECT_EQ(test::read_file(dir.file("got.q.csv")),
                      test::read_file(dir.file("want.q.csv")));
            EXPECT_EQ(run.report().counts(),
                      static_cast<const RowCounts&>(salvage_slice(input, options).counters));
        }
    }
}

TEST(SalvageRun, SpoolsEveryRowSetAsideButBlankOnes) {
    test::TempDir dir;
    RunSettings settings;
    settings.salvage = skipping();
    settings.report.max_records = 0; // the spool keeps them all regardless
    settings.set_aside_dir = dir.path();
    SalvageRun run(settings);
    EXPECT_FALSE(run.spools_quarantine());
    const std::string input = "a,b\n# one\n1,2\n\n#\"two\"\n";
    ASSERT_TRUE(run.feed(input.data(), input.size()));
    EXPECT_EQ(run.finish(), std::nullopt);
    const int fd = ::open(dir.file("aside.csv").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(run.write_set_aside(fd, 8192), std::nullopt);
    ::close(fd);
    EXPECT_EQ(test::read_file(dir.file("aside.csv")),
              "line,kind,raw_content\n2,\"comment\",\"# one\"\n5,\"comment\",\"#\"\"two\"\"\"\n");
}

TEST(SalvageRun, AFailedWriteIsItsFailureAndTheReportStillCounts) {
    test::TempDir dir;
    test::write_file(dir.file("read-only.csv"), "");
    const int fd = ::open(dir.file("read-only.csv").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    RunSettings settings;
    settings.salvage.threads = 1;
    settings.clean.emplace().fd = fd;
    SalvageRun run(settings);
    const std::string input = "a,b\n1,2\n3\n";
    run.feed(input.data(), input.size());
    const std::optional<IoError> failure = run.finish();
    ::close(fd);
    ASSERT_TRUE(failure.has_value());
    EXPECT_TRUE(failure->is_os_error());
    EXPECT_EQ(failure->os_code(), EBADF);
    EXPECT_EQ(run.report().counts().total_rows, 2U);
    EXPECT_EQ(run.finish(), std::nullopt); // a second finish does nothing
}

} // namespace
} // namespace rowmend
