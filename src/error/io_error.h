#pragma once
// An I/O failure: either an operating-system error code or one of the few
// failures the I/O layer detects itself, which carry a fixed message.

#include <string>

namespace rowmend {

// The failures the I/O layer reports without an errno.
enum class IoFixedMessage {
    NulInPath,         // a path holding a NUL byte never reaches the OS
    WriteZeroBuffered, // write() accepted 0 bytes while the writer emptied its buffer
    WriteZeroWhole,    // write() accepted 0 bytes of a line written past the buffer
};

// The kind of an I/O failure, from which the streaming reader picks the
// Python exception class.
enum class IoErrorKind {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    TimedOut,
    Interrupted,
    OutOfMemory,
    Other,
};

class IoError {
  public:
    static IoError from_errno(int code) noexcept { return IoError(code, IoFixedMessage{}, true); }
    static IoError fixed(IoFixedMessage message) noexcept { return IoError(0, message, false); }

    bool is_os_error() const noexcept { return is_os_; }
    int os_code() const noexcept { return code_; }

    // "No such file or directory (os error 2)" for an OS error, the fixed
    // message alone otherwise. Never names a path.
    std::string text() const;

    IoErrorKind kind() const noexcept;

  private:
    IoError(int code, IoFixedMessage message, bool is_os) noexcept
        : code_(code), message_(message), is_os_(is_os) {}

    int code_;
    IoFixedMessage message_;
    bool is_os_;
};

} // namespace rowmend
