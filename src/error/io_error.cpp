#include "error/io_error.h"

#include <cerrno>
#include <cstring>

namespace rowmend {

namespace {

// strerror_r comes in two flavours; overloads pick whichever the C library has.
[[maybe_unused]] const char* pick_strerror(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* pick_strerror(const char* result, const char*) {
    return result;
}

const char* fixed_text(IoFixedMessage message) {
    switch (message) {
    case IoFixedMessage::NulInPath:
        return "file name contained an unexpected NUL byte";
    case IoFixedMessage::WriteZeroBuffered:
        return "failed to write the buffered data";
    case IoFixedMessage::WriteZeroWhole:
        return "failed to write whole buffer";
    }
    return "unknown I/O failure";
}

} // namespace

std::string IoError::text() const {
    if (!is_os_) {
        return fixed_text(message_);
    }
    char buffer[256];
    buffer[0] = '\0';
    const char* description = pick_strerror(strerror_r(code_, buffer, sizeof buffer), buffer);
    std::string out = description != nullptr ? description : "Unknown error";
    out += " (os error ";
    out += std::to_string(code_);
    out += ")";
    return out;
}

IoErrorKind IoError::kind() const noexcept {
    if (!is_os_) {
        return IoErrorKind::Other;
    }
    switch (code_) {
    case ENOENT:
        return IoErrorKind::NotFound;
    case EPERM:
    case EACCES:
        return IoErrorKind::PermissionDenied;
    case ECONNREFUSED:
        return IoErrorKind::ConnectionRefused;
    case ECONNRESET:
        return IoErrorKind::ConnectionReset;
    case ECONNABORTED:
        return IoErrorKind::ConnectionAborted;
    case EPIPE:
        return IoErrorKind::BrokenPipe;
    case EEXIST:
        return IoErrorKind::AlreadyExists;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
        return IoErrorKind::WouldBlock;
    case ENOTDIR:
        return IoErrorKind::NotADirectory;
    case EISDIR:
        return IoErrorKind::IsADirectory;
    case ETIMEDOUT:
        return IoErrorKind::TimedOut;
    case EINTR:
        return IoErrorKind::Interrupted;
    case ENOMEM:
        return IoErrorKind::OutOfMemory;
    default:
        return IoErrorKind::Other;
    }
}

} // namespace rowmend
