// The whole run on any bytes and any options: input pushed through
// SalvageRun in chunks of pseudo-random sizes, down to one byte, reports
// exactly what a report sink hears from the whole-buffer pass, and hands on
// the same data rows. The report adds up: every row the pass told of is a
// header row or counted once; the histogram holds every row that was not
// kept as it stood; records stay within max_records. With the target's flag
// the package's detections are on and the header is detected.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "salvage/report_sink.h"
#include "salvage/salvage_run.h"

namespace {

using namespace rowmend;
using namespace rowmend::fuzz;

// The data rows handed on, as (line, fields).
struct Rows final : TableSink {
    std::vector<std::pair<std::uint64_t, std::vector<std::string>>> rows;
    void plain_rows(std::string_view lines, std::uint64_t first_line,
                    const TableShape& shape) override {
        FUZZ_CHECK(shape.width >= 1);
        for (std::uint64_t line = first_line; !lines.empty(); ++line) {
            const std::size_t lf = lines.find('\n');
            FUZZ_CHECK(lf != std::string_view::npos);
            std::vector<std::string> fields;
            for (std::string_view rest = lines.substr(0, lf);;) {
                const std::size_t cut = rest.find(shape.delimiter);
                fields.emplace_back(rest.substr(0, cut));
                if (cut == std::string_view::npos)
                    break;
                rest.remove_prefix(cut + 1);
            }
            rows.emplace_back(line, std::move(fields));
            lines.remove_prefix(lf + 1);
        }
    }
    void row(const RowView& fields, std::uint64_t line, const TableShape& shape) override {
        FUZZ_CHECK(shape.width >= 1);
        rows.emplace_back(line, fields_of(fields));
    }
};

std::uint64_t histogram_total(const LineHistogram& histogram, RowAction action) {
    const LineHistogram::Counts& bins = histogram.counts(action);
    return std::accumulate(bins.begin(), bins.end(), std::uint64_t{0});
}

void check_same(const ReportSink& a, const ReportSink& b) {
    FUZZ_CHECK(a.counts() == b.counts());
    FUZZ_CHECK(a.settled() == b.settled() && a.delimiter() == b.delimiter());
    FUZZ_CHECK(a.separator() == b.separator() && a.quote() == b.quote());
    FUZZ_CHECK(a.escape() == b.escape() && a.preamble_rows() == b.preamble_rows());
    FUZZ_CHECK(a.layout_columns() == b.layout_columns() && a.width() == b.width());
    FUZZ_CHECK(a.header() == b.header() && a.header_rows() == b.header_rows());
    FUZZ_CHECK(a.notes() == b.notes());
    FUZZ_CHECK(a.quarantine().size() == b.quarantine().size());
    for (std::size_t i = 0; i < a.quarantine().size(); ++i) {
        const QuarantinedRow &x = a.quarantine()[i], &y = b.quarantine()[i];
        FUZZ_CHECK(x.line == y.line && x.fate == y.fate && x.text == y.text &&
                   x.fields == y.fields);
    }
    FUZZ_CHECK(a.repairs().size() == b.repairs().size());
    for (std::size_t i = 0; i < a.repairs().size(); ++i) {
        const RepairedRow &x = a.repairs()[i], &y = b.repairs()[i];
        FUZZ_CHECK(x.line == y.line && x.action == y.action && x.text == y.text &&
                   x.fields == y.fields);
    }
    FUZZ_CHECK(a.histogram().bin_lines() == b.histogram().bin_lines());
    FUZZ_CHECK(a.histogram().last_line() == b.histogram().last_line());
    for (std::size_t i = 0; i < kRowActions; ++i) {
        const auto action = static_cast<RowAction>(i);
        FUZZ_CHECK(a.histogram().counts(action) == b.histogram().counts(action));
    }
    FUZZ_CHECK(a.quotes_read_as_text() == b.quotes_read_as_text());
    FUZZ_CHECK(a.quote_lines() == b.quote_lines());
}

void check_adds_up(const ReportSink& report, const SalvageCounters& pass, std::size_t rows,
                   std::size_t max_records) {
    const RowCounts& counts = report.counts();
    FUZZ_CHECK(counts.total_rows ==
               counts.salvaged_rows + counts.quarantined_rows + counts.skipped_rows);
    FUZZ_CHECK(counts.total_rows + report.header_rows() == pass.total_rows);
    FUZZ_CHECK(counts.quarantined_rows == pass.quarantined_rows);
    FUZZ_CHECK(counts.skipped_by_kind == pass.skipped_by_kind);
    FUZZ_CHECK(counts.salvaged_rows == rows);
    FUZZ_CHECK(report.quarantine().size() ==
               std::min<std::uint64_t>(counts.quarantined_rows, max_records));
    const LineHistogram& histogram = report.histogram();
    FUZZ_CHECK(histogram_total(histogram, RowAction::TooFew) +
                   histogram_total(histogram, RowAction::TooMany) ==
               counts.quarantined_rows);
    std::uint64_t skipped = 0;
    for (std::size_t k = 0; k < kSkipKinds; ++k)
        skipped += histogram_total(histogram, row_action(static_cast<SkipKind>(k)));
    FUZZ_CHECK(skipped == counts.skipped_rows);
    // Every repaired data row is in the histogram under one action.
    FUZZ_CHECK(histogram_total(histogram, RowAction::Filled) +
                   histogram_total(histogram, RowAction::Merged) +
                   histogram_total(histogram, RowAction::QuoteReadAsText) <=
               counts.repaired_rows);
    std::vector<std::size_t> per_action(kRowActions);
    for (const RepairedRow& row : report.repairs())
        FUZZ_CHECK(++per_action[static_cast<std::size_t>(row.action)] <= max_records);
    if (report.header())
        FUZZ_CHECK(report.header_rows() >= 1);
}

// Small enough that inputs of a few hundred bytes cross both bounds.
constexpr RunawayQuoteRule kFuzzRunawayRule{2, 24};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const FuzzOptions fuzz_options = take_options(in);
    const std::string_view csv = in.rest();
    RunSettings settings;
    settings.salvage = fuzz_options.salvage;
    settings.report.record_repairs = true;
    settings.report.max_records = 2 + csv.size() % 3;
    if (fuzz_options.target_flag) {
        SalvageOptions& options = settings.salvage;
        options.skip_blank_rows = options.detect_header = options.detect_comments = true;
        options.detect_preamble = options.detect_trailing_section = options.detect_totals = true;
        options.detect_footer = csv.size() % 2 == 0;
        options.runaway_quotes = kFuzzRunawayRule;
        options.place_repairs = true;
        settings.report.header = false;
        settings.report.detected_header = true;
    }
    settings.salvage.threads = 1;

    Rows whole_rows;
    ReportSink whole(settings.report, &whole_rows);
    SalvagePass pass(settings.salvage, whole);
    FUZZ_CHECK(pass.run_buffer(csv));
    check_adds_up(whole, pass.counters(), whole_rows.rows.size(), settings.report.max_records);

    Rows rows;
    SalvageRun run(settings, &rows);
    std::uint32_t state = static_cast<std::uint32_t>(size) * 2654435761U + 7;
    for (std::size_t at = 0; at < csv.size();) {
        state = state * 1664525U + 1013904223U;
        const std::size_t chunk = std::min<std::size_t>(1 + (state >> 24) % 23, csv.size() - at);
        FUZZ_CHECK(run.feed(csv.data() + at, chunk));
        at += chunk;
    }
    FUZZ_CHECK(!run.finish());
    FUZZ_CHECK(run.finished() && !run.failure());
    check_same(run.report(), whole);
    FUZZ_CHECK(rows.rows == whole_rows.rows);
    return 0;
}
