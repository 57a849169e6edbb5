#include "salvage/clean_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "parser/utf8.h"

namespace rowmend {

std::optional<IoError> QuarantineSpool::add(std::string_view line) {
    const std::uint64_t size = line.size();
    buffer_.append(reinterpret_cast<const char*>(&size), sizeof size);
    buffer_.append(line);
    if (buffer_.size() >= kMemoryLimit)
        return spill();
    return std::nullopt;
}

std::optional<IoError> QuarantineSpool::replay(BufferedWriter& writer) {
    if (file_.is_open()) {
        if (auto error = spill())
            return error;
        if (::lseek(file_.fd(), 0, SEEK_SET) < 0)
            return IoError::from_errno(errno);
        std::string chunk;
        std::size_t at = 0;
        for (;;) {
            // Keep whole records at the front of `chunk`, reading more as needed.
            std::uint64_t size = 0;
            if (chunk.size() - at >= sizeof size)
                std::memcpy(&size, chunk.data() + at, sizeof size);
            const bool whole =
                chunk.size() - at >= sizeof size && chunk.size() - at - sizeof size >= size;
            if (whole) {
                if (auto error =
                        writer.write(std::string_view(chunk).substr(at + sizeof size, size)))
                    return error;
                at += sizeof size + size;
                continue;
            }
            chunk.erase(0, at);
            at = 0;
            const std::size_t want = std::max<std::size_t>(1U << 20, size + sizeof size);
            const std::size_t old = chunk.size();
            chunk.resize(old + want);
            auto got = read_some(file_.fd(), chunk.data() + old, want);
            if (!got)
                return got.error();
            chunk.resize(old + got.value());
            if (got.value() == 0)
                return std::nullopt;
        }
    }
    for (std::size_t at = 0; at < buffer_.size();) {
        std::uint64_t size;
        std::memcpy(&size, buffer_.data() + at, sizeof size);
        if (auto error = writer.write(std::string_view(buffer_).substr(at + sizeof size, size)))
            return error;
        at += sizeof size + size;
    }
    return std::nullopt;
}

std::optional<IoError> QuarantineSpool::spill() {
    if (!file_.is_open()) {
        int fd = ::open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            const char* tmp = std::getenv("TMPDIR");
            fd = ::open(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp",
                        O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        }
        if (fd < 0)
            return IoError::from_errno(errno);
        file_ = FileHandle(fd);
    }
    IoError error = IoError::from_errno(0);
    if (!write_all(file_.fd(), buffer_.data(), buffer_.size(), IoFixedMessage::WriteZeroWhole,
                   error))
        return error;
    buffer_.clear();
    return std::nullopt;
}

bool CleanFileSink::begin(const SalvageCounters& layout) {
    const std::uint8_t out = options_.delimiter.value_or(layout.detected_delimiter);
    format_.emplace(out, options_.quote);
    input_delimiter_ = ByteText(layout.detected_delimiter);
    columns_ = layout.inferred_columns;
    // A plain row holds no quote byte and no CR; written with another
    // delimiter it stays the same bytes only if that delimiter is the same.
    copy_plain_rows_ = out == layout.detected_delimiter;
    return true;
}

bool CleanFileSink::write_formatted(std::string_view lines) {
    RowStore row;
    while (!lines.empty()) {
        const std::size_t lf = lines.find('\n');
        row.clear();
        row.append_split_row(lines.substr(0, lf), static_cast<char>(input_delimiter_.view()[0]));
        line_.clear();
        format_->append_line(line_, row.last_row(), starts_file_);
        starts_file_ = false;
        if (!write(line_))
            return false;
        lines.remove_prefix(lf + 1);
    }
    return true;
}

bool CleanFileSink::plain_rows(std::string_view lines, std::size_t, std::uint64_t) {
    if (!writer_)
        return true;
    if (!copy_plain_rows_)
        return write_formatted(lines);
    if (starts_file_) {
        // The clean file must not begin with the bytes of a byte-order mark
        // (readers would drop them), so a first line that does goes through
        // the formatter, which quotes that field.
        if (lines.starts_with("\xEF\xBB\xBF")) {
            const std::size_t lf = lines.find('\n');
            if (!write_formatted(lines.substr(0, lf + 1)))
                return false;
            lines.remove_prefix(lf + 1);
        }
        starts_file_ = false;
    }
    return keep(writer_->write_lines(lines));
}

bool CleanFileSink::row(const RowEvent& event) {
    // A row that is its own written form goes out as its input bytes, in
    // the one write its formatted line would have taken, unless it would
    // begin the file with a byte-order mark's bytes.
    if (event.verbatim && copy_plain_rows_ && is_retained(event.fate) &&
        !(starts_file_ && event.text.starts_with("\xEF\xBB\xBF"))) {
        if (!writer_)
            return true;
        starts_file_ = false;
        return keep(writer_->write(std::string_view(event.text.data(), event.text.size() + 1)));
    }
    line_.clear();
    // A huge row is formatted into room reserved at once: growing the line by
    // doubling would touch twice its size while copying. Pages reserved but
    // never written cost no memory.
    const std::size_t bytes = std::max(event.fields.bytes().size(), event.text.size());
    if (bytes > kLargeRow)
        line_.reserve(2 * bytes + 3 * event.fields.size() + 64);
    if (is_retained(event.fate)) {
        if (!writer_)
            return true;
        format_->append_line(line_, event.fields, starts_file_);
        starts_file_ = false;
        return write(line_);
    }
    return quarantine(event);
}

bool CleanFileSink::quarantine(const RowEvent& event) {
    if (spool_ == nullptr)
        return true;
    line_.clear();
    // The backend's file keeps its own words; the package's names the fields found.
    const bool joined = options_.quarantine_text == QuarantineText::JoinedFields;
    const std::string reason = joined
                                   ? quarantine_reason(event.fate, columns_)
                                   : field_count_reason(event.fate, columns_, event.fields.size());
    if (joined) {
        append_quarantine_line(line_, event.line, reason, event.fields, input_delimiter_.view());
    } else {
        std::string text;
        utf8::append_lossy(text, event.text);
        append_quarantine_text_line(line_, event.line, reason, text);
    }
    const bool ok = keep(spool_->add(line_));
    trim_line();
    return ok;
}

// A block's clean file writes, formatted on the worker as row() would, each
// kept with its size so that the writer gets the very same calls; and its
// quarantined rows, formatted once their lines are known.
class CleanFileSink::Record final : public BlockRecord {
  public:
    explicit Record(const CleanFileSink& sink)
        : format_(*sink.format_), delimiter_(static_cast<char>(sink.input_delimiter_.view()[0])),
          copy_plain_rows_(sink.copy_plain_rows_), writes_(sink.writer_.has_value()),
          spools_(sink.spool_ != nullptr) {}

    enum class Kind : std::uint8_t { Lines, Write, Quarantine };
    struct Piece {
        std::size_t size; // bytes in out_, or the quarantined row's event
        Kind kind;
    };

    void clear() noexcept override {
        out_.clear();
        pieces_.clear();
        quarantined_.clear();
    }
    void plain_rows(std::string_view lines, std::size_t, std::uint64_t) override {
        if (!writes_)
            return;
        if (copy_plain_rows_) {
            out_.append(lines);
            pieces_.push_back({lines.size(), Kind::Lines});
            return;
        }
        while (!lines.empty()) {
            const std::size_t lf = lines.find('\n');
            row_.clear();
            row_.append_split_row(lines.substr(0, lf), delimiter_);
            add_line(row_.last_row());
            lines.remove_prefix(lf + 1);
        }
    }
    void row(const RowEvent& event) override {
        if (!is_retained(event.fate)) {
            if (spools_) {
                quarantined_.row(event);
                pieces_.push_back({quarantined_.size() - 1, Kind::Quarantine});
            }
            return;
        }
        if (!writes_)
            return;
        if (event.verbatim && copy_plain_rows_) {
            out_.append(event.text.data(), event.text.size() + 1);
            pieces_.push_back({event.text.size() + 1, Kind::Write});
            return;
        }
        add_line(event.fields);
    }

    // Whether the first clean line begins with a byte-order mark's bytes,
    // which the first line of the file may not (the sink formats it itself).
    bool starts_with_bom() const noexcept {
        // Quarantined rows add nothing to out_: the first line is at its start.
        for (const Piece& piece : pieces_) {
            if (piece.kind != Kind::Quarantine)
                return std::string_view(out_).substr(0, piece.size).starts_with("\xEF\xBB\xBF");
        }
        return false;
    }

    std::string out_;
    std::vector<Piece> pieces_;
    RowEventRecord quarantined_;

  private:
    void add_line(const RowView& fields) {
        const std::size_t before = out_.size();
        format_.append_line(out_, fields, false);
        pieces_.push_back({out_.size() - before, Kind::Write});
    }

    CleanCsvFormat format_;
    char delimiter_;
    bool copy_plain_rows_;
    bool writes_;
    bool spools_;
    RowStore row_;
};

std::unique_ptr<BlockRecord> CleanFileSink::block_record() {
    return std::make_unique<Record>(*this);
}

bool CleanFileSink::accepts(const BlockRecord& record) const {
    return !(starts_file_ && static_cast<const Record&>(record).starts_with_bom());
}

bool CleanFileSink::take_block(const BlockRecord& block, std::uint64_t line_shift) {
    const Record& record = static_cast<const Record&>(block);
    const std::string_view out = record.out_;
    std::size_t at = 0;
    for (const Record::Piece& piece : record.pieces_) {
        if (piece.kind == Record::Kind::Quarantine) {
            if (!quarantine(record.quarantined_.event(piece.size, line_shift)))
                return false;
            continue;
        }
        const std::string_view bytes = out.substr(at, piece.size);
        at += piece.size;
        starts_file_ = false;
        if (!keep(piece.kind == Record::Kind::Lines ? writer_->write_lines(bytes)
                                                    : writer_->write(bytes)))
            return false;
    }
    return true;
}

bool CleanFileSink::write(std::string_view bytes) {
    const bool ok = keep(writer_->write(bytes));
    trim_line();
    return ok;
}

void CleanFileSink::trim_line() noexcept {
    if (line_.capacity() > 16 * kLargeRow)
        std::string().swap(line_);
}

bool CleanFileSink::keep(std::optional<IoError> error) {
    if (!error)
        return true;
    error_ = error;
    return false;
}

WriteMode write_mode(int fd, const SalvageOptions& options) {
    const unsigned threads = options.threads != 0 ? options.threads : usable_cpus();
    struct stat info;
    if (threads < 2 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return WriteMode::Inline;
    return WriteMode::Behind;
}

std::optional<IoError> write_quarantine_file(int fd, QuarantineSpool& spool,
                                             std::size_t buffer_bytes) {
    BufferedWriter writer(fd, buffer_bytes);
    if (auto error = writer.write(kQuarantineHeader))
        return error;
    if (auto error = spool.replay(writer))
        return error;
    return writer.flush();
}

} // namespace rowmend
