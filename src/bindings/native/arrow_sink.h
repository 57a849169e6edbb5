#pragma once
// ArrowSink: the salvage pass's rows, collected into Arrow batches of at
// most a fixed number of rows and, but for their last row, bytes. The first
// retained row may be taken as the header; the counters then count data rows
// only, so salvaged_rows is the number of rows in the batches. The first quarantined rows are kept
// with their line, fate and original text.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/native/arrow_batch.h"
#include "salvage/report_sink.h"
#include "salvage/salvage_pass.h"

namespace rowmend::native {

struct ArrowSinkOptions {
    std::size_t batch_rows = 65536; // at least 1
    // A batch also ends at the row that takes its field bytes to this many:
    // a batch of very wide or very long rows stays a bounded piece of memory,
    // and a column's data stays within what 32-bit offsets address unless a
    // single value outgrows them.
    std::size_t batch_bytes = std::size_t{64} << 20;
    bool header = true;           // the first retained row names the columns, or ...
    bool detected_header = false; // ... the pass says whether it does
    bool line_numbers = false;
    std::size_t max_records = 10000;
    bool tables = true;          // build batches; off, the sink only counts and keeps records
    bool record_repairs = false; // keep the first max_records rows of each action too
};

class ArrowSink final : public RowSink {
  public:
    explicit ArrowSink(const ArrowSinkOptions& options) : options_(options) {}

    bool begin(const SalvageCounters& layout) override;
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) override;
    bool row(const RowEvent& event) override;
    bool skipped(const SkippedRow& row) override;
    bool note(const DetectionNote& note) override;

    // Completes the batch in progress, if it holds any row.
    void finish();
    // The completed batches, oldest first; the sink keeps none of them.
    std::vector<std::shared_ptr<const ArrowBatch>> take_batches();
    std::size_t ready() const noexcept { return done_.size(); }

    bool settled() const noexcept { return settled_; }
    char delimiter() const noexcept { return delimiter_; }
    // The separator as the input writes it: the delimiter, and a blank
    // after it when every delimiter was followed by one.
    std::string_view separator() const noexcept { return separator_; }
    std::uint8_t quote() const noexcept { return quote_; }
    std::uint8_t escape() const noexcept { return escape_; } // 0: none
    std::uint64_t preamble_rows() const noexcept { return preamble_rows_; }
    std::uint64_t layout_columns() const noexcept { return layout_columns_; }
    // The table's width: the column count, or with rows left as parsed the
    // width of the first retained row; 0 until known.
    std::size_t width() const noexcept { return width_; }
    const std::optional<std::vector<std::string>>& header() const noexcept { return header_; }
    // The rows taken as the header's names: in no counter, so that these
    // and total_rows add up to every row the pass told of.
    std::uint64_t header_rows() const noexcept { return header_rows_; }
    // The pass's detection notes, as (code, message), in order.
    const std::vector<std::pair<std::string, std::string>>& notes() const noexcept {
        return notes_;
    }
    const DataCounters& counters() const noexcept { return counters_; }
    const std::vector<QuarantinedRow>& quarantine() const noexcept { return quarantine_; }
    const std::vector<RepairedRow>& repairs() const noexcept { return repairs_; }
    const LineHistogram& histogram() const noexcept { return histogram_; }
    // Rows, the header included, in which a quote that opened a runaway
    // field was read as text: how many, and the lines of the first
    // kQuoteLines of them.
    static constexpr std::size_t kQuoteLines = 100;
    std::uint64_t quotes_read_as_text() const noexcept { return quotes_read_as_text_; }
    const std::vector<std::uint64_t>& quote_lines() const noexcept { return quote_lines_; }

  private:
    void set_width(std::size_t width);
    void take_header(std::vector<std::string> fields);
    ArrowBatch& batch();
    void append_line(const char* begin, const char* end);
    void append_fields(const RowView& fields);
    void end_row(std::uint64_t line);
    bool record(RowAction action) noexcept;

    ArrowSinkOptions options_;
    bool settled_ = false;
    char delimiter_ = ',';
    std::string separator_ = ",";
    std::uint8_t quote_ = '"';
    std::uint8_t escape_ = 0;
    std::uint64_t preamble_rows_ = 0;
    std::uint64_t layout_columns_ = 0;
    std::size_t width_ = 0;
    bool width_known_ = false;
    bool header_pending_ = false;
    std::size_t header_rows_left_ = 0; // header rows still to come, their names joined
    std::optional<std::vector<std::string>> header_;
    std::uint64_t header_rows_ = 0;
    std::vector<std::pair<std::string, std::string>> notes_;
    DataCounters counters_;
    std::vector<QuarantinedRow> quarantine_;
    std::vector<RepairedRow> repairs_;
    std::array<std::size_t, kRowActions> recorded_{}; // repairs_ per action
    LineHistogram histogram_;
    std::uint64_t quotes_read_as_text_ = 0;
    std::vector<std::uint64_t> quote_lines_;
    std::unique_ptr<ArrowBatch> current_;
    std::vector<std::shared_ptr<const ArrowBatch>> done_;
    std::vector<std::size_t> column_bytes_; // the last full batch's, to size the next
    std::size_t batch_rows_seen_ = 0;       // ... and its rows
    std::string merged_;                    // scratch for a row wider than the table
};

} // namespace rowmend::native
