#pragma once
// Thin, signal-safe wrappers over POSIX file calls. Every failure comes back
// as an IoError value; interrupted calls are retried.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "error/io_error.h"
#include "error/result.h"
#include "salvage/interrupt.h"

namespace rowmend {

// Owns one file descriptor and closes it when dropped.
class FileHandle {
  public:
    FileHandle() noexcept = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { close(); }

    int fd() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    void close() noexcept;

  private:
    int fd_ = -1;
};

// A path is handed to the OS as a C string, so a NUL inside it would
// silently name another file.
bool path_has_nul(const std::string& path) noexcept;

// True when `path` exists and is the node `node` describes (same device and
// inode, links followed).
bool path_names(const std::string& path, const struct stat& node) noexcept;

// Opens for reading only. A signal during a blocking open (a FIFO without
// a writer) retries it unless `interrupt` says to stop, which fails with
// EINTR.
Result<FileHandle, IoError> open_for_reading(const std::string& path,
                                             Interrupt* interrupt = nullptr);

// Creates for writing, truncating an existing file; `mode` before the umask.
Result<FileHandle, IoError> create_for_writing(const std::string& path, mode_t mode = 0666,
                                               Interrupt* interrupt = nullptr);

// Reads up to `n` bytes; 0 means the end of the file. Interrupted reads are
// retried unless `interrupt` says to stop, which fails with EINTR.
Result<std::size_t, IoError> read_some(int fd, char* data, std::size_t n,
                                       Interrupt* interrupt = nullptr);

// Writes all bytes; a write that the OS accepts with zero bytes fails with
// `on_zero`. Returns true on success, otherwise sets `error`.
bool write_all(int fd, const char* data, std::size_t size, IoFixedMessage on_zero, IoError& error);

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned usable_cpus() noexcept;

} // namespace rowmend
