#include "salvage/block_pass.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>

#include "salvage/layout_settler.h"
#include "salvage/posix_file.h"

namespace rowmend {

RowFate bring_to_width(RowStore& rows, std::uint64_t columns, const SalvageOptions& options,
                       std::string_view separator) {
    const std::size_t width = rows.last_row().size();
    if (columns == 0 || width == columns)
        return RowFate::Kept;
    if (width < columns) {
        if (!options.fill_ragged_rows)
            return RowFate::TooFew;
        rows.pad_last_row(static_cast<std::size_t>(columns));
        return RowFate::Filled;
    }
    if (!options.merge_overflow)
        return RowFate::TooMany;
    rows.merge_last_row_tail(static_cast<std::size_t>(columns - 1), separator);
    return RowFate::Merged;
}

bool rows_judged_alone(const SalvageOptions& options) noexcept {
    // Repairs placed by the columns' kinds are judged on the pass's thread.
    return !options.place_repairs && !options.skip_blank_rows && options.comment_prefix.empty() &&
           !options.detect_comments && !options.detect_footer && !options.detect_trailing_section &&
           !options.detect_totals && options.footer_rows == 0;
}

unsigned run_threads(const SalvageOptions& options) noexcept {
    return options.threads != 0 ? options.threads : usable_cpus();
}

namespace {

void add_counts(RowCounts& to, const RowCounts& from) noexcept {
    to.total_rows += from.total_rows;
    to.salvaged_rows += from.salvaged_rows;
    to.repaired_rows += from.repaired_rows;
    to.quarantined_rows += from.quarantined_rows;
}

// A test may ask for small blocks, so that few bytes cross many boundaries.
std::size_t block_size(std::size_t asked, unsigned threads) noexcept {
    if (asked != 0)
        return asked;
    if (const char* env = std::getenv("ROWMEND_TEST_BLOCK_BYTES")) {
        const unsigned long long bytes = std::strtoull(env, nullptr, 10);
        if (bytes != 0)
            return static_cast<std::size_t>(bytes);
    }
    const std::size_t share =
        BlockPass::kWindowBytes / (std::size_t{threads} * BlockPass::kBlocksPerThread);
    return std::clamp(share, BlockPass::kMinBlockBytes, BlockPass::kBlockBytes);
}

} // namespace

// One block of a round: the worker's rows from its start, and where they
// left the block.
struct BlockPass::Slot {
    std::unique_ptr<BlockRecord> record;
    RowStore row;
    std::optional<std::size_t> start; // where the worker began, none: nowhere
    std::size_t exit = 0;             // the row start where it stopped
    std::uint64_t exit_line = 0;      // its line, counted from the start's (1)
    ParseStep step = ParseStep::Row;  // Row: it reached the block's end
    bool cut = false;                 // its last row ran past what it may read
    RowCounts counts;
    std::exception_ptr failure;
    std::atomic<bool> done{false};
};

// Where read_rows() stopped: the next row start (an offset in the region),
// its line counted from the first row's (1), and how: Row at the stop,
// NeedMore at a row left for more input, End at the end of input.
struct BlockPass::Reach {
    std::size_t next;
    std::uint64_t line;
    ParseStep step;
};

BlockPass::BlockPass(const SalvageOptions& options, const SalvageCounters& layout,
                     std::string separator, RowSink& sink, unsigned threads,
                     std::size_t block_bytes)
    : options_(options), layout_(layout), separator_(std::move(separator)), sink_(sink),
      threads_(std::max(threads, 2U)), block_bytes_(block_size(block_bytes, threads_)) {
    grammar_.delimiter = layout.detected_delimiter;
    grammar_.quote = layout.detected_quote;
    grammar_.repair_quotes = options.repair_quotes;
    grammar_.escape = layout.detected_escape;
    grammar_.trim_after_delimiter = layout.trim_after_delimiter;
    grammar_.quoting = options.quoting;
    if (options.runaway_quotes) {
        grammar_.runaway_width = static_cast<std::size_t>(layout.inferred_columns);
        grammar_.runaway_rule = *options.runaway_quotes;
    }
}

BlockPass::~BlockPass() = default;

std::unique_ptr<BlockPass> BlockPass::for_sink(const SalvageOptions& options,
                                               const SalvageCounters& layout, std::string separator,
                                               RowSink& sink) {
    const unsigned threads = run_threads(options);
    if (threads < 2 || !rows_judged_alone(options))
        return nullptr;
    auto pass = std::make_unique<BlockPass>(options, layout, std::move(separator), sink, threads,
                                            options.block_bytes);
    pass->catch_up_ = sink.block_record();
    if (!pass->catch_up_)
        return nullptr;
    return pass;
}

BlockPass::Reach BlockPass::read_rows(std::string_view region, std::size_t from, std::size_t stop,
                                      bool final, BlockRecord& record, RowCounts& counts) {
    return read_rows_into(region, from, stop, final, record, counts, row_);
}

BlockPass::Reach BlockPass::read_rows_into(std::string_view region, std::size_t from,
                                           std::size_t stop, bool final, BlockRecord& record,
                                           RowCounts& counts, RowStore& row) const {
    ResilientParser parser(region.substr(from), layout_.detected_delimiter, layout_.detected_quote,
                           options_.repair_quotes, final);
    parser.begin_inside_input();
    configure_parser(parser, options_, layout_, false);
    const std::size_t limit = stop - from;
    const auto columns = static_cast<std::size_t>(layout_.inferred_columns);
    for (;;) {
        if (parser.pos() >= limit)
            return {from + parser.pos(), parser.line(), ParseStep::Row};
        const std::size_t first_line = parser.line();
        std::size_t plain = 0;
        const std::string_view run = parser.take_plain_rows(columns, SIZE_MAX, plain, limit);
        if (plain != 0) {
            counts.total_rows += plain;
            counts.salvaged_rows += plain;
            record.plain_rows(run, plain, first_line);
            continue;
        }
        const std::size_t line = parser.line();
        row.clear();
        const ParseStep step = parser.step_row(row);
        if (step != ParseStep::Row)
            return {from + parser.pos(), parser.line(), step};
        const bool replaced = row.last_row_replaced();
        const RowFate fate = bring_to_width(row, layout_.inferred_columns, options_, separator_);
        ++counts.total_rows;
        if (is_retained(fate)) {
            ++counts.salvaged_rows;
            counts.repaired_rows +=
                is_repaired(fate) || parser.last_row_quote_read_as_text() ? 1 : 0;
        } else {
            ++counts.quarantined_rows;
        }
        record.row(RowEvent{
            fate, line, row.last_row(), parser.last_row_bytes(), parser.last_row_repaired_quote(),
            replaced, parser.last_row_quote_read_as_text(),
            fate == RowFate::Kept && !replaced && parser.last_row_verbatim(), std::string_view{}});
    }
}

void BlockPass::read_block(std::string_view region, bool final, std::size_t k) {
    Slot& slot = *slots_[k];
    const std::size_t begin = k * round_block_;
    const std::size_t end = std::min(region.size(), begin + round_block_);
    slot.start = blocks::common_start(blocks::Block{region, begin, end, final, false}, grammar_);
    if (!slot.start)
        return;
    // A wrong start may take the rest of a long quoted field for a row, and
    // every block reading all of it would be quadratic: a worker reads at
    // most a block's length (64 KiB at least) past its block, and a row
    // that runs further is read again by the pass's thread.
    const std::size_t reach = end + std::max<std::size_t>(end - begin, std::size_t{64} << 10);
    const bool bounded = reach < region.size();
    const Reach reached =
        read_rows_into(bounded ? region.substr(0, reach) : region, *slot.start, end,
                       final && !bounded, *slot.record, slot.counts, slot.row);
    slot.exit = reached.next;
    slot.exit_line = reached.line;
    slot.step = reached.step;
    slot.cut = bounded && reached.step == ParseStep::NeedMore;
}

void BlockPass::run_block(std::string_view region, bool final, std::size_t k,
                          std::size_t count) noexcept {
    Slot& slot = *slots_[k];
    try {
        read_block(region, final, k);
    } catch (...) {
        slot.failure = std::current_exception();
        next_ = count; // the round ends at this block: no more are taken
    }
    slot.done.store(true, std::memory_order_release);
    slot.done.notify_one();
}

void BlockPass::take_blocks(std::string_view region, bool final, std::size_t count) noexcept {
    for (std::size_t k = next_++; k < count; k = next_++)
        run_block(region, final, k, count);
}

BlockPass::Stop BlockPass::round(std::string_view region, bool final, std::uint64_t line,
                                 RowCounts& counts) {
    // A region a little longer than a round is shared out among the round's
    // blocks, rather than leave its last piece to the one-thread loop.
    const std::size_t most = std::size_t{threads_} * kBlocksPerThread;
    round_block_ = block_bytes_;
    if (region.size() > round_block_ * most && region.size() <= round_block_ * most * 3 / 2)
        round_block_ = (region.size() + most - 1) / most;
    const std::size_t count = std::min((region.size() + round_block_ - 1) / round_block_, most);
    while (slots_.size() < count) {
        auto slot = std::make_unique<Slot>();
        slot->record = sink_.block_record();
        slots_.push_back(std::move(slot));
    }
    for (std::size_t k = 0; k < count; ++k) {
        Slot& slot = *slots_[k];
        slot.record->clear();
        slot.start.reset();
        slot.counts = {};
        slot.failure = nullptr;
        slot.done.store(false, std::memory_order_relaxed);
    }
    next_ = 0;

    // Every thread started here has ended when the round returns or throws.
    std::vector<std::jthread> pool;
    struct Ending {
        BlockPass& pass;
        std::vector<std::jthread>& pool;
        std::size_t count;
        ~Ending() {
            pass.next_ = count;
            pool.clear();
        }
    } ending{*this, pool, count};
    const std::size_t helpers = std::min<std::size_t>(threads_ - 1, count - 1);
    pool.reserve(helpers);
    for (std::size_t t = 0; t < helpers; ++t) {
        try {
            pool.emplace_back([this, region, final, count] { take_blocks(region, final, count); });
        } catch (const std::system_error&) {
            break; // no more threads: the ones running take the blocks
        }
    }

    Stop stop{0, line, false, false, false};
    // Hands a record to the sinks with its lines moved on from the entry's.
    const auto take = [&](const BlockRecord& record, const RowCounts& rows) {
        if (!sink_.accepts(record)) {
            stop.refused = true;
            return false;
        }
        add_counts(counts, rows);
        if (!sink_.take_block(record, stop.line - 1)) {
            stop.stopped = true;
            return false;
        }
        return true;
    };
    // Block k from its true entry (stop): true to go on with the next.
    const auto join = [&](std::size_t k) {
        Slot& slot = *slots_[k];
        if (slot.failure)
            std::rethrow_exception(slot.failure);
        const std::size_t end = std::min(region.size(), (k + 1) * round_block_);
        while (stop.offset < end) {
            std::size_t target = end;
            if (slot.start && stop.offset == *slot.start) {
                if (!take(*slot.record, slot.counts))
                    return false;
                ++blocks_taken_;
                stop.line += slot.exit_line - 1;
                stop.offset = slot.exit;
                if (slot.step != ParseStep::Row && !slot.cut)
                    return false; // a row left for more input, or the end
                if (!slot.cut)
                    return true;
            } else if (slot.start && stop.offset < *slot.start) {
                target = *slot.start; // the rows up to where the worker began
            }
            catch_up_->clear();
            RowCounts rows;
            const Reach reached = read_rows(region, stop.offset, target, final, *catch_up_, rows);
            if (!take(*catch_up_, rows))
                return false;
            rows_read_again_ += rows.total_rows;
            stop.line += reached.line - 1;
            stop.offset = reached.next;
            if (reached.step != ParseStep::Row)
                return false;
        }
        return true;
    };

    // The pass's thread reads blocks too, and between them hands on those
    // done, in order.
    std::size_t joined = 0;
    bool going = true;
    for (std::size_t k = next_++; going && k < count; k = next_++) {
        run_block(region, final, k, count);
        while (going && joined < count && slots_[joined]->done.load(std::memory_order_acquire))
            going = join(joined++);
    }
    while (going && joined < count) {
        slots_[joined]->done.wait(false, std::memory_order_acquire);
        going = join(joined++);
    }
    stop.more = going && stop.offset != 0 && stop.offset < region.size();
    return stop;
}

} // namespace rowmend
