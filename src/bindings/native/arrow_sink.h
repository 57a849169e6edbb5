#pragma once
// ArrowBatchSink: the table's data rows, as a report sink hands them on,
// collected into Arrow batches of at most a fixed number of rows and, but
// for their last row, bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/native/arrow_batch.h"
#include "salvage/report_sink.h"

namespace rowmend::native {

struct ArrowBatchOptions {
    std::size_t batch_rows = 65536; // at least 1
    // A batch also ends at the row that takes its field bytes to this many:
    // a batch of very wide or very long rows stays a bounded piece of memory,
    // and a column's data stays within what 32-bit offsets address unless a
    // single value outgrows them.
    std::size_t batch_bytes = std::size_t{64} << 20;
    bool line_numbers = false;
};

class ArrowBatchSink final : public TableSink {
  public:
    explicit ArrowBatchSink(const ArrowBatchOptions& options) : options_(options) {}

    void plain_rows(std::string_view lines, std::uint64_t first_line,
                    const TableShape& shape) override;
    void row(const RowView& fields, std::uint64_t line, const TableShape& shape) override;

    // Completes the batch in progress, if it holds any row.
    void finish();
    // The completed batches, oldest first; the sink keeps none of them.
    std::vector<std::shared_ptr<const ArrowBatch>> take_batches();
    std::size_t ready() const noexcept { return done_.size(); }

  private:
    ArrowBatch& batch(std::size_t width);
    void append_line(const char* begin, const char* end, const TableShape& shape);
    void append_fields(const RowView& fields, const TableShape& shape);
    void end_row(std::uint64_t line);

    ArrowBatchOptions options_;
    std::unique_ptr<ArrowBatch> current_;
    std::vector<std::shared_ptr<const ArrowBatch>> done_;
    std::vector<std::size_t> column_bytes_; // the last full batch's, to size the next
    std::size_t batch_rows_seen_ = 0;       // ... and its rows
    std::string merged_;                    // scratch for a row wider than the table
};

} // namespace rowmend::native
