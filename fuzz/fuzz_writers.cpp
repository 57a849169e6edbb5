// The two output formats on whatever the salvage pass makes of any bytes.
// Both outputs are valid UTF-8; the clean CSV reads back as exactly the
// retained rows (for single-byte delimiter and quote texts), the quarantine
// CSV as three fields per record; and file salvage writes those same bytes.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "salvage/byte_text.h"
#include "salvage/csv_output.h"
#include "salvage/file_salvage.h"
#include "salvage/posix_file.h"
#include "salvage/salvage_pass.h"
#include "salvage/salvage_slice.h"

namespace {

using namespace rowmend;
using namespace rowmend::fuzz;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Scratch files for file salvage, in one private directory per process,
// rewritten by every run and removed at exit.
struct ScratchFiles {
    std::string dir, input, output, quarantine;

    ScratchFiles() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        pattern += "/fuzz_writers-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        dir = pattern;
        input = dir + "/input.csv";
        output = dir + "/clean.csv";
        quarantine = dir + "/quarantine.csv";
    }
    ~ScratchFiles() {
        for (const std::string* path : {&input, &output, &quarantine})
            ::unlink(path->c_str());
        ::rmdir(dir.c_str());
    }
};

std::string read_back(const std::string& path) {
    auto file = open_for_reading(path);
    FUZZ_CHECK(file.ok());
    std::string out;
    char chunk[1 << 16];
    for (;;) {
        auto got = read_some(file.value().fd(), chunk, sizeof chunk);
        FUZZ_CHECK(got.ok());
        if (got.value() == 0)
            return out;
        out.append(chunk, got.value());
    }
}

void write_file(const std::string& path, std::string_view bytes) {
    auto file = create_for_writing(path);
    FUZZ_CHECK(file.ok());
    const IoFixedMessage on_zero = IoFixedMessage::WriteZeroWhole;
    IoError error = IoError::fixed(on_zero);
    FUZZ_CHECK(write_all(file.value().fd(), bytes.data(), bytes.size(), on_zero, error));
}

std::string joined(const RowView& row, std::string_view separator) {
    std::string out;
    bool first = true;
    for (const FieldView field : row) {
        if (!first)
            out.append(separator);
        first = false;
        out.append(field.text);
    }
    return out;
}

// The clean file read back with the run's delimiter and quote, repair off.
void check_clean_reads_back(const std::string& clean, const RowStore& rows, std::uint8_t delimiter,
                            std::uint8_t quote) {
    // A first field beginning with U+FEFF is quoted, so no reader can take
    // the start of the file for a byte-order mark.
    FUZZ_CHECK(!clean.starts_with(kByteOrderMark));
    ResilientParser parser(clean, delimiter, quote, false);
    RowStore back;
    for (std::size_t r = 0; r < rows.row_count(); ++r) {
        FUZZ_CHECK(parser.next_row(back));
        const RowView want = rows.row(r);
        const RowView got = back.last_row();
        FUZZ_CHECK(got.size() == want.size());
        auto g = got.begin();
        for (const FieldView field : want) {
            FUZZ_CHECK((*g).text == field.text);
            ++g;
        }
    }
    FUZZ_CHECK(!parser.next_row(back));
}

// The quarantine file read back as plain CSV: the header, then per record
// its line, its reason and its fields joined by the delimiter.
void check_quarantine_reads_back(const std::string& text, const QuarantineList& quarantine,
                                 std::string_view separator) {
    ResilientParser parser(text, ',', '"', false);
    RowStore back;
    FUZZ_CHECK(parser.next_row(back));
    const std::vector<std::string> header = fields_of(back.last_row());
    FUZZ_CHECK(header == (std::vector<std::string>{"line", "reason", "raw_content"}));
    for (std::size_t i = 0; i < quarantine.size(); ++i) {
        FUZZ_CHECK(parser.next_row(back));
        const std::vector<std::string> record = fields_of(back.last_row());
        FUZZ_CHECK(record.size() == 3);
        FUZZ_CHECK(record[0] == std::to_string(quarantine.line(i)));
        FUZZ_CHECK(record[1] == quarantine.reason(i));
        FUZZ_CHECK(record[2] == joined(quarantine.fields(i), separator));
    }
    FUZZ_CHECK(!parser.next_row(back));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScratchFiles scratch;
    FuzzInput in(data, size);
    const FuzzOptions fuzz_options = take_options(in);
    const SalvageOptions& options = fuzz_options.salvage;
    const std::string_view csv = in.rest();
    const SalvageOutcome outcome = salvage_slice(csv, options);
    const std::uint8_t delimiter = outcome.counters.detected_delimiter;
    const std::uint8_t quote = options.quote_char;
    const ByteText separator(delimiter);

    std::string clean;
    const CleanCsvFormat format(delimiter, quote);
    for (std::size_t r = 0; r < outcome.rows.row_count(); ++r) {
        format.append_line(clean, outcome.rows.row(r), r == 0);
    }
    std::string quarantine(kQuarantineHeader);
    for (std::size_t i = 0; i < outcome.quarantine.size(); ++i) {
        append_quarantine_line(quarantine, outcome.quarantine.line(i), outcome.quarantine.reason(i),
                               outcome.quarantine.fields(i), separator);
    }

    FUZZ_CHECK(valid_utf8(clean));
    FUZZ_CHECK(valid_utf8(quarantine));
    FUZZ_CHECK(clean.empty() || clean.back() == '\n');
    const bool single_bytes = delimiter < 0x80 && quote < 0x80;
    const bool distinct = delimiter != quote && delimiter != '\n' && delimiter != '\r' &&
                          quote != '\n' && quote != '\r';
    if (single_bytes && distinct)
        check_clean_reads_back(clean, outcome.rows, delimiter, quote);
    check_quarantine_reads_back(quarantine, outcome.quarantine, separator);

    // File salvage streams rows through its own loop and buffered writers;
    // what lands on disk must be what the in-memory outcome formats to. The
    // option bit left to the target rewrites the input file in place.
    write_file(scratch.input, csv);
    const std::string& output = fuzz_options.target_flag ? scratch.input : scratch.output;
    const auto result = salvage_file(scratch.input, output, scratch.quarantine, options);
    FUZZ_CHECK(result.ok());
    const SalvageStats& stats = result.value();
    FUZZ_CHECK(stats.total_rows == outcome.counters.total_rows);
    FUZZ_CHECK(stats.salvaged_rows == outcome.counters.salvaged_rows);
    FUZZ_CHECK(stats.repaired_rows == outcome.counters.repaired_rows);
    FUZZ_CHECK(stats.quarantined_rows == outcome.counters.quarantined_rows);
    FUZZ_CHECK(stats.inferred_columns == outcome.counters.inferred_columns);
    FUZZ_CHECK(stats.detected_delimiter == delimiter);
    FUZZ_CHECK(read_back(output) == clean);
    FUZZ_CHECK(read_back(scratch.quarantine) == quarantine);
    return 0;
}
