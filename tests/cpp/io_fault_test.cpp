// Write and read faults that a real file cannot produce on demand: writes
// accepted with zero bytes, calls interrupted by a signal, short transfers
// and errors part-way through. This binary is linked with ld's --wrap, so the
// engine's write() and read() calls land in the wrappers below, which pass
// through to the C library unless a test has armed a fault.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "salvage/buffered_writer.h"
#include "salvage/file_salvage.h"
#include "salvage/posix_file.h"
#include "test_support.h"

extern "C" ssize_t __real_write(int fd, const void* buf, size_t count);
extern "C" ssize_t __real_read(int fd, void* buf, size_t count);

namespace {

// How the wrapped calls misbehave. Descriptors 0 to 2 are never touched, so
// the test runner's own output is safe.
struct Fault {
    bool armed = false;
    bool interrupt_every_other_call = false;
    std::size_t max_chunk = SIZE_MAX;  // short transfers
    std::size_t zero_after = SIZE_MAX; // then every call transfers 0 bytes
    std::size_t fail_after = SIZE_MAX; // then every call fails with fail_errno
    int fail_errno = EIO;
    std::size_t calls = 0;
    std::size_t transferred = 0;
    std::vector<std::size_t> requests; // the byte count of every call, in order
};

Fault g_write_fault;
Fault g_read_fault;

template <class Call> ssize_t faulty(Fault& fault, int fd, std::size_t count, Call call) {
    if (!fault.armed || fd <= 2 || count == 0)
        return call(count);
    ++fault.calls;
    fault.requests.push_back(count);
    if (fault.interrupt_every_other_call && fault.calls % 2 == 1) {
        errno = EINTR;
        return -1;
    }
    if (fault.transferred >= fault.zero_after)
        return 0;
    if (fault.transferred >= fault.fail_after) {
        errno = fault.fail_errno;
        return -1;
    }
    const std::size_t limit =
        std::min({count, fault.max_chunk, fault.zero_after - fault.transferred,
                  fault.fail_after - fault.transferred});
    const ssize_t done = call(limit);
    if (done > 0)
        fault.transferred += static_cast<std::size_t>(done);
    return done;
}

// Arms a fault for the lifetime of the scope.
class Armed {
  public:
    Armed(Fault& slot, Fault plan) : slot_(slot) {
        plan.armed = true;
        slot_ = plan;
    }
    ~Armed() { slot_ = Fault{}; }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;
    const Fault& state() const { return slot_; }

  private:
    Fault& slot_;
};

} // namespace

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t count) {
    return faulty(g_write_fault, fd, count,
                  [&](std::size_t n) { return __real_write(fd, buf, n); });
}

extern "C" ssize_t __wrap_read(int fd, void* buf, size_t count) {
    return faulty(g_read_fault, fd, count, [&](std::size_t n) { return __real_read(fd, buf, n); });
}

namespace rowmend::test {
namespace {

constexpr WriteMode kModes[] = {WriteMode::Inline, WriteMode::Behind};

// Lower-case letters from `seed` on, so the bytes show where each piece went.
std::string pattern(std::size_t size, char seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>('a' + (static_cast<unsigned char>(seed) + i) % 26);
    }
    return out;
}

Fault zero_after(std::size_t n) {
    Fault f;
    f.zero_after = n;
    return f;
}

Fault choppy() {
    Fault f;
    f.interrupt_every_other_call = true;
    f.max_chunk = 7;
    return f;
}

TEST(IoFaults, ZeroByteWritesHaveTheirOwnMessages) {
    struct Case {
        const char* name;
        std::vector<std::string> lines; // written before the fault is armed
        std::string faulty_line;        // written with the fault armed, then flushed
        std::string text;
    };
    const std::string big = pattern(BufferedWriter::kCapacity, 'a');
    const std::vector<Case> table = {
        {"emptying the buffer on flush", {"abc\n"}, "", "failed to write the buffered data"},
        {"a long line written directly", {}, big, "failed to write whole buffer"},
        {"a long line must first empty the buffer",
         {"abc\n"},
         big,
         "failed to write the buffered data"},
        {"a short line that does not fit empties the buffer",
         {pattern(8000, 'a')},
         pattern(500, 'b'),
         "failed to write the buffered data"},
    };
    for (const Case& c : table) {
        for (const WriteMode mode : kModes) {
            SCOPED_TRACE(c.name);
            TempDir dir;
            auto out = create_for_writing(dir.file("out"));
            ASSERT_TRUE(out);
            BufferedWriter writer(out.value().fd(), BufferedWriter::kCapacity, mode);
            for (const std::string& line : c.lines)
                ASSERT_FALSE(writer.write(line));
            ASSERT_FALSE(writer.drain());
            std::optional<IoError> error;
            {
                const Armed armed(g_write_fault, zero_after(0));
                error = writer.write(c.faulty_line);
                if (!error)
                    error = writer.flush();
            }
            ASSERT_TRUE(error);
            EXPECT_EQ(error->text(), c.text);
        }
    }
}

TEST(IoFaults, AFailedWriteOutKeepsOnlyTheUnwrittenBytes) {
    for (const WriteMode mode : kModes) {
        TempDir dir;
        auto out = create_for_writing(dir.file("out"));
        ASSERT_TRUE(out);
        const std::string line = pattern(100, 'a');
        {
            BufferedWriter writer(out.value().fd(), BufferedWriter::kCapacity, mode);
            ASSERT_FALSE(writer.write(line));
            {
                const Armed armed(g_write_fault, zero_after(30));
                auto error = writer.flush();
                ASSERT_TRUE(error);
                EXPECT_EQ(error->text(), "failed to write the buffered data");
            }
            EXPECT_EQ(read_file(dir.file("out")), line.substr(0, 30));
            // Once writes work again, the rest follows without repeating anything.
            EXPECT_FALSE(writer.flush());
            EXPECT_EQ(writer.mode(), WriteMode::Inline);
        }
        EXPECT_EQ(read_file(dir.file("out")), line);
    }
}

TEST(IoFaults, AnOsErrorPartWayIsReported) {
    // Written behind, a long line is queued and its failure comes with the flush.
    for (const WriteMode mode : kModes) {
        TempDir dir;
        auto out = create_for_writing(dir.file("out"));
        ASSERT_TRUE(out);
        BufferedWriter writer(out.value().fd(), BufferedWriter::kCapacity, mode);
        Fault plan;
        plan.fail_after = 5000;
        plan.fail_errno = ENOSPC;
        const Armed armed(g_write_fault, plan);
        auto error = writer.write(pattern(20000, 'a'));
        if (!error)
            error = writer.flush();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->text(), "No space left on device (os error 28)");
        EXPECT_EQ(file_size(out.value().fd()), 5000u);
    }
}

TEST(IoFaults, InterruptedAndShortWritesAreRetriedToTheEnd) {
    // Writes of many sizes through the buffer and past it.
    const std::vector<std::size_t> sizes = {1, 100, 8191, 8192, 3, 20000, 8092, 100, 9000, 0, 1};
    TempDir dir;
    auto out = create_for_writing(dir.file("out"));
    ASSERT_TRUE(out);
    std::string expected;
    {
        const Armed armed(g_write_fault, choppy());
        BufferedWriter writer(out.value().fd());
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const std::string bytes = pattern(sizes[i], static_cast<char>('A' + i));
            expected += bytes;
            ASSERT_FALSE(writer.write(bytes));
        }
        ASSERT_FALSE(writer.flush());
        // Every transfer of at most 7 bytes came after an interrupted call.
        EXPECT_GE(armed.state().calls, 2 * (expected.size() / 7));

        IoError error = IoError::from_errno(0);
        const std::string direct = pattern(50, 'z');
        EXPECT_TRUE(write_all(out.value().fd(), direct.data(), direct.size(),
                              IoFixedMessage::WriteZeroWhole, error));
        expected += direct;
    }
    EXPECT_TRUE(read_file(dir.file("out")) == expected);
}

TEST(IoFaults, DroppingAWriterIgnoresAFailedLastAttempt) {
    TempDir dir;
    auto out = create_for_writing(dir.file("out"));
    ASSERT_TRUE(out);
    {
        const Armed armed(g_write_fault, zero_after(0));
        BufferedWriter writer(out.value().fd());
        ASSERT_FALSE(writer.write("pending"));
    }
    EXPECT_EQ(read_file(dir.file("out")), "");
}

// write_lines() copies runs of lines at once but must reach the file in the
// very same write() calls as writing the lines one by one.
TEST(IoFaults, WriteLinesWritesOutWhereLineByLineWritingWould) {
    std::mt19937_64 rng(8192);
    auto pick = [&](std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
    };
    for (int round = 0; round < 100; ++round) {
        // Lines of every length class: tiny, near the free space, a whole
        // buffer or more.
        std::vector<std::string> lines;
        for (std::size_t n = pick(1, 40); n > 0; --n) {
            const std::size_t kind = pick(0, 5);
            const std::size_t length = kind == 0   ? pick(1, 20)
                                       : kind == 1 ? pick(1, 400)
                                       : kind == 2 ? pick(8000, 8200)
                                       : kind == 3 ? pick(8190, 8194)
                                       : kind == 4 ? pick(9000, 30000)
                                                   : pick(1, 3000);
            lines.push_back(std::string(length - 1, static_cast<char>('a' + n % 26)) + "\n");
        }
        const std::string prefill(pick(0, 8192), 'P');
        std::string all;
        for (const std::string& line : lines)
            all += line;

        // Written behind, on the writer's thread, the calls are the same again.
        std::vector<std::size_t> one_by_one, batched, behind;
        std::string content_one, content_batched, content_behind;
        for (const int run : {0, 1, 2}) {
            const bool batch = run != 0;
            TempDir dir;
            auto out = create_for_writing(dir.file("out"));
            ASSERT_TRUE(out);
            {
                const Armed armed(g_write_fault, Fault{});
                BufferedWriter writer(out.value().fd(), BufferedWriter::kCapacity,
                                      run == 2 ? WriteMode::Behind : WriteMode::Inline);
                ASSERT_FALSE(writer.write(prefill));
                if (batch) {
                    ASSERT_FALSE(writer.write_lines(all));
                } else {
                    for (const std::string& line : lines)
                        ASSERT_FALSE(writer.write(line));
                }
                ASSERT_FALSE(writer.flush());
                (run == 2 ? behind : batch ? batched : one_by_one) = armed.state().requests;
            }
            (run == 2 ? content_behind
             : batch  ? content_batched
                      : content_one) = read_file(dir.file("out"));
        }
        ASSERT_EQ(batched, one_by_one) << "round " << round;
        ASSERT_EQ(behind, one_by_one) << "round " << round;
        ASSERT_TRUE(content_behind == content_one) << "round " << round;
        ASSERT_TRUE(content_batched == prefill + all) << "round " << round;
        ASSERT_TRUE(content_one == content_batched) << "round " << round;
    }
}

TEST(IoFaults, AReadErrorEndsTheRun) {
    // Before the first window no output file exists; after it, the clean
    // file holds what was written so far and the quarantine file is never made.
    std::string input;
    for (int i = 0; i < 1000; ++i)
        input += "a,b\n";
    for (const std::size_t fail_after : {std::size_t{0}, std::size_t{100}}) {
        SCOPED_TRACE("read fails after " + std::to_string(fail_after) + " bytes");
        TempDir dir;
        write_file(dir.file("in"), input);
        Fault plan;
        plan.fail_after = fail_after;
        plan.fail_errno = EIO;
        SalvageOptions options;
        auto result = [&] {
            const Armed armed(g_read_fault, plan);
            return salvage_file(dir.file("in"), dir.file("out"), dir.file("q"), options);
        }();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().text(), "Input/output error (os error 5)");
        EXPECT_EQ(path_exists(dir.file("out")), fail_after != 0);
        EXPECT_FALSE(path_exists(dir.file("q")));
    }
}

TEST(IoFaults, SalvageFileReportsZeroByteWrites) {
    struct Case {
        const char* name;
        std::string input;
        std::string text;
    };
    const std::vector<Case> table = {
        {"short rows", "a,b\nc,d\n", "failed to write the buffered data"},
        {"a row longer than the buffer", pattern(9000, 'a') + ",x\n",
         "failed to write whole buffer"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir.file("in"), c.input);
        SalvageOptions options;
        options.delimiter = ',';
        options.expected_columns = 2;
        const Armed armed(g_write_fault, zero_after(0));
        auto result = salvage_file(dir.file("in"), dir.file("out"), dir.file("q"), options);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().text(), c.text);
        EXPECT_TRUE(path_exists(dir.file("out")));
        EXPECT_FALSE(path_exists(dir.file("q")));
    }
}

TEST(IoFaults, SalvageFileSurvivesInterruptedAndShortTransfers) {
    TempDir dir;
    std::string input, clean;
    for (int i = 0; i < 300; ++i) {
        const std::string field = pattern(static_cast<std::size_t>(i) * 37 % 9500, 'a');
        input += field + ",\"q\"\"\"\n";
        clean += field + ",\"q\"\"\"\n";
    }
    write_file(dir.file("in"), input);
    SalvageOptions options;
    options.delimiter = ',';
    options.expected_columns = 2;
    const Armed reads(g_read_fault, choppy());
    const Armed writes(g_write_fault, choppy());
    auto result = salvage_file(dir.file("in"), dir.file("out"), dir.file("q"), options);
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_TRUE(read_file(dir.file("out")) == clean);
    EXPECT_EQ(read_file(dir.file("q")), "line,reason,raw_content\n");
}

// With a thread to write the clean file, a failing write must end the run
// with the same error and leave the same bytes on disk as on one thread,
// and a read error that comes after it must not hide it.
TEST(IoFaults, SalvageFileWritesBehindAsItWouldInline) {
    std::string input;
    for (int i = 0; i < 20000; ++i)
        input += pattern(static_cast<std::size_t>(i) * 7 % 300, 'a') + ",\"x,y\"\n";
    struct Case {
        const char* name;
        Fault write;
        std::size_t read_fails_after = SIZE_MAX;
    };
    Fault enospc;
    enospc.fail_after = 1'000'000;
    enospc.fail_errno = ENOSPC;
    const std::vector<Case> table = {
        {"no fault", Fault{}},
        {"zero-byte writes part-way", zero_after(777'777)},
        {"disk full part-way", enospc},
        {"disk full, then a read error", enospc, 1'100'000},
        {"a read error alone", Fault{}, 2'000'000},
        {"short and interrupted writes", choppy()},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        std::string texts[2], outputs[2];
        for (const unsigned threads : {1U, 2U}) {
            TempDir dir;
            write_file(dir.file("in"), input);
            SalvageOptions options;
            options.threads = threads;
            Fault read;
            read.fail_after = c.read_fails_after;
            auto result = [&] {
                const Armed reads(g_read_fault, read);
                const Armed writes(g_write_fault, c.write);
                return salvage_file(dir.file("in"), dir.file("out"), std::nullopt, options);
            }();
            texts[threads - 1] = result ? "ok" : result.error().text();
            outputs[threads - 1] = read_file(dir.file("out"));
        }
        EXPECT_EQ(texts[0], texts[1]);
        EXPECT_TRUE(outputs[0] == outputs[1])
            << outputs[0].size() << " against " << outputs[1].size();
    }
}

// Rows read on blocks reach the file in the very write calls one thread
// makes: the same sizes in the same order, clean file and quarantine file,
// whatever the block size.
TEST(IoFaults, BlocksMakeTheWritesOfOneThread) {
    std::string input = "a,b,c\n";
    for (int i = 0; i < 3000; ++i) {
        input += pattern(static_cast<std::size_t>(i) * 13 % 40, 'c');
        input += i % 7 == 0 ? ",\"x\ny\",z\n" : i % 11 == 0 ? ",short\r\n" : ",\"q\"\"\",3,4\n";
    }
    for (const std::size_t block : {std::size_t{5}, std::size_t{333}, std::size_t{4096}}) {
        SCOPED_TRACE("block " + std::to_string(block));
        std::vector<std::size_t> calls[2];
        std::string outputs[2];
        for (const unsigned threads : {1U, 2U}) {
            TempDir dir;
            write_file(dir.file("in"), input);
            SalvageOptions options;
            options.threads = threads;
            options.block_bytes = block;
            options.merge_overflow = false;
            const Armed writes(g_write_fault, Fault{});
            ASSERT_TRUE(salvage_file(dir.file("in"), dir.file("out"), dir.file("q"), options));
            calls[threads - 1] = writes.state().requests;
            outputs[threads - 1] = read_file(dir.file("out")) + read_file(dir.file("q"));
        }
        EXPECT_EQ(calls[1], calls[0]);
        EXPECT_TRUE(outputs[0] == outputs[1]);
        EXPECT_GT(calls[0].size(), 10U);
    }
}

} // namespace
} // namespace rowmend::test
