#pragma once
// One byte range cut into blocks that are parsed apart (on a pool of threads,
// or as partitions of one file on several machines) and joined in order into
// the very rows one parse from the range's start gives, stray quotes and all.
//
// A row's parse depends on the bytes from its first byte on and on nothing
// before it, so the state at a block's start is the offset where its first
// row starts, with that row's line number. Both are known only once the
// block before has been parsed. So each block is first scanned from every
// row start its first bytes allow: outside quotes (the row starts after the
// first line break) and inside a quoted field (after the first line break
// an even number of quotes later). The join then takes the scan that passes
// through the true start, shifting its line numbers; when none does (a stray
// quote misled every guess) it walks the block again from the true start.
// Guesses decide how much work is wasted, never which rows come out: a scan
// is only ever used from a row start it shares with the true parse.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "parser/runaway_quote.h"

namespace rowmend::blocks {

// How the range's rows are read: the parser's settings.
struct Grammar {
    std::uint8_t delimiter = ',';
    std::uint8_t quote = '"';
    bool repair_quotes = true;
    std::uint8_t escape = 0; // 0: none
    bool trim_after_delimiter = false;
    bool quoting = true;
    std::size_t runaway_width = 0; // 0: runaway quotes keep the default reading
    RunawayQuoteRule runaway_rule{};
};

// A row start: an offset in the range and the physical line the row begins
// on. Scans count lines from their guessed start (line 0); joined ones carry
// the range's own numbers.
struct RowStart {
    std::size_t offset = 0;
    std::uint64_t line = 0;
    bool operator==(const RowStart&) const = default;
};

// Where the rows entered at some row start leave a block: the first row
// start at or past its end, the rows before it, and whether the row there
// runs past a range that is not final (it is then left for more input).
struct BlockExit {
    RowStart next;
    std::uint64_t rows = 0;
    bool pending = false;
};

// The bytes [begin, end) of `range` as one block. `range` holds every byte
// after the block too, up to the end of input when `final`, so that a row
// that begins in the block is read whole. `input_start`: the range begins
// the input, where a byte-order mark is no row's text.
struct Block {
    std::string_view range;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool final = true;
    bool input_start = true;
};

// The parser for the rows of `block.range` from the row start `at`.
ResilientParser parser_at(const Block& block, std::size_t at, const Grammar& grammar);

// The rows of a block walked from a known row start `entry` (within it or at
// its end) to where they leave it.
BlockExit walk(const Block& block, RowStart entry, const Grammar& grammar);

// A block scanned from its guessed row starts, ready to be joined once its
// true start is known.
class BlockScan {
  public:
    // The guesses: the block's begin when a line break (or the range's
    // start) stands right before it, the row start outside quotes and the
    // one inside a quoted field. Guesses that meet share their rows. A
    // guess reads at most a block's length (at least 64 KiB) past the
    // block's end: a wrong one may take the rest of a huge quoted field for
    // a row, and each block reading all of it would make the scans
    // quadratic. A true row that long is walked again at the join instead.
    static BlockScan scan(const Block& block, const Grammar& grammar);

    // Where the rows leave the block when they enter it at `entry` (a row
    // start at or past its begin, and before its end, unless the block holds
    // no row start at all); nothing when no scan passed through it.
    std::optional<BlockExit> join(RowStart entry) const;

    // The first `per_path` row starts of each guess, in the order scanned:
    // where the block's true entry, once known, may be looked up with
    // join() (a range scanned on one machine, joined on another).
    std::vector<RowStart> entries(std::size_t per_path) const;

    const Block& block() const noexcept { return block_; }
    // Guesses made and row starts scanned in all, for tests and benches.
    std::size_t guesses() const noexcept { return paths_.size(); }
    std::size_t scanned_rows() const noexcept;

  private:
    // The rows of one guess: each row start in the block in order, lines
    // counted from the first, and the exit. A guess that meets an earlier
    // one at a row start ends there and goes on as that one.
    struct Path {
        std::vector<RowStart> starts;
        BlockExit exit;
        std::optional<std::size_t> joins; // the path it meets at its last start
        bool cut = false; // its last row runs past what a guess may read: exit unknown
    };
    std::optional<BlockExit> exit_from(std::size_t path, std::size_t index, RowStart entry) const;

    Block block_;
    std::vector<Path> paths_;
};

// How one block of a plan was entered and left.
struct BlockEntry {
    RowStart entry;
    BlockExit exit;
    bool walked = false; // no scan passed through the true entry
};

// The blocks' entries in order, from the first block's known entry: each
// scan is joined at its block's true start, or the block is walked again.
// The scans must be of consecutive blocks of one range.
std::vector<BlockEntry> compose(const std::vector<BlockScan>& scans, RowStart first,
                                const Grammar& grammar);

// Cuts `range` into blocks of about `block_bytes`, scans them on up to
// `threads` threads (the calling one among them) and composes them from the
// range's start, or from `first` when given (a range that begins inside the
// input, at a row start). The entries are the same for any thread count.
std::vector<BlockEntry> plan(std::string_view range, bool final, bool input_start,
                             const Grammar& grammar, std::size_t block_bytes, unsigned threads,
                             RowStart first = {0, 1});

// The rows of one block from its known entry, in full: each is appended to
// `store`, with its start. Returns the exit, as walk() does.
BlockExit parse(const Block& block, RowStart entry, const Grammar& grammar, RowStore& store,
                std::vector<RowStart>& starts);

} // namespace rowmend::blocks
