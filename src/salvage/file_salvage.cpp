#include "salvage/file_salvage.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "salvage/clean_output.h"
#include "salvage/posix_file.h"

namespace rowmend {

namespace {

SalvageError io_failure(const IoError& error) {
    return SalvageError::io(error);
}

// The path with its directory resolved (links followed), for comparing
// paths of files that do not exist yet.
std::string resolved_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char* resolved = ::realpath(dir.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string out = resolved;
    std::free(resolved);
    return out + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

// True when writing the quarantine file would overwrite the clean file: the
// same device and inode when both exist, the same resolved path when neither
// does. A character device (/dev/null as both) loses nothing either way.
bool same_output_file(const std::string& output, const std::string& quarantine) {
    if (path_has_nul(output) || path_has_nul(quarantine))
        return false;
    struct stat a, b;
    const bool a_exists = ::stat(output.c_str(), &a) == 0;
    const bool b_exists = ::stat(quarantine.c_str(), &b) == 0;
    if (a_exists && b_exists)
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino && !S_ISCHR(a.st_mode);
    if (a_exists || b_exists)
        return false;
    return resolved_path(output) == resolved_path(quarantine);
}

// The clean file's destination. Usually the output path itself; when that
// names the input, a regular file, a temporary file in the same directory
// that is renamed over the input once complete.
class CleanFileTarget {
  public:
    CleanFileTarget() = default;
    CleanFileTarget(const CleanFileTarget&) = delete;
    CleanFileTarget& operator=(const CleanFileTarget&) = delete;
    ~CleanFileTarget() { discard(); }

    std::optional<IoError> open(const std::string& output_path, const struct stat& input_info,
                                Interrupt* interrupt) {
        // Only a regular file is replaced: renaming over a device or a FIFO
        // would put a regular file where the node was.
        if (S_ISREG(input_info.st_mode) && path_names(output_path, input_info))
            return open_replacement(output_path, input_info);
        auto created = create_for_writing(output_path, 0666, interrupt);
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
        const std::string dir = final_path_.substr(0, slash + 1);
        std::string name = final_path_.substr(slash + 1);
        // ".NAME.rowmend-XXXXXX" must stay within the filesystem's limit on
        // a name, so a long name is shortened in the temporary one.
        constexpr std::string_view kSuffix = ".rowmend-XXXXXX";
        long name_max = ::pathconf(dir.c_str(), _PC_NAME_MAX);
        if (name_max <= 0)
            name_max = NAME_MAX;
        const std::size_t room = static_cast<std::size_t>(name_max) - 1 - kSuffix.size();
        if (name.size() > room)
            name.resize(room);
        temp_path_ = dir + "." + name + std::string(kSuffix);
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

std::optional<IoError> write_quarantine(const std::string& path, QuarantineSpool& spool,
                                        Interrupt* interrupt) {
    auto created = create_for_writing(path, 0666, interrupt);
    if (!created)
        return created.error();
    return write_quarantine_file(created.value().fd(), spool);
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

} // namespace

std::optional<IoError> pump_file(int fd, SalvagePass& pass, Interrupt* interrupt) {
    for (;;) {
        // Asked once a window, however long the row at hand: a row far
        // longer than the window still answers within a read or two.
        if (interrupt != nullptr && interrupt->requested())
            return IoError::from_errno(EINTR);
        const std::size_t want = pass.next_read_size();
        auto got = read_some(fd, pass.window_space(want), want, interrupt);
        if (!got)
            return got.error();
        if (got.value() == 0)
            break;
        if (!pass.commit(got.value()))
            return std::nullopt;
    }
    pass.finish();
    return std::nullopt;
}

Result<SalvageStats, SalvageError> salvage_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const SalvageOptions& options,
                                                Interrupt* interrupt) {
    auto interrupted_or = [&](const IoError& error) {
        return interrupt != nullptr && error.is_os_error() && error.os_code() == EINTR
                   ? SalvageError::interrupted()
                   : io_failure(error);
    };
    auto input_file = open_for_reading(input_path, interrupt);
    if (!input_file)
        return interrupted_or(input_file.error());
    const int input_fd = input_file.value().fd();
    struct stat input_info;
    if (::fstat(input_fd, &input_info) != 0)
        return io_failure(IoError::from_errno(errno));

    std::optional<QuarantineSpool> spool;
    if (quarantine_path)
        spool.emplace(directory_of(*quarantine_path));
    CleanFileTarget clean;
    CleanOutputFormat format;
    format.quote = options.quote_char;
    CleanFileSink sink(format, spool ? &*spool : nullptr);
    SalvagePass pass(options, sink);

    // A pipe that is also the output would never end while we hold its
    // write end: read it whole before writing, as every caller once did.
    const bool drain_first = (S_ISFIFO(input_info.st_mode) || S_ISSOCK(input_info.st_mode)) &&
                             path_names(output_path, input_info);
    ByteBuffer drained;
    // The first window is read before any output file is opened, so that an
    // unreadable input leaves nothing behind.
    std::size_t first = 0;
    for (bool more = true; more;) {
        const std::size_t want = pass.next_read_size();
        char* into = drain_first ? drained.spare(want) : pass.window_space(want);
        auto got = read_some(input_fd, into, want, interrupt);
        if (!got)
            return interrupted_or(got.error());
        if (drain_first)
            drained.commit(got.value());
        else
            first = got.value();
        more = drain_first && got.value() != 0;
        if (more && interrupt != nullptr && interrupt->requested())
            return SalvageError::interrupted();
    }
    if (quarantine_path && same_output_file(output_path, *quarantine_path))
        return SalvageError::same_output_file();
    if (auto error = clean.open(output_path, input_info, interrupt))
        return interrupted_or(*error);
    sink.attach(clean.fd(), write_mode(clean.fd(), options));

    std::optional<IoError> read_error;
    if (drain_first) {
        pass.run_buffer(std::string_view(drained.data(), drained.size()));
    } else if (first == 0) {
        pass.finish();
    } else if (pass.commit(first)) {
        read_error = pump_file(input_fd, pass, interrupt);
    }
    // A write that failed before the read did would have stopped the run:
    // its error goes first, as it would without write-behind.
    if (read_error)
        sink.drain();
    if (sink.error())
        return io_failure(*sink.error());
    if (read_error)
        return interrupted_or(*read_error);
    input_file.value().close();
    if (auto error = sink.flush())
        return io_failure(*error);

    if (quarantine_path) {
        if (auto error = write_quarantine(*quarantine_path, *spool, interrupt))
            return interrupted_or(*error);
    }
    // An in-place run replaces the input only once the quarantine file holds
    // the rows left out of the clean file: a failure before that must leave
    // the input as it was, or those rows would be in no file at all.
    if (auto error = clean.commit())
        return io_failure(*error);
    return pass.counters();
}

} // namespace rowmend
