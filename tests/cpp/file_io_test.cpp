// The I/O layer: error texts and kinds, the POSIX file helpers and the
// 8192-byte buffered writer.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "error/io_error.h"
#include "error/salvage_error.h"
#include "salvage/buffered_writer.h"
#include "salvage/posix_file.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

using namespace std::string_literals;

TEST(IoError, TextIsTheCLibraryDescriptionAndTheCode) {
    const std::vector<std::pair<int, std::string>> table = {
        {ENOENT, "No such file or directory (os error 2)"},
        {EISDIR, "Is a directory (os error 21)"},
        {EACCES, "Permission denied (os error 13)"},
        {ENOSPC, "No space left on device (os error 28)"},
        {ENOTDIR, "Not a directory (os error 20)"},
        {EPIPE, "Broken pipe (os error 32)"},
        {9999, "Unknown error 9999 (os error 9999)"},
    };
    for (const auto& [code, text] : table) {
        const IoError error = IoError::from_errno(code);
        EXPECT_TRUE(error.is_os_error());
        EXPECT_EQ(error.os_code(), code);
        EXPECT_EQ(error.text(), text);
        EXPECT_EQ(SalvageError::io(error).text(), text);
    }
}

TEST(IoError, FixedMessagesStandAlone) {
    const std::vector<std::pair<IoFixedMessage, std::string>> table = {
        {IoFixedMessage::NulInPath, "file name contained an unexpected NUL byte"},
        {IoFixedMessage::WriteZeroBuffered, "failed to write the buffered data"},
        {IoFixedMessage::WriteZeroWhole, "failed to write whole buffer"},
    };
    for (const auto& [message, text] : table) {
        const IoError error = IoError::fixed(message);
        EXPECT_FALSE(error.is_os_error());
        EXPECT_EQ(error.text(), text);
        EXPECT_EQ(error.kind(), IoErrorKind::Other);
        const SalvageError salvage = SalvageError::io(error);
        EXPECT_TRUE(salvage.is_io());
        EXPECT_EQ(salvage.io_error().text(), text);
        EXPECT_EQ(salvage.text(), text);
    }
}

TEST(IoError, KindFollowsTheErrorCode) {
    const std::vector<std::pair<int, IoErrorKind>> table = {
        {ENOENT, IoErrorKind::NotFound},
        {EPERM, IoErrorKind::PermissionDenied},
        {EACCES, IoErrorKind::PermissionDenied},
        {ECONNREFUSED, IoErrorKind::ConnectionRefused},
        {ECONNRESET, IoErrorKind::ConnectionReset},
        {ECONNABORTED, IoErrorKind::ConnectionAborted},
        {EPIPE, IoErrorKind::BrokenPipe},
        {EEXIST, IoErrorKind::AlreadyExists},
        {EAGAIN, IoErrorKind::WouldBlock},
        {EWOULDBLOCK, IoErrorKind::WouldBlock},
        {ENOTDIR, IoErrorKind::NotADirectory},
        {EISDIR, IoErrorKind::IsADirectory},
        {ETIMEDOUT, IoErrorKind::TimedOut},
        {EINTR, IoErrorKind::Interrupted},
        {ENOMEM, IoErrorKind::OutOfMemory},
        {ENOSPC, IoErrorKind::Other},
        {EIO, IoErrorKind::Other},
        {0, IoErrorKind::Other},
    };
    for (const auto& [code, kind] : table) {
        EXPECT_EQ(static_cast<int>(IoError::from_errno(code).kind()), static_cast<int>(kind))
            << "errno " << code;
    }
}

TEST(PosixFile, OpenAndCreateFailures) {
    TempDir dir;
    write_file(dir.file("plain"), "x");
    struct Case {
        const char* name;
        std::string path;
        bool create;
        std::string text;
        IoErrorKind kind;
    };
    const std::vector<Case> table = {
        {"missing file", dir.file("missing"), false, "No such file or directory (os error 2)",
         IoErrorKind::NotFound},
        {"missing directory", dir.file("missing/out"), true,
         "No such file or directory (os error 2)", IoErrorKind::NotFound},
        {"directory as output", dir.path(), true, "Is a directory (os error 21)",
         IoErrorKind::IsADirectory},
        {"file as a directory", dir.file("plain/x"), false, "Not a directory (os error 20)",
         IoErrorKind::NotADirectory},
        {"NUL in the path", dir.file("pla\0in"s), false,
         "file name contained an unexpected NUL byte", IoErrorKind::Other},
        {"NUL in the output path", dir.file("out\0"s), true,
         "file name contained an unexpected NUL byte", IoErrorKind::Other},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        auto result = c.create ? create_for_writing(c.path) : open_for_reading(c.path);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().text(), c.text);
        EXPECT_EQ(static_cast<int>(result.error().kind()), static_cast<int>(c.kind));
    }
    // The NUL cases must not have touched the name before the NUL.
    EXPECT_FALSE(path_exists(dir.file("out")));

    // A directory opens for reading; reading it fails.
    auto directory = open_for_reading(dir.path());
    ASSERT_TRUE(directory);
    char byte;
    auto read = read_some(directory.value().fd(), &byte, 1);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().text(), "Is a directory (os error 21)");
}

TEST(PosixFile, CreateTruncatesAndHonoursTheUmask) {
    TempDir dir;
    const std::string path = dir.file("out");
    write_file(path, "previous content");
    const mode_t old_mask = ::umask(027);
    auto created = create_for_writing(path);
    auto fresh = create_for_writing(dir.file("fresh"));
    auto custom = create_for_writing(dir.file("custom"), 0600);
    ::umask(old_mask);
    ASSERT_TRUE(created && fresh && custom);
    EXPECT_EQ(file_size(created.value().fd()), 0u);
    struct stat info;
    ASSERT_EQ(::stat(dir.file("fresh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    ASSERT_EQ(::stat(dir.file("custom").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Descriptors are not inherited by child processes.
    EXPECT_NE(::fcntl(created.value().fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(PosixFile, FileHandleClosesOnceAndMoves) {
    const int fd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        FileHandle a(fd);
        FileHandle b(std::move(a));
        EXPECT_FALSE(a.is_open());
        EXPECT_EQ(b.fd(), fd);
        FileHandle c;
        c = std::move(b);
        EXPECT_EQ(c.fd(), fd);
        EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    }
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);

    FileHandle handle(::open("/dev/null", O_RDONLY));
    const int other = handle.fd();
    handle.close();
    EXPECT_FALSE(handle.is_open());
    EXPECT_EQ(::fcntl(other, F_GETFD), -1);
    handle.close(); // closing twice is harmless
}

TEST(PosixFile, WriteAllReportsTheOsError) {
    const int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    const FileHandle full(fd);
    IoError error = IoError::from_errno(0);
    EXPECT_FALSE(write_all(full.fd(), "abc", 3, IoFixedMessage::WriteZeroWhole, error));
    EXPECT_EQ(error.text(), "No space left on device (os error 28)");

    TempDir dir;
    auto out = create_for_writing(dir.file("out"));
    ASSERT_TRUE(out);
    EXPECT_TRUE(write_all(out.value().fd(), "hello", 5, IoFixedMessage::WriteZeroWhole, error));
    EXPECT_TRUE(write_all(out.value().fd(), "", 0, IoFixedMessage::WriteZeroWhole, error));
    EXPECT_EQ(read_file(dir.file("out")), "hello");
}

// A run of writes of the given sizes and, after each, how many bytes have
// reached the file; then the size after the flush.
struct WriterCase {
    const char* name;
    std::vector<std::size_t> writes;
    std::vector<std::size_t> on_disk;
};

TEST(BufferedWriter, BuffersShortLinesAndWritesLongOnesDirectly) {
    constexpr std::size_t kCap = BufferedWriter::kCapacity;
    static_assert(kCap == 8192);
    const std::vector<WriterCase> table = {
        {"a short line stays buffered", {100}, {0}},
        {"one byte less than the buffer", {kCap - 1}, {0}},
        {"a line of exactly the buffer size goes straight out", {kCap}, {kCap}},
        {"a long line goes straight out", {20000}, {20000}},
        {"a line that exactly fills the free space is buffered", {100, kCap - 100}, {0, 0}},
        {"the next byte writes the full buffer out", {100, kCap - 100, 1}, {0, 0, kCap}},
        {"a line one byte too big writes the buffer out first", {100, kCap - 99}, {0, 100}},
        {"then a buffer-sized line is written directly after the buffer",
         {100, kCap},
         {0, 100 + kCap}},
        {"a long line after buffered bytes", {100, 20000}, {0, 20100}},
        {"a buffer-sized line then a byte", {kCap, 1}, {kCap, kCap}},
        {"filling up one byte at a time", {kCap - 1, 1}, {0, 0}},
        {"overflowing by one", {kCap - 1, 2}, {0, kCap - 1}},
        {"empty writes change nothing", {0, 100, 0, kCap - 100, 0}, {0, 0, 0, 0, 0}},
        {"many short lines", std::vector<std::size_t>(100, 100),
         [] {
             std::vector<std::size_t> v;
             std::size_t flushed = 0, buffered = 0;
             for (int i = 0; i < 100; ++i) {
                 if (buffered + 100 > kCap) {
                     flushed += buffered;
                     buffered = 0;
                 }
                 buffered += 100;
                 v.push_back(flushed);
             }
             return v;
         }()},
    };
    // Written behind, the bytes reach the file once drained, at the same points.
    for (const WriterCase& c : table) {
        for (const WriteMode mode : {WriteMode::Inline, WriteMode::Behind}) {
            SCOPED_TRACE(c.name);
            TempDir dir;
            auto out = create_for_writing(dir.file("out"));
            ASSERT_TRUE(out);
            std::string expected;
            {
                BufferedWriter writer(out.value().fd(), kCap, mode);
                for (std::size_t i = 0; i < c.writes.size(); ++i) {
                    // Distinct bytes per write show the order on disk.
                    const std::string bytes(c.writes[i], static_cast<char>('A' + i % 26));
                    expected += bytes;
                    ASSERT_FALSE(writer.write(bytes));
                    ASSERT_FALSE(writer.drain());
                    EXPECT_EQ(file_size(out.value().fd()), c.on_disk[i]) << "after write " << i;
                }
                ASSERT_FALSE(writer.flush());
                EXPECT_EQ(file_size(out.value().fd()), expected.size());
                ASSERT_FALSE(writer.flush());
            }
            EXPECT_TRUE(read_file(dir.file("out")) == expected);
        }
    }
}

TEST(BufferedWriter, DroppingWritesOutWhatIsBuffered) {
    for (const WriteMode mode : {WriteMode::Inline, WriteMode::Behind}) {
        TempDir dir;
        auto out = create_for_writing(dir.file("out"));
        ASSERT_TRUE(out);
        const std::string queued(20000, 'q');
        {
            BufferedWriter writer(out.value().fd(), BufferedWriter::kCapacity, mode);
            ASSERT_FALSE(writer.write(queued));
            ASSERT_FALSE(writer.write("unflushed line\n"));
        }
        EXPECT_EQ(read_file(dir.file("out")), queued + "unflushed line\n");
    }
}

TEST(BufferedWriter, DiskFullIsReportedWhenBytesReachTheDevice) {
    const int fd = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    const FileHandle full(fd);
    const std::string text = "No space left on device (os error 28)";
    {
        BufferedWriter writer(full.fd());
        EXPECT_FALSE(writer.write("short line\n"));
        auto error = writer.flush();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->text(), text);
        // The bytes are kept, so a second flush fails the same way; dropping
        // the writer tries once more and ignores the failure.
        auto again = writer.flush();
        ASSERT_TRUE(again);
        EXPECT_EQ(again->text(), text);
    }
    {
        BufferedWriter writer(full.fd());
        auto error = writer.write(std::string(BufferedWriter::kCapacity, 'x'));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->text(), text);
    }
    {
        BufferedWriter writer(full.fd());
        EXPECT_FALSE(writer.write("a"));
        auto error = writer.write(std::string(BufferedWriter::kCapacity, 'x'));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->text(), text);
    }
}

} // namespace
} // namespace rowmend::test
