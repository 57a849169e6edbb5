#pragma once
// The clean file and the quarantine file as a pass writes them: a sink that
// writes retained rows as they come and spools quarantined ones until the
// clean file is complete.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/io_error.h"
#include "salvage/block_record.h"
#include "salvage/buffered_writer.h"
#include "salvage/byte_text.h"
#include "salvage/csv_output.h"
#include "salvage/posix_file.h"
#include "salvage/salvage_pass.h"

namespace rowmend {

// Quarantine lines, formatted as they will be written, wait here until the
// clean file is complete: in memory up to a limit, then in an unlinked
// temporary file (in `dir`, else in $TMPDIR or /tmp). Each line is kept with
// its length, so that it is written out line by line as if it had just been
// formatted.
class QuarantineSpool {
  public:
    static constexpr std::size_t kMemoryLimit = 8U << 20;

    explicit QuarantineSpool(std::string dir) : dir_(std::move(dir)) {}

    std::optional<IoError> add(std::string_view line);
    // Hands every line to `writer`, in order.
    std::optional<IoError> replay(BufferedWriter& writer);

  private:
    std::optional<IoError> spill();

    std::string dir_;
    std::string buffer_;
    FileHandle file_;
};

// What a quarantine record's raw_content holds.
enum class QuarantineText : std::uint8_t {
    JoinedFields, // the parsed fields joined by the delimiter
    InputText,    // the row's own input bytes, as UTF-8
};

struct CleanOutputFormat {
    std::uint8_t quote = '"';
    std::optional<std::uint8_t> delimiter; // absent: the input's delimiter
    QuarantineText quarantine_text = QuarantineText::JoinedFields;
    // The writers' buffer. Files whose write-out points are part of their
    // contract keep the standard 8192 bytes; others write fewer, larger pieces.
    std::size_t buffer_bytes = BufferedWriter::kCapacity;
};

// Writes retained rows to the clean file as they come and spools the
// quarantined ones (when given a spool). The first failed write stops the
// pass and is kept in error().
class CleanFileSink final : public RowSink {
  public:
    CleanFileSink(const CleanOutputFormat& format, QuarantineSpool* spool)
        : options_(format), spool_(spool) {}

    // The clean file may open after the pass has started reading, but before
    // any row comes. A sink never attached only spools quarantined rows.
    void attach(int fd, WriteMode mode = WriteMode::Inline) {
        writer_.emplace(fd, options_.buffer_bytes, mode);
    }

    bool begin(const SalvageCounters& layout) override;
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) override;
    bool row(const RowEvent& event) override;

    // A block's clean lines are formatted on the worker; its quarantined rows
    // wait there for their true line numbers.
    std::unique_ptr<BlockRecord> block_record() override;
    bool accepts(const BlockRecord& record) const override;
    bool take_block(const BlockRecord& record, std::uint64_t line_shift) override;

    std::optional<IoError> flush() { return writer_ ? writer_->flush() : std::nullopt; }
    // Waits for the writes so far (see BufferedWriter::drain); the first
    // error, kept in error() as well.
    std::optional<IoError> drain() {
        if (writer_ && !error_)
            keep(writer_->drain());
        return error_;
    }
    const std::optional<IoError>& error() const noexcept { return error_; }

  private:
    static constexpr std::size_t kLargeRow = 1U << 20;

    class Record;
    bool write_formatted(std::string_view lines);
    bool quarantine(const RowEvent& event);
    bool write(std::string_view bytes);
    bool keep(std::optional<IoError> error);
    void trim_line() noexcept;

    CleanOutputFormat options_;
    QuarantineSpool* spool_;
    std::optional<BufferedWriter> writer_;
    std::optional<CleanCsvFormat> format_;
    ByteText input_delimiter_{','};
    std::uint64_t columns_ = 0;
    bool copy_plain_rows_ = true; // plain rows are written as they stand
    std::string line_;
    bool starts_file_ = true; // nothing written yet
    std::optional<IoError> error_;
};

// How a clean file on `fd` is written: behind, on a thread of its own, only
// into a regular file, where the writes are the slow part (page-cache
// copies), and only when the options leave a thread to spare.
WriteMode write_mode(int fd, const SalvageOptions& options);

// Writes the quarantine header and every spooled line to `fd`.
std::optional<IoError> write_quarantine_file(int fd, QuarantineSpool& spool,
                                             std::size_t buffer_bytes = BufferedWriter::kCapacity);

} // namespace rowmend
