#include "parser/block_states.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace rowmend::blocks {

namespace {

constexpr char kLf = '\n';
constexpr char kCr = '\r';

// The offset right after the line break at `at`: CR LF is one break.
std::size_t after_break(std::string_view range, std::size_t at) noexcept {
    return range[at] == kCr && at + 1 < range.size() && range[at + 1] == kLf ? at + 2 : at + 1;
}

// Whether a row may start at `at`: the range's start, or right after a line
// break (and not between the CR and LF of one).
bool after_a_break(std::string_view range, std::size_t at) noexcept {
    if (at == 0)
        return true;
    const char before = range[at - 1];
    return before == kLf || (before == kCr && (at == range.size() || range[at] != kLf));
}

// The first row start after a line break at or past `from`, reading the
// bytes as outside quotes (`inside` false) or inside a quoted field: quotes
// switch between the two, and only a break outside quotes ends a row. Only
// starts before `end` count.
std::optional<std::size_t> first_start(std::string_view range, std::size_t from, std::size_t end,
                                       char quote, bool inside) noexcept {
    for (std::size_t at = from; at < end; ++at) {
        const char c = range[at];
        if (c == quote) {
            inside = !inside;
        } else if ((c == kLf || c == kCr) && !inside) {
            const std::size_t start = after_break(range, at);
            return start < end ? std::optional<std::size_t>(start) : std::nullopt;
        }
    }
    return std::nullopt;
}

// Walks rows from `entry`, calling `each(start)` at every row start in the
// block before the parser takes that row; `step(parser)` takes it.
template <class Each, class Step>
BlockExit walk_rows(const Block& block, RowStart entry, const Grammar& grammar, Each&& each,
                    Step&& step) {
    ResilientParser parser = parser_at(block, entry.offset, grammar);
    BlockExit exit;
    for (;;) {
        // The entry is the first row's start even where the parser steps
        // over a byte-order mark.
        const RowStart at{exit.rows == 0 ? entry.offset : entry.offset + parser.pos(),
                          entry.line + (parser.line() - 1)};
        exit.next = at;
        if (at.offset >= block.end || at.offset >= block.range.size())
            return exit;
        each(at);
        const ParseStep taken = step(parser);
        if (taken == ParseStep::End) // past a byte-order mark that was all there was
            exit.next.offset = entry.offset + parser.pos();
        if (taken != ParseStep::Row) {
            exit.pending = taken == ParseStep::NeedMore;
            return exit;
        }
        ++exit.rows;
    }
}

} // namespace

ResilientParser parser_at(const Block& block, std::size_t at, const Grammar& grammar) {
    ResilientParser parser(block.range.substr(at), grammar.delimiter, grammar.quote,
                           grammar.repair_quotes, block.final);
    if (at != 0 || !block.input_start)
        parser.begin_inside_input();
    parser.set_escape(grammar.escape);
    parser.set_trim_after_delimiter(grammar.trim_after_delimiter);
    parser.set_quoting(grammar.quoting);
    if (grammar.runaway_width != 0)
        parser.set_runaway_quotes(grammar.runaway_width, grammar.runaway_rule);
    return parser;
}

BlockExit walk(const Block& block, RowStart entry, const Grammar& grammar) {
    RowShape shape;
    return walk_rows(
        block, entry, grammar, [](RowStart) {},
        [&](ResilientParser& parser) { return parser.step_shape(shape); });
}

BlockExit parse(const Block& block, RowStart entry, const Grammar& grammar, RowStore& store,
                std::vector<RowStart>& starts) {
    return walk_rows(
        block, entry, grammar, [&](RowStart at) { starts.push_back(at); },
        [&](ResilientParser& parser) {
            const ParseStep step = parser.step_row(store);
            if (step != ParseStep::Row)
                starts.pop_back();
            return step;
        });
}

BlockScan BlockScan::scan(const Block& block, const Grammar& grammar) {
    BlockScan scan;
    scan.block_ = block;
    std::vector<std::size_t> guesses;
    if (block.begin < block.end && after_a_break(block.range, block.begin))
        guesses.push_back(block.begin);
    // Without quoting no byte opens a quoted field.
    for (const bool inside : {false, true}) {
        if (inside && !grammar.quoting)
            continue;
        if (auto start = first_start(block.range, block.begin, block.end,
                                     static_cast<char>(grammar.quote), inside))
            guesses.push_back(*start);
    }
    std::sort(guesses.begin(), guesses.end());
    guesses.erase(std::unique(guesses.begin(), guesses.end()), guesses.end());

    // What the guesses read: up to a block's length past the block, and
    // for small blocks 64 KiB, so that rows longer than a block still join.
    Block bounded = block;
    const std::size_t reach =
        block.end + std::max<std::size_t>(block.end - block.begin, std::size_t{64} << 10);
    if (reach < block.range.size()) {
        bounded.range = block.range.substr(0, reach);
        bounded.final = false;
    }
    const bool bounded_cut = bounded.range.size() != block.range.size();
    RowShape shape;
    for (const std::size_t guess : guesses) {
        Path path;
        // A guess that meets an earlier one at a row start goes on as that
        // one from there: rows depend only on where they start.
        const auto met = [&](std::size_t offset) -> std::optional<std::size_t> {
            for (std::size_t i = 0; i < scan.paths_.size(); ++i) {
                const std::vector<RowStart>& starts = scan.paths_[i].starts;
                const auto it =
                    std::lower_bound(starts.begin(), starts.end(), offset,
                                     [](const RowStart& s, std::size_t o) { return s.offset < o; });
                if (it != starts.end() && it->offset == offset)
                    return i;
            }
            return std::nullopt;
        };
        ResilientParser parser = parser_at(bounded, guess, grammar);
        std::uint64_t rows = 0;
        for (;;) {
            const RowStart at{rows == 0 ? guess : guess + parser.pos(), parser.line() - 1};
            path.exit.next = at;
            if (at.offset >= block.end || at.offset >= block.range.size())
                break;
            path.starts.push_back(at);
            path.joins = met(at.offset);
            if (path.joins)
                break;
            const ParseStep step = parser.step_shape(shape);
            if (step == ParseStep::End)
                path.exit.next.offset = guess + parser.pos();
            if (step != ParseStep::Row) {
                path.exit.pending = step == ParseStep::NeedMore;
                path.cut = path.exit.pending && bounded_cut;
                break;
            }
            ++rows;
        }
        path.exit.rows = rows;
        scan.paths_.push_back(std::move(path));
    }
    return scan;
}

std::vector<RowStart> BlockScan::entries(std::size_t per_path) const {
    std::vector<RowStart> starts;
    for (const Path& path : paths_) {
        const std::size_t n = std::min(per_path, path.starts.size());
        starts.insert(starts.end(), path.starts.begin(),
                      path.starts.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return starts;
}

std::size_t BlockScan::scanned_rows() const noexcept {
    std::size_t rows = 0;
    for (const Path& path : paths_)
        rows += path.exit.rows;
    return rows;
}

std::optional<BlockExit> BlockScan::exit_from(std::size_t path, std::size_t index,
                                              RowStart entry) const {
    const Path& p = paths_[path];
    const RowStart from = p.starts[index];
    if (p.joins) {
        // Up to where it met the earlier guess, then as that one.
        const RowStart meet = p.starts.back();
        const RowStart there{meet.offset, entry.line + (meet.line - from.line)};
        const std::vector<RowStart>& other = paths_[*p.joins].starts;
        const auto it =
            std::lower_bound(other.begin(), other.end(), meet.offset,
                             [](const RowStart& s, std::size_t o) { return s.offset < o; });
        std::optional<BlockExit> exit =
            exit_from(*p.joins, static_cast<std::size_t>(it - other.begin()), there);
        if (exit)
            exit->rows += p.starts.size() - 1 - index;
        return exit;
    }
    if (p.cut)
        return std::nullopt;
    BlockExit exit = p.exit;
    exit.rows -= index;
    exit.next.line = entry.line + (p.exit.next.line - from.line);
    return exit;
}

std::optional<BlockExit> BlockScan::join(RowStart entry) const {
    if (entry.offset >= block_.end || entry.offset >= block_.range.size())
        return BlockExit{entry, 0, false};
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        const std::vector<RowStart>& starts = paths_[i].starts;
        const auto it =
            std::lower_bound(starts.begin(), starts.end(), entry.offset,
                             [](const RowStart& s, std::size_t o) { return s.offset < o; });
        if (it != starts.end() && it->offset == entry.offset)
            return exit_from(i, static_cast<std::size_t>(it - starts.begin()), entry);
    }
    return std::nullopt;
}

std::vector<BlockEntry> compose(const std::vector<BlockScan>& scans, RowStart first,
                                const Grammar& grammar) {
    std::vector<BlockEntry> entries;
    entries.reserve(scans.size());
    RowStart at = first;
    for (const BlockScan& scan : scans) {
        // A row left for more input holds back every block after it.
        if (!entries.empty() && entries.back().exit.pending)
            break;
        std::optional<BlockExit> exit = scan.join(at);
        const bool walked = !exit;
        if (walked)
            exit = walk(scan.block(), at, grammar);
        entries.push_back({at, *exit, walked});
        at = exit->next;
    }
    return entries;
}

std::vector<BlockEntry> plan(std::string_view range, bool final, bool input_start,
                             const Grammar& grammar, std::size_t block_bytes, unsigned threads,
                             RowStart first) {
    const std::size_t size = std::max<std::size_t>(block_bytes, 1);
    const std::size_t count = range.empty() ? 1 : (range.size() + size - 1) / size;
    std::vector<BlockScan> scans(count);
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_lock;
    // Each worker takes the next block not yet taken; a failure (memory)
    // ends the workers and is raised on the calling thread.
    const auto work = [&]() noexcept {
        try {
            for (std::size_t k = next++; k < count; k = next++) {
                const Block block{range, k * size, std::min(range.size(), (k + 1) * size), final,
                                  input_start};
                scans[k] = BlockScan::scan(block, grammar);
            }
        } catch (...) {
            next = count;
            const std::lock_guard<std::mutex> lock(failure_lock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    const std::size_t helpers = std::min<std::size_t>(threads > 1 ? threads - 1 : 0, count - 1);
    pool.reserve(helpers);
    for (std::size_t t = 0; t < helpers; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break; // no more threads: the ones running take the blocks
        }
    }
    work();
    for (std::thread& thread : pool)
        thread.join();
    if (failure)
        std::rethrow_exception(failure);
    return compose(scans, first, grammar);
}

} // namespace rowmend::blocks
