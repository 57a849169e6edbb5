#include "salvage/posix_file.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace rowmend {

namespace {

bool stop_on_signal(Interrupt* interrupt) {
    return interrupt != nullptr && interrupt->requested();
}

Result<FileHandle, IoError> open_path(const std::string& path, int flags, mode_t mode,
                                      Interrupt* interrupt) {
    if (path_has_nul(path))
        return IoError::fixed(IoFixedMessage::NulInPath);
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0)
            return FileHandle(fd);
        if (errno != EINTR || stop_on_signal(interrupt))
            return IoError::from_errno(errno);
    }
}

} // namespace

bool path_has_nul(const std::string& path) noexcept {
    return path.find('\0') != std::string::npos;
}

bool path_names(const std::string& path, const struct stat& node) noexcept {
    struct stat info;
    return !path_has_nul(path) && ::stat(path.c_str(), &info) == 0 && info.st_dev == node.st_dev &&
           info.st_ino == node.st_ino;
}

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

Result<FileHandle, IoError> open_for_reading(const std::string& path, Interrupt* interrupt) {
    return open_path(path, O_RDONLY, 0, interrupt);
}

Result<FileHandle, IoError> create_for_writing(const std::string& path, mode_t mode,
                                               Interrupt* interrupt) {
    return open_path(path, O_WRONLY | O_CREAT | O_TRUNC, mode, interrupt);
}

Result<std::size_t, IoError> read_some(int fd, char* data, std::size_t n, Interrupt* interrupt) {
    for (;;) {
        const ssize_t got = ::read(fd, data, n);
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (errno != EINTR || stop_on_signal(interrupt))
            return IoError::from_errno(errno);
    }
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

unsigned usable_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    const int count = CPU_COUNT(&set);
    return count > 0 ? static_cast<unsigned>(count) : 1;
}

} // namespace rowmend
