#pragma once
// The rows a run sets aside as not part of the table, kept whole for a file
// of their own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/io_error.h"
#include "salvage/block_record.h"
#include "salvage/clean_output.h"
#include "salvage/salvage_pass.h"

namespace rowmend {

// Spools the rows set aside as not part of the table, blank ones aside, as
// `line,kind,raw_content` records. Cleaning in place would otherwise drop
// them from the only copy, so every one is kept, not only the first
// max_records: the spool holds 8 MiB and spills the rest to a temporary file.
class SetAsideSpool final : public RowSink {
  public:
    explicit SetAsideSpool(std::string dir) : spool_(std::move(dir)) {}
    bool plain_rows(std::string_view, std::size_t, std::uint64_t) override { return true; }
    bool row(const RowEvent&) override { return true; }
    // The table's rows are nothing to this sink, wherever they are parsed.
    std::unique_ptr<BlockRecord> block_record() override { return std::make_unique<EmptyRecord>(); }
    bool skipped(const SkippedRow& row) override;
    const std::optional<IoError>& error() const noexcept { return error_; }
    // Writes the header and every spooled record to `fd`.
    std::optional<IoError> write(int fd, std::size_t buffer_bytes);

  private:
    static constexpr std::size_t kKeepCapacity = 1U << 20;
    QuarantineSpool spool_;
    std::string text_;
    std::string line_;
    std::optional<IoError> error_;
};

} // namespace rowmend
