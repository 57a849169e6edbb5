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

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "error/io_error.h"

namespace rowmend {

class BufferedWriter {
  public:
    static constexpr std::size_t kCapacity = 8192;

    explicit BufferedWriter(int fd, std::size_t capacity = kCapacity)
        : fd_(fd), capacity_(capacity), buffer_(new char[capacity]) {}
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;
    ~BufferedWriter();

    // Each returns nothing on success, or the error of the failed write.
    std::optional<IoError> write(std::string_view bytes);
    // Writes LF-terminated lines exactly as write() would one by one, but
    // copies every run of lines that fits the free space in one go.
    std::optional<IoError> write_lines(std::string_view lines);
    std::optional<IoError> flush();

  private:
    std::optional<IoError> write_out_buffer();

    int fd_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    std::unique_ptr<char[]> buffer_;
};

} // namespace rowmend
