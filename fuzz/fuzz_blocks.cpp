// One thread against many: the pass pushed in chunks with rows read on
// blocks of a random size, down to one byte, on two to four threads, tells
// its sinks exactly what it tells them on one thread (every event, line,
// field and count), and writes the same clean file and quarantine lines.
// The fourth byte picks the block size, the fifth the threads and the chunk
// size.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "salvage/block_record.h"
#include "salvage/clean_output.h"
#include "salvage/salvage_pass.h"
#include "salvage/tee_sink.h"

namespace {

using namespace rowmend;
using namespace rowmend::fuzz;

// Everything the pass tells, as text (plain runs line by line); a clean
// file sink beside it writes into a memory file.
class Log final : public RowSink {
  public:
    std::string text;
    bool begin(const SalvageCounters& layout) override {
        text += "begin " + std::to_string(layout.inferred_columns) + "\n";
        return true;
    }
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first) override {
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t lf = lines.find('\n');
            FUZZ_CHECK(lf != std::string_view::npos);
            text += "plain " + std::to_string(first + i) + " ";
            text += lines.substr(0, lf);
            text += '\n';
            lines.remove_prefix(lf + 1);
        }
        FUZZ_CHECK(lines.empty());
        return true;
    }
    bool row(const RowEvent& e) override {
        text += "row " + std::to_string(static_cast<int>(e.fate)) + " " + std::to_string(e.line);
        for (const FieldView field : e.fields) {
            text += '\x1f';
            text += field.text;
        }
        text += '\x1e';
        text += e.text;
        text += std::to_string(e.quote_repaired) + std::to_string(e.bytes_replaced) +
                std::to_string(e.quote_read_as_text) + std::to_string(e.verbatim) + "\n";
        return true;
    }
    std::unique_ptr<BlockRecord> block_record() override {
        return std::make_unique<RowEventRecord>();
    }
    bool take_block(const BlockRecord& record, std::uint64_t shift) override {
        return static_cast<const RowEventRecord&>(record).replay(*this, shift);
    }
};

struct Outcome {
    std::string log;
    std::string clean;
    std::string quarantine;
    RowCounts counts;
};

std::string file_bytes(int fd) {
    std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    FUZZ_CHECK(::pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    return bytes;
}

Outcome run(std::string_view csv, const SalvageOptions& options, std::size_t chunk) {
    Outcome out;
    Log log;
    QuarantineSpool spool("/tmp");
    CleanFileSink clean(CleanOutputFormat{}, &spool);
    const int fd = ::memfd_create("clean", MFD_CLOEXEC);
    const int held = ::memfd_create("quarantine", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0 && held >= 0);
    clean.attach(fd);
    Tee tee(log, &clean);
    {
        SalvagePass pass(options, tee);
        for (std::size_t at = 0; chunk != 0 && at < csv.size(); at += chunk)
            pass.feed(csv.data() + at, std::min(chunk, csv.size() - at));
        if (chunk == 0)
            pass.run_buffer(csv);
        else
            pass.finish();
        out.counts = pass.counters();
    }
    FUZZ_CHECK(!clean.flush());
    FUZZ_CHECK(!write_quarantine_file(held, spool));
    out.log = std::move(log.text);
    out.clean = file_bytes(fd);
    out.quarantine = file_bytes(held);
    ::close(fd);
    ::close(held);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    SalvageOptions one = take_options(in).salvage;
    const std::uint8_t block = in.take();
    const std::uint8_t shape = in.take();
    const std::string_view csv = in.rest();
    const std::size_t chunk = (shape >> 2) == 0 ? 0 : (shape >> 2) * 7;
    one.threads = 1;
    SalvageOptions many = one;
    many.threads = 2 + (shape & 3) % 3;
    many.block_bytes = 1 + (block & 63);
    const Outcome expected = run(csv, one, chunk);
    const Outcome got = run(csv, many, chunk);
    FUZZ_CHECK(got.log == expected.log);
    FUZZ_CHECK(got.clean == expected.clean);
    FUZZ_CHECK(got.quarantine == expected.quarantine);
    FUZZ_CHECK(got.counts == expected.counts);
    return 0;
}
