#pragma once
// A buffered writer over a file descriptor it does not own; 8192 bytes
// unless asked for another capacity.
//
// A line is copied into the buffer when it fits in the free space. Otherwise
// the buffer is written out first; then a line shorter than the buffer is
// copied into it and a line as long as the buffer or longer is written
// directly.
// Dropping the writer makes one best-effort attempt to write out what is
// still buffered, ignoring any error: on failure paths this leaves as much
// of the file on disk as the OS will take.
//
// Write-behind: with WriteMode::Behind the write calls run on a thread of
// the writer's own, so that formatting the next rows and copying bytes into
// the file overlap. The file receives the same write calls, of the same
// sizes, in the same order, as it would inline; only their time differs. A
// failure comes back from a later call (or from drain() or flush()), and
// from then on the writer is inline again, holding the unwritten rest of
// the failed write-out as its buffer. Whatever the caller wrote after that
// write-out is dropped: callers stop at the first error anyway.

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "error/io_error.h"

namespace rowmend {

enum class WriteMode : std::uint8_t {
    Inline, // write calls on the caller's thread
    Behind, // write calls on the writer's thread
};

class WriteBehind;

class BufferedWriter {
  public:
    static constexpr std::size_t kCapacity = 8192;

    // Behind falls back to Inline when no thread can be started.
    explicit BufferedWriter(int fd, std::size_t capacity = kCapacity,
                            WriteMode mode = WriteMode::Inline);
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;
    ~BufferedWriter();

    // Each returns nothing on success, or the error of the failed write.
    std::optional<IoError> write(std::string_view bytes);
    // Writes LF-terminated lines exactly as write() would one by one, but
    // copies every run of lines that fits the free space in one go.
    std::optional<IoError> write_lines(std::string_view lines);
    std::optional<IoError> flush();
    // Waits until every write-out so far has reached the file, without
    // writing out the buffer; the error of the first that failed. Inline
    // writers have nothing to wait for.
    std::optional<IoError> drain();

    WriteMode mode() const noexcept { return behind_ ? WriteMode::Behind : WriteMode::Inline; }

  private:
    std::optional<IoError> write_out_buffer();
    std::optional<IoError> write_directly(std::string_view bytes);
    std::optional<IoError> back_inline();

    int fd_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    std::unique_ptr<char[]> own_; // the inline buffer
    char* buffer_;                // own_, or room in the write-behind's block
    std::unique_ptr<WriteBehind> behind_;
};

} // namespace rowmend
