// Rows read on blocks by several threads must reach the sinks exactly as one
// thread tells them: the same events, lines, fields and counts, the same
// clean and quarantine bytes, for every block size down to one byte (so
// quoted line breaks, stray quotes, CR LF and ragged rows stand at every
// block boundary), whole buffers and pushed windows alike.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "salvage/block_record.h"
#include "salvage/file_salvage.h"
#include "salvage/salvage_pass.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

// Everything a sink hears, as text; plain runs line by line, since how rows
// are grouped into runs is no part of what is told.
class Log final : public RowSink {
  public:
    std::string text;

    bool begin(const SalvageCounters& layout) override {
        text += "begin " + std::to_string(layout.inferred_columns) + " " +
                std::to_string(layout.detected_delimiter) + "\n";
        return true;
    }
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first) override {
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t lf = lines.find('\n');
            text += "plain " + std::to_string(first + i) + " " + show(lines.substr(0, lf)) + "\n";
            lines.remove_prefix(lf + 1);
        }
        EXPECT_TRUE(lines.empty());
        return true;
    }
    bool row(const RowEvent& e) override {
        Fields fields;
        for (const FieldView field : e.fields)
            fields.emplace_back(field.text);
        text += "row " + std::to_string(static_cast<int>(e.fate)) + " " + std::to_string(e.line) +
                " " + show(fields) + " " + show(e.text) + " " + std::to_string(e.quote_repaired) +
                std::to_string(e.bytes_replaced) + std::to_string(e.quote_read_as_text) +
                std::to_string(e.verbatim) + "\n";
        return true;
    }
    bool skipped(const SkippedRow& row) override {
        text += "skip " + std::to_string(row.line) + " " + show(row.text) + "\n";
        return true;
    }
    std::unique_ptr<BlockRecord> block_record() override {
        return std::make_unique<RowEventRecord>();
    }
    bool take_block(const BlockRecord& record, std::uint64_t shift) override {
        return static_cast<const RowEventRecord&>(record).replay(*this, shift);
    }
};

// Pieces that trouble a block's guessed start, strung together at random.
const std::vector<std::string> kPieces = {
    "1,2,3\n",
    "4,\"x\ny\",6\n",
    "7,8,9\r\n",
    "1,a\"b,3\n",
    "1,2\n",
    "1,2,3,4,5\n",
    "\"p,q\",r,s\n",
    "\"he said \"\"hi\"\"\",2,3\n",
    "\xff,2,3\n",
    "a\"b\nc\",2,3\n",
    "\n",
    "\xEF\xBB\xBF"
    "1,2,3\n",
    "\"\"\"\",\"\n\n\",\"\r\n\"\n",
    "x\"y\"z,\"\"q\",3\r",
    "\"a\",\"b\"c\",d\n",
    "\"open,2,3\n4,5,6\n",
};

std::string tricky_input(unsigned seed, std::size_t pieces) {
    std::mt19937 rng(seed);
    std::string input = "a,b,c\n";
    for (std::size_t i = 0; i < pieces; ++i)
        input += kPieces[rng() % kPieces.size()];
    return input;
}

struct Told {
    std::string log;
    RowCounts counts;
    std::size_t blocks = 0;
};

Told tell(std::string_view input, SalvageOptions options, std::size_t chunk) {
    Log log;
    SalvagePass pass(options, log);
    if (chunk == 0) {
        pass.run_buffer(input);
    } else {
        for (std::size_t at = 0; at < input.size(); at += chunk)
            pass.feed(input.data() + at, std::min(chunk, input.size() - at));
        pass.finish();
    }
    return {log.text, pass.counters(), pass.blocks_taken()};
}

struct Variant {
    const char* name;
    void (*set)(SalvageOptions&);
};

const std::vector<Variant> kVariants = {
    {"defaults", [](SalvageOptions&) {}},
    {"quarantine ragged rows",
     [](SalvageOptions& o) { o.fill_ragged_rows = o.merge_overflow = false; }},
    {"no quote repair", [](SalvageOptions& o) { o.repair_quotes = false; }},
    {"quoting off", [](SalvageOptions& o) { o.quoting = false; }},
    {"rows as parsed", [](SalvageOptions& o) { o.expected_columns = 0; }},
    {"escape and detection",
     [](SalvageOptions& o) {
         o.detect_dialect = o.detect_quote = true;
         o.escape_char = '\\';
     }},
    {"runaway quotes", [](SalvageOptions& o) { o.runaway_quotes = RunawayQuoteRule{}; }},
    {"blank rows skipped (one thread)", [](SalvageOptions& o) { o.skip_blank_rows = true; }},
};

TEST(BlockPass, TellsWhatOneThreadTells) {
    std::size_t blocks = 0;
    for (const Variant& variant : kVariants) {
        for (const unsigned seed : {1U, 2U, 3U}) {
            const std::string input = tricky_input(seed, 120);
            for (const std::size_t chunk : {std::size_t{0}, std::size_t{61}}) {
                SalvageOptions one;
                variant.set(one);
                one.threads = 1;
                const Told expected = tell(input, one, chunk);
                for (const std::size_t block : {1, 2, 3, 5, 8, 13, 40, 200}) {
                    for (const unsigned threads : {2U, 3U}) {
                        SCOPED_TRACE(std::string(variant.name) + " seed " + std::to_string(seed) +
                                     " chunk " + std::to_string(chunk) + " block " +
                                     std::to_string(block) + " threads " + std::to_string(threads));
                        SalvageOptions many = one;
                        many.threads = threads;
                        many.block_bytes = block;
                        const Told got = tell(input, many, chunk);
                        ASSERT_EQ(got.log, expected.log);
                        ASSERT_EQ(got.counts, expected.counts);
                        blocks += got.blocks;
                        if (many.skip_blank_rows) {
                            EXPECT_EQ(got.blocks, 0U);
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(blocks, 1000U); // the blocks were read apart, not only the one-thread loop
}

// The clean file and the quarantine file, byte for byte, through the clean
// file sink's own records (formatted lines, quarantined rows with their
// true lines), another output delimiter among them.
TEST(BlockPass, FileSalvageWritesTheSameBytes) {
    // The last: no clean line before one that begins with a byte-order
    // mark's bytes, which the file's first line may not; its block goes to
    // the sink row by row.
    std::string bom_first = "a,b\n";
    for (int i = 0; i < 60; ++i)
        bom_first += "q\n";
    bom_first += "\xEF\xBB\xBF"
                 "1,2,3\n";
    for (int i = 0; i < 200; ++i)
        bom_first += "4,\"5\n\",6\n";
    for (const std::string& input : {tricky_input(4, 400), tricky_input(5, 400), bom_first}) {
        for (const bool quarantine : {false, true}) {
            std::string clean[2], held[2];
            SalvageCounters counts[2];
            for (const std::size_t block : {0, 1, 7, 64}) {
                for (const unsigned threads : {1U, 2U}) {
                    if (threads == 1 && block != 0)
                        continue;
                    SCOPED_TRACE(show(input.substr(0, 20)) + " block " + std::to_string(block) +
                                 " quarantine " + std::to_string(quarantine));
                    TempDir dir;
                    write_file(dir.file("in"), input);
                    SalvageOptions options;
                    options.threads = threads;
                    options.block_bytes = block;
                    options.fill_ragged_rows = !quarantine;
                    options.merge_overflow = !quarantine;
                    options.expected_columns = 3;
                    auto result =
                        salvage_file(dir.file("in"), dir.file("out"), dir.file("q"), options);
                    ASSERT_TRUE(result);
                    const std::size_t at = threads - 1;
                    clean[at] = read_file(dir.file("out"));
                    held[at] = read_file(dir.file("q"));
                    counts[at] = result.value();
                    if (threads == 2) {
                        EXPECT_EQ(clean[1], clean[0]);
                        EXPECT_EQ(held[1], held[0]);
                        EXPECT_EQ(counts[1], counts[0]);
                    }
                }
            }
        }
    }
}

// A worker that runs out of memory fails the call on the caller's thread
// (after every worker has ended), and a sink that stops the run at a block
// stops it there: no row after it is told.
TEST(BlockPass, FailuresEndTheRun) {
    struct Failing final : RowSink {
        bool throw_in_worker = false;
        std::size_t told = 0;
        bool plain_rows(std::string_view, std::size_t rows, std::uint64_t) override {
            told += rows;
            return true;
        }
        bool row(const RowEvent&) override {
            ++told;
            return true;
        }
        struct Record final : BlockRecord {
            bool throws = false;
            void clear() noexcept override {}
            void plain_rows(std::string_view, std::size_t, std::uint64_t) override {
                if (throws)
                    throw std::bad_alloc();
            }
            void row(const RowEvent&) override {
                if (throws)
                    throw std::bad_alloc();
            }
        };
        std::unique_ptr<BlockRecord> block_record() override {
            auto record = std::make_unique<Record>();
            record->throws = throw_in_worker;
            return record;
        }
        bool take_block(const BlockRecord&, std::uint64_t) override { return false; }
    };
    std::string input = "a,b\n";
    for (int i = 0; i < 2000; ++i)
        input += "1,\"x\ny\"\n";
    SalvageOptions options;
    options.threads = 2;
    options.block_bytes = 256;
    for (const bool throws : {true, false}) {
        SCOPED_TRACE(throws ? "out of memory" : "stopped");
        Failing sink;
        sink.throw_in_worker = throws;
        SalvagePass pass(options, sink);
        if (throws) {
            EXPECT_THROW(pass.run_buffer(input), std::bad_alloc);
        } else {
            EXPECT_FALSE(pass.run_buffer(input));
            EXPECT_LT(sink.told, 10U); // the first row, then the first block stops it
        }
    }
}

} // namespace
} // namespace rowmend::test
