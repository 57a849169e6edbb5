#include "salvage/file_salvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "salvage/buffered_writer.h"
#include "salvage/byte_text.h"
#include "salvage/csv_output.h"
#include "salvage/posix_file.h"

namespace rowmend {

namespace {

SalvageError io_failure(const IoError& error) {
    return SalvageError::io(error);
}

// The clean file's destination. Usually the output path itself; when that
// names the input file, a temporary file in the same directory that is
// renamed over the input once complete.
class CleanFileTarget {
  public:
    CleanFileTarget() = default;
    CleanFileTarget(const CleanFileTarget&) = delete;
    CleanFileTarget& operator=(const CleanFileTarget&) = delete;
    ~CleanFileTarget() { discard(); }

    std::optional<IoError> open(const std::string& output_path, const struct stat& input_info) {
        struct stat output_info;
        if (std::memchr(output_path.data(), '\0', output_path.size()) == nullptr &&
            ::stat(output_path.c_str(), &output_info) == 0 &&
            output_info.st_dev == input_info.st_dev && output_info.st_ino == input_info.st_ino) {
            return open_replacement(output_path, input_info);
        }
        auto created = create_for_writing(output_path);
        if (!created)
            return created.error();
        file_ = std::move(created.value());
        return std::nullopt;
    }

    int fd() const noexcept { return file_.fd(); }

    // Puts a replacement in place; a no-op for a file written in place.
    std::optional<IoError> commit() {
        if (temp_path_.empty())
            return std::nullopt;
        // The replacement must be on disk before it takes the input's place.
        if (::fsync(file_.fd()) != 0)
            return IoError::from_errno(errno);
        if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0)
            return IoError::from_errno(errno);
        temp_path_.clear();
        return std::nullopt;
    }

    void close() noexcept { file_.close(); }

  private:
    std::optional<IoError> open_replacement(const std::string& output_path,
                                            const struct stat& input_info) {
        // Resolve links first so that a symbolic link stays a link to the
        // rewritten file, and the temporary file lands on the same filesystem.
        char* resolved = ::realpath(output_path.c_str(), nullptr);
        if (resolved == nullptr)
            return IoError::from_errno(errno);
        final_path_ = resolved;
        std::free(resolved);
        const std::size_t slash = final_path_.rfind('/');
        temp_path_ = final_path_.substr(0, slash + 1) + "." + final_path_.substr(slash + 1) +
                     ".rowmend-XXXXXX";
        int fd;
        do {
            fd = ::mkostemp(temp_path_.data(), O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            const int code = errno;
            temp_path_.clear();
            return IoError::from_errno(code);
        }
        file_ = FileHandle(fd);
        // Keep the input's owner and group as far as the process may set
        // them (only a privileged one may give a file away); a refusal leaves
        // the caller's ownership and is no reason to fail the run. Ownership
        // goes first because changing it clears set-ID bits that fchmod
        // then restores.
        if (::fchown(fd, input_info.st_uid, input_info.st_gid) != 0) {
            (void)::fchown(fd, static_cast<uid_t>(-1), input_info.st_gid);
        }
        if (::fchmod(fd, input_info.st_mode & 07777) != 0)
            return IoError::from_errno(errno);
        return std::nullopt;
    }

    void discard() noexcept {
        file_.close();
        if (!temp_path_.empty())
            ::unlink(temp_path_.c_str());
    }

    FileHandle file_;
    std::string temp_path_;  // set while a replacement is being written
    std::string final_path_; // what the replacement will be renamed to
};

std::optional<IoError> write_clean_rows(SalvagePass& pass, int fd, std::uint8_t quote,
                                        QuarantineList& quarantine) {
    BufferedWriter writer(fd);
    const CleanCsvFormat format(pass.counters().detected_delimiter, quote);
    RowStore row; // holds one row at a time
    std::string line;
    RowFate fate;
    std::size_t line_number;
    bool starts_file = true; // nothing written yet
    for (;;) {
        // Most rows of most files need no repair and stand in the input
        // exactly as they are written out: copy those runs as they are. The
        // file's first line goes through the formatter, which keeps it from
        // starting with the bytes of a byte-order mark.
        if (!starts_file) {
            if (auto error = writer.write_lines(pass.take_plain_rows()))
                return error;
        }
        const bool got = starts_file ? pass.next(row, fate, line_number)
                                     : pass.next_parsed(row, fate, line_number);
        if (!got)
            break;
        if (is_retained(fate)) {
            line.clear();
            format.append_line(line, row.last_row(), starts_file);
            starts_file = false;
            if (auto error = writer.write(line))
                return error;
            row.clear();
        } else {
            quarantine.take_last_row_of(row, fate, line_number);
        }
    }
    return writer.flush();
}

std::optional<IoError> write_quarantine(const std::string& path, const QuarantineList& quarantine,
                                        std::uint8_t delimiter) {
    auto created = create_for_writing(path);
    if (!created)
        return created.error();
    BufferedWriter writer(created.value().fd());
    if (auto error = writer.write(kQuarantineHeader))
        return error;
    const ByteText delimiter_text(delimiter);
    std::string line;
    for (std::size_t i = 0; i < quarantine.size(); ++i) {
        line.clear();
        append_quarantine_line(line, quarantine.line(i), quarantine.reason(i), quarantine.fields(i),
                               delimiter_text);
        if (auto error = writer.write(line))
            return error;
    }
    return writer.flush();
}

} // namespace

Result<SalvageStats, SalvageError> salvage_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const SalvageOptions& options) {
    auto input_file = open_for_reading(input_path);
    if (!input_file)
        return io_failure(input_file.error());
    auto input = read_to_end(input_file.value());
    if (!input)
        return io_failure(input.error());
    struct stat input_info;
    if (::fstat(input_file.value().fd(), &input_info) != 0)
        return io_failure(IoError::from_errno(errno));
    input_file.value().close();

    const std::string_view bytes(input.value().data(), input.value().size());
    // The pass settles the layout now; rows are then parsed as they are
    // written, so the clean file never waits for the whole outcome in memory.
    SalvagePass pass(bytes, options);
    QuarantineList quarantine;
    quarantine.set_columns(pass.counters().inferred_columns);

    CleanFileTarget clean;
    if (auto error = clean.open(output_path, input_info))
        return io_failure(*error);
    if (auto error = write_clean_rows(pass, clean.fd(), options.quote_char, quarantine)) {
        return io_failure(*error);
    }
    input.value().release();

    if (quarantine_path) {
        if (auto error = write_quarantine(*quarantine_path, quarantine,
                                          pass.counters().detected_delimiter)) {
            return io_failure(*error);
        }
    }
    // An in-place run replaces the input only once the quarantine file holds
    // the rows left out of the clean file: a failure before that must leave
    // the input as it was, or those rows would be in no file at all.
    if (auto error = clean.commit())
        return io_failure(*error);
    return pass.counters();
}

} // namespace rowmend
