// The row parser on any bytes, in three ways at once: full mode, counting
// mode and a plain byte-at-a-time rendering of its rules. They must agree on
// every row boundary, field and line number; every row has a field, every
// field is valid UTF-8, and the end of input stays the end. The heuristics,
// reading a growing prefix once, answer at every prefix as they do when
// they read that prefix whole.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "heuristics/width_mode.h"
#include "parser/block_states.h"
#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "parser/utf8.h"
#include "reference_parser.h"
#include "salvage/csv_output.h"

namespace {

using namespace rowmend;
using namespace rowmend::fuzz;

// The reference rescans lines for every stray quote; above this size (only
// large replayed seeds get there) it would dominate the run.
constexpr std::size_t kReferenceLimit = 64 * 1024;
// Each prefix is read whole once more to compare: kept to small inputs, where
// the cuts fall everywhere that matters anyway.
constexpr std::size_t kGrowingPrefixLimit = 8 * 1024;

void check_row(const RowView& row) {
    FUZZ_CHECK(row.size() >= 1);
    std::string joined;
    for (const FieldView field : row) {
        FUZZ_CHECK(valid_utf8(field.text));
        // The ASCII flag lets readers skip decoding; it must never claim too much.
        FUZZ_CHECK(!field.ascii || all_ascii(field.text));
        joined.append(field.text);
    }
    FUZZ_CHECK(row.bytes() == joined);
}

void check_against_reference(const RowView& row, const std::vector<std::string>& raw) {
    FUZZ_CHECK(row.size() == raw.size());
    std::size_t i = 0;
    for (const FieldView field : row) {
        std::string expected;
        utf8::append_lossy(expected, raw[i]);
        FUZZ_CHECK(field.text == expected);
        // Well-formed bytes come through untouched.
        FUZZ_CHECK(!valid_utf8(raw[i]) || field.text == raw[i]);
        ++i;
    }
}

bool same_widths(std::optional<std::span<const std::size_t>> a, std::optional<std::size_t> b_count,
                 const std::vector<std::size_t>& b) {
    if (!a || !b_count)
        return !a && !b_count;
    return std::equal(a->begin(), a->end(), b.begin(),
                      b.begin() + static_cast<std::ptrdiff_t>(*b_count));
}

// The prefixes grow a byte at a time on small inputs, by half otherwise, as
// the pass's retries on a doubled prefix do.
void check_growing_prefixes(std::string_view csv, std::uint8_t delimiter, bool byte_steps) {
    DelimiterSniffer sniffer;
    std::optional<ColumnCounter> after_sniff; // goes on from the sniffer's rows
    ColumnCounter counter(delimiter);
    std::vector<RowWidthSampler> every_row;
    for (const std::uint8_t d : kDelimiterCandidates)
        every_row.emplace_back(d, SIZE_MAX);
    every_row.emplace_back(delimiter, SIZE_MAX);
    std::vector<std::size_t> widths(csv.size() + 1);

    for (std::size_t len = 0;;) {
        len = std::min(csv.size(), len + (byte_steps ? 1 : 1 + len / 2));
        const bool final = len == csv.size();
        const std::string_view prefix = csv.substr(0, len);
        const std::optional<std::uint8_t> sniffed = sniffer.sniff(prefix, final);
        FUZZ_CHECK(sniffed == sniff_delimiter_prefix(prefix, final));
        if (sniffed && !after_sniff)
            after_sniff.emplace(sniffer.take_rows(*sniffed));
        if (after_sniff)
            FUZZ_CHECK(after_sniff->infer(prefix, final) ==
                       infer_column_count_prefix(prefix, *sniffed, final));
        FUZZ_CHECK(counter.infer(prefix, final) ==
                   infer_column_count_prefix(prefix, delimiter, final));
        for (RowWidthSampler& rows : every_row) {
            const std::optional<std::size_t> whole =
                sample_row_widths(prefix, rows.delimiter(), final, std::span<std::size_t>(widths));
            FUZZ_CHECK(same_widths(rows.sample(prefix, final), whole, widths));
        }
        if (final)
            break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const FuzzOptions options = take_options(in);
    const std::string_view csv = in.rest();
    const SalvageOptions& salvage = options.salvage;
    const std::uint8_t delimiter = salvage.delimiter ? *salvage.delimiter : sniff_delimiter(csv);
    const std::uint8_t quote = salvage.quote_char;
    const bool repair = salvage.repair_quotes;

    ResilientParser full(csv, delimiter, quote, repair);
    ResilientParser counting(csv, delimiter, quote, repair);
    for (ResilientParser* parser : {&full, &counting}) {
        parser->set_escape(salvage.escape_char);
        parser->set_trim_after_delimiter(salvage.trim_after_delimiter);
    }
    std::optional<ReferenceParser> reference;
    if (csv.size() <= kReferenceLimit)
        reference.emplace(csv, delimiter, quote, repair, salvage.escape_char,
                          salvage.trim_after_delimiter);
    // A tiny inline limit sends most fields through the store's side table
    // of long fields, which real input reaches only at 2 GiB.
    RowStore store(options.target_flag ? 3 : RowStore::kInlineLimit);
    RowShape shape;
    std::vector<std::string> raw;

    std::size_t rows = 0;
    std::size_t last_pos = full.pos();
    std::size_t last_line = full.line();
    FUZZ_CHECK(last_line == 1);
    std::vector<blocks::RowStart> starts; // the first at 0, a byte-order mark or not
    while (full.next_row(store)) {
        starts.push_back({rows == 0 ? 0 : last_pos, last_line});
        ++rows;
        FUZZ_CHECK(store.row_count() == rows);
        const RowView row = store.last_row();
        check_row(row);
        // A row said to be its own written form is copied out as it stands:
        // the formatter must write those very bytes.
        if (full.last_row_verbatim() && !store.last_row_replaced()) {
            const std::string_view text = full.last_row_bytes();
            const auto at = static_cast<std::size_t>(text.data() - csv.data());
            std::string line;
            CleanCsvFormat(delimiter, quote).append_line(line, row);
            FUZZ_CHECK(line == csv.substr(at, text.size() + 1));
        }
        // Every row consumes input, so a parse always ends.
        FUZZ_CHECK(full.pos() > last_pos && full.pos() <= csv.size());
        FUZZ_CHECK(full.line() >= last_line);

        FUZZ_CHECK(counting.next_row_shape(shape));
        FUZZ_CHECK(counting.pos() == full.pos());
        FUZZ_CHECK(counting.line() == full.line());
        FUZZ_CHECK(shape.field_count == row.size());
        FUZZ_CHECK(shape.blank == (row.size() == 1 && only_white_space(row.field(0).text)));

        if (reference) {
            FUZZ_CHECK(reference->next_row(raw));
            check_against_reference(row, raw);
            FUZZ_CHECK(reference->pos() == full.pos());
            FUZZ_CHECK(reference->line() == full.line());
        }
        last_pos = full.pos();
        last_line = full.line();
    }
    FUZZ_CHECK(full.pos() == csv.size());
    FUZZ_CHECK(!counting.next_row_shape(shape));
    if (reference)
        FUZZ_CHECK(!reference->next_row(raw));

    // The end of input is final and changes nothing, however often it is asked for.
    const std::size_t fields = store.field_count();
    const std::size_t bytes = store.byte_count();
    for (int again = 0; again < 2; ++again) {
        FUZZ_CHECK(!full.next_row(store));
        FUZZ_CHECK(!counting.next_row_shape(shape));
        FUZZ_CHECK(full.pos() == csv.size() && counting.pos() == csv.size());
        FUZZ_CHECK(full.line() == last_line && counting.line() == last_line);
        FUZZ_CHECK(store.row_count() == rows && store.field_count() == fields &&
                   store.byte_count() == bytes);
    }

    if (csv.size() <= kGrowingPrefixLimit)
        check_growing_prefixes(csv, delimiter, csv.size() <= 256);

    // Blocks scanned apart, on one thread and on three, and joined: every
    // block enters at a row start of the whole parse, on its line, and the
    // last leaves at the end of input, after every row.
    blocks::Grammar grammar{delimiter, quote, repair, salvage.escape_char,
                            salvage.trim_after_delimiter};
    // Small blocks for small inputs; a few dozen for large ones, whose
    // guesses may each read 64 KiB past their block.
    const std::size_t block_bytes =
        1 + (csv.size() * 7 + rows) % std::max<std::size_t>(97, csv.size() / 16);
    for (const unsigned threads : {1U, 3U}) {
        const std::vector<blocks::BlockEntry> plan =
            blocks::plan(csv, true, true, grammar, block_bytes, threads);
        std::uint64_t planned_rows = 0;
        for (const blocks::BlockEntry& e : plan) {
            // The first entry is the input's start, even before a lone
            // byte-order mark where no row starts.
            const bool at_end = e.entry.offset == csv.size() && e.entry.line == last_line;
            const bool first = &e == &plan.front() && e.entry.offset == 0 && e.entry.line == 1;
            FUZZ_CHECK(at_end || first ||
                       std::any_of(starts.begin(), starts.end(), [&](const auto& s) {
                           return s.offset == e.entry.offset && s.line == e.entry.line;
                       }));
            FUZZ_CHECK(!e.exit.pending);
            planned_rows += e.exit.rows;
        }
        FUZZ_CHECK(planned_rows == rows);
        FUZZ_CHECK(plan.back().exit.next.offset == csv.size());
        FUZZ_CHECK(plan.back().exit.next.line == last_line);
    }

    // Earlier rows survive the arena growing under later ones.
    for (std::size_t r = 0; r < rows; ++r)
        check_row(store.row(r));
    return 0;
}
