#pragma once
// The pass's steady state on several threads. Once the layout is settled
// and no option judges a row by its neighbours, each row is read, brought
// to width or quarantined, and told to the sinks on its own. So a stretch
// of the window is cut into blocks; workers read each block's rows from a
// row start its guesses agree on (blocks::common_start) into a record of
// the sinks' own (the clean file's lines already formatted), and the pass's
// thread hands the records to the sinks in order. Each block's true entry
// is the previous block's exit: where it is not the worker's start, the
// pass's thread reads the rows in between itself, and where it never meets
// that start, the whole block. So the sinks hear exactly the rows, lines
// and events of one thread, and the writer gets the very same write calls.
//
// Memory: a round holds at most kBlocksPerThread blocks per thread, and
// each block's record (its clean lines, about its input's size).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parser/block_states.h"
#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "salvage/row_sink.h"
#include "salvage/salvage_options.h"

namespace rowmend {

// A row brought to the table's width: padded, its surplus merged, or left
// as parsed to be quarantined, as the options say.
RowFate bring_to_width(RowStore& rows, std::uint64_t columns, const SalvageOptions& options,
                       std::string_view separator);

// Whether the options judge every row on its own, so that its rows may be
// read on blocks. Blank, comment, footer, section and totals rows are told
// by rows around them: a run asking for any of them stays on one thread.
// (So does one whose trailing column was dropped, which notes the first row
// that holds a value there, and the pass waits for a preamble to end.)
bool rows_judged_alone(const SalvageOptions& options) noexcept;

// The threads a run may read rows on: the options' count, or one per CPU
// the process may run on.
unsigned run_threads(const SalvageOptions& options) noexcept;

class BlockPass {
  public:
    // A window (the pass's 4 MiB) is cut into at least kBlocksPerThread
    // blocks per thread, of at most kBlockBytes and at least kMinBlockBytes.
    static constexpr std::size_t kBlockBytes = 1U << 20;
    static constexpr std::size_t kMinBlockBytes = 64U << 10;
    static constexpr std::size_t kWindowBytes = 4U << 20;
    static constexpr std::size_t kBlocksPerThread = 2;

    // `layout` is the settled one; `sink` has begun. `threads` at least 2;
    // `block_bytes` 0 for kBlockBytes.
    BlockPass(const SalvageOptions& options, const SalvageCounters& layout, std::string separator,
              RowSink& sink, unsigned threads, std::size_t block_bytes);
    BlockPass(const BlockPass&) = delete;
    BlockPass& operator=(const BlockPass&) = delete;
    ~BlockPass();

    // A sink that takes blocks, or nothing: the pass stays on one thread.
    static std::unique_ptr<BlockPass> for_sink(const SalvageOptions& options,
                                               const SalvageCounters& layout, std::string separator,
                                               RowSink& sink);

    // Whether this many bytes ahead are worth a round.
    bool worth(std::size_t bytes) const noexcept { return bytes >= 2 * block_bytes_; }

    // Where a round stopped: the row start the pass goes on from (an offset
    // in the region and its line). `refused`: a sink asked to hear the rows
    // there one by one; `stopped`: a sink stopped the run; `more`: every
    // block of the round was taken and the region goes on.
    struct Stop {
        std::size_t offset = 0;
        std::uint64_t line = 0;
        bool stopped = false;
        bool refused = false;
        bool more = false;
    };

    // Tells the rows that start in the region's first blocks, as the pass
    // would, and adds them to `counts`. `region` begins at a row start on
    // `line` and runs to the end of the window (`final`: of the input).
    // Rows left for more input, and those past the round, stay for the
    // pass. Every thread it starts has ended when it returns; a failed
    // allocation on any of them is thrown here.
    Stop round(std::string_view region, bool final, std::uint64_t line, RowCounts& counts);

    // Blocks whose worker's rows were taken, and rows the pass's thread read
    // again, for tests and benches.
    std::size_t blocks_taken() const noexcept { return blocks_taken_; }
    std::size_t rows_read_again() const noexcept { return rows_read_again_; }

  private:
    struct Slot;
    struct Reach;
    // The rows that start from `from` to before `stop`, into `record`.
    Reach read_rows(std::string_view region, std::size_t from, std::size_t stop, bool final,
                    BlockRecord& record, RowCounts& counts);
    Reach read_rows_into(std::string_view region, std::size_t from, std::size_t stop, bool final,
                         BlockRecord& record, RowCounts& counts, RowStore& row) const;
    // A worker's share of block k: from the start its guesses agree on.
    void read_block(std::string_view region, bool final, std::size_t k);
    // Block k read, or its failure kept, and marked done.
    void run_block(std::string_view region, bool final, std::size_t k, std::size_t count) noexcept;
    // A worker's loop: the next block not yet taken, until none is left.
    void take_blocks(std::string_view region, bool final, std::size_t count) noexcept;

    SalvageOptions options_;
    SalvageCounters layout_;
    std::string separator_;
    blocks::Grammar grammar_;
    RowSink& sink_;
    unsigned threads_;
    std::size_t block_bytes_;
    std::size_t round_block_ = 0; // this round's
    std::vector<std::unique_ptr<Slot>> slots_;
    std::unique_ptr<BlockRecord> catch_up_; // rows the pass's thread reads itself
    std::atomic<std::size_t> next_{0};      // the next block of the round not yet taken
    RowStore row_;
    std::size_t blocks_taken_ = 0;
    std::size_t rows_read_again_ = 0;
};

} // namespace rowmend
