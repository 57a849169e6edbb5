#include "salvage/buffered_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "salvage/posix_file.h"

namespace rowmend {

BufferedWriter::~BufferedWriter() {
    if (used_ > 0)
        (void)write_out_buffer();
}

std::optional<IoError> BufferedWriter::write(std::string_view bytes) {
    const std::size_t spare = capacity_ - used_;
    if (bytes.size() < spare) {
        std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return std::nullopt;
    }
    if (bytes.size() > spare) {
        if (auto error = write_out_buffer())
            return error;
    }
    if (bytes.size() >= capacity_) {
        IoError error = IoError::from_errno(0);
        if (!write_all(fd_, bytes.data(), bytes.size(), IoFixedMessage::WriteZeroWhole, error)) {
            return error;
        }
        return std::nullopt;
    }
    std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return std::nullopt;
}

std::optional<IoError> BufferedWriter::write_lines(std::string_view lines) {
    while (!lines.empty()) {
        // Whole lines that together stay below the free space would each be
        // copied by write(), so copy them at once.
        const std::size_t spare = capacity_ - used_;
        const std::size_t below_spare = spare == 0 ? 0 : spare - 1;
        const std::size_t window = lines.size() < below_spare ? lines.size() : below_spare;
        const void* last_lf = window == 0 ? nullptr : ::memrchr(lines.data(), '\n', window);
        if (last_lf != nullptr) {
            const std::size_t take =
                static_cast<std::size_t>(static_cast<const char*>(last_lf) - lines.data()) + 1;
            std::memcpy(buffer_.get() + used_, lines.data(), take);
            used_ += take;
            lines.remove_prefix(take);
            continue;
        }
        // The next line does not fit: write() applies the write-out rules.
        const void* lf = std::memchr(lines.data(), '\n', lines.size());
        const std::size_t line =
            lf == nullptr
                ? lines.size()
                : static_cast<std::size_t>(static_cast<const char*>(lf) - lines.data()) + 1;
        if (auto error = write(lines.substr(0, line)))
            return error;
        lines.remove_prefix(line);
    }
    return std::nullopt;
}

std::optional<IoError> BufferedWriter::flush() {
    return write_out_buffer();
}

std::optional<IoError> BufferedWriter::write_out_buffer() {
    std::size_t written = 0;
    std::optional<IoError> failure;
    while (written < used_) {
        const ssize_t put = ::write(fd_, buffer_.get() + written, used_ - written);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            failure = IoError::from_errno(errno);
            break;
        }
        if (put == 0) {
            failure = IoError::fixed(IoFixedMessage::WriteZeroBuffered);
            break;
        }
        written += static_cast<std::size_t>(put);
    }
    // Keep only what was not written, so a retry never duplicates bytes.
    if (written > 0) {
        std::memmove(buffer_.get(), buffer_.get() + written, used_ - written);
        used_ -= written;
    }
    return failure;
}

} // namespace rowmend
