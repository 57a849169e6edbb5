#include "salvage/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rowmend {

namespace {

// A path is handed to the OS as a C string, so a NUL inside it would
// silently name another file.
bool has_nul(const std::string& path) noexcept {
    return std::memchr(path.data(), '\0', path.size()) != nullptr;
}

Result<FileHandle, IoError> open_path(const std::string& path, int flags, mode_t mode) {
    if (has_nul(path))
        return IoError::fixed(IoFixedMessage::NulInPath);
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0)
            return FileHandle(fd);
        if (errno != EINTR)
            return IoError::from_errno(errno);
    }
}

} // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void FileHandle::close() noexcept {
    if (fd_ >= 0) {
        // Linux releases the descriptor even when close reports EINTR, so it
        // is never retried.
        ::close(fd_);
        fd_ = -1;
    }
}

Result<FileHandle, IoError> open_for_reading(const std::string& path) {
    return open_path(path, O_RDONLY, 0);
}

Result<FileHandle, IoError> create_for_writing(const std::string& path, mode_t mode) {
    return open_path(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

Result<ByteBuffer, IoError> read_to_end(const FileHandle& file) {
    ByteBuffer buffer;
    // Reads straight into a buffer sized by fstat, then probes for the end
    // with a small read so that the buffer never grows past the file's size.
    struct stat info;
    std::size_t expected = 0;
    if (::fstat(file.fd(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        expected = static_cast<std::size_t>(info.st_size);
    }
    for (;;) {
        ssize_t got;
        if (buffer.size() < expected) {
            const std::size_t want = expected - buffer.size();
            got = ::read(file.fd(), buffer.spare(want), want);
            if (got > 0)
                buffer.commit(static_cast<std::size_t>(got));
        } else {
            char probe[16 * 1024];
            got = ::read(file.fd(), probe, sizeof probe);
            if (got > 0) {
                buffer.append(probe, static_cast<std::size_t>(got));
                // Not a regular file, or one that grew: read larger pieces.
                expected =
                    buffer.size() + (buffer.size() < (64U << 20) ? buffer.size() : (64U << 20));
            }
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return IoError::from_errno(errno);
        }
        if (got == 0 && buffer.size() >= expected)
            return buffer;
        if (got == 0)
            expected = buffer.size(); // the file shrank: probe for the end
    }
}

Result<ByteBuffer, IoError> read_whole_file(const std::string& path) {
    auto file = open_for_reading(path);
    if (!file)
        return file.error();
    return read_to_end(file.value());
}

bool write_all(int fd, const char* data, std::size_t size, IoFixedMessage on_zero, IoError& error) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            error = IoError::from_errno(errno);
            return false;
        }
        if (put == 0) {
            error = IoError::fixed(on_zero);
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace rowmend
