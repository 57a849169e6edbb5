// The salvage pass on any bytes and any options. The counters add up, and
// every row the parser yields is accounted for exactly once: retained as
// parsed, filled, merged, or quarantined with its reason and line. With the
// target's flag, runaway quotes are read as text under a rule small enough
// for fuzz inputs to reach; the rows before the first such quote are then
// those of the default reading.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "heuristics/delimiter_sniffer.h"
#include "heuristics/dialect.h"
#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "salvage/salvage_pass.h"
#include "salvage/salvage_slice.h"

namespace {

using namespace rowmend;
using namespace rowmend::fuzz;

void check_fields_valid(const RowView& row) {
    for (const FieldView field : row) {
        FUZZ_CHECK(valid_utf8(field.text));
        FUZZ_CHECK(!field.ascii || all_ascii(field.text));
    }
}

bool same_fields(const RowView& a, const RowView& b) {
    if (a.size() != b.size())
        return false;
    auto j = b.begin();
    for (const FieldView field : a) {
        if (field.text != (*j).text)
            return false;
        ++j;
    }
    return true;
}

// The delimiter byte as it appears between merged fields: the character of
// that code point in UTF-8.
std::string delimiter_text(std::uint8_t byte) {
    if (byte < 0x80)
        return std::string(1, static_cast<char>(byte));
    return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

// `got` is `parsed` brought to `columns` fields: padded with empty fields,
// or with the surplus joined into the last field.
bool is_reshaped(const RowView& got, const RowView& parsed, std::size_t columns,
                 const std::string& separator) {
    if (got.size() != columns)
        return false;
    auto p = parsed.begin();
    std::size_t i = 0;
    for (const FieldView field : got) {
        if (i < parsed.size() && i + 1 < columns) {
            if (field.text != (*p).text)
                return false;
            ++p;
        } else if (i < parsed.size()) { // the last column takes everything left
            std::string merged((*p).text);
            for (++p; p != parsed.end(); ++p)
                merged.append(separator).append((*p).text);
            if (field.text != merged)
                return false;
        } else if (!field.text.empty()) {
            return false;
        }
        ++i;
    }
    return true;
}

// The same input pushed in windows of pseudo-random sizes, down to one byte,
// must give what the whole buffer gave: the same rows, records and counters,
// with each row's input bytes in order and on the lines they began on.
void check_windows(std::string_view csv, const SalvageOptions& options,
                   const SalvageOutcome& whole) {
    struct Replay final : RowSink {
        const SalvageOutcome& whole;
        std::string_view csv;
        std::size_t retained = 0, quarantined = 0;
        char delimiter = ',';
        explicit Replay(const SalvageOutcome& w, std::string_view c) : whole(w), csv(c) {}
        bool begin(const SalvageCounters& layout) override {
            FUZZ_CHECK(layout.detected_delimiter == whole.counters.detected_delimiter);
            FUZZ_CHECK(layout.inferred_columns == whole.counters.inferred_columns);
            delimiter = static_cast<char>(layout.detected_delimiter);
            return true;
        }
        bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t) override {
            for (std::size_t i = 0; i < rows; ++i) {
                const std::size_t lf = lines.find('\n');
                FUZZ_CHECK(lf != std::string_view::npos);
                RowStore split;
                split.append_split_row(lines.substr(0, lf), delimiter);
                FUZZ_CHECK(retained < whole.rows.row_count());
                FUZZ_CHECK(same_fields(split.last_row(), whole.rows.row(retained++)));
                lines.remove_prefix(lf + 1);
            }
            FUZZ_CHECK(lines.empty());
            return true;
        }
        bool row(const RowEvent& event) override {
            // A row's bytes are a piece of the input, no longer than what is left.
            FUZZ_CHECK(event.text.size() <= csv.size());
            if (is_retained(event.fate)) {
                FUZZ_CHECK(retained < whole.rows.row_count());
                FUZZ_CHECK(same_fields(event.fields, whole.rows.row(retained++)));
            } else {
                FUZZ_CHECK(quarantined < whole.quarantine.size());
                const std::size_t q = quarantined++;
                FUZZ_CHECK(same_fields(event.fields, whole.quarantine.fields(q)));
                FUZZ_CHECK(event.line == whole.quarantine.line(q));
                FUZZ_CHECK(event.fate == whole.quarantine.fate(q));
            }
            return true;
        }
    } replay(whole, csv);
    SalvagePass pass(options, replay);
    std::uint32_t state = static_cast<std::uint32_t>(csv.size()) * 2654435761U + 1;
    for (std::size_t at = 0; at < csv.size();) {
        state = state * 1664525U + 1013904223U;
        const std::size_t chunk = std::min<std::size_t>(1 + (state >> 24) % 19, csv.size() - at);
        FUZZ_CHECK(pass.feed(csv.data() + at, chunk));
        at += chunk;
    }
    FUZZ_CHECK(pass.finish());
    FUZZ_CHECK(pass.finished());
    FUZZ_CHECK(replay.retained == whole.rows.row_count());
    FUZZ_CHECK(replay.quarantined == whole.quarantine.size());
    const SalvageCounters& a = pass.counters();
    const SalvageCounters& b = whole.counters;
    FUZZ_CHECK(a.total_rows == b.total_rows && a.salvaged_rows == b.salvaged_rows &&
               a.repaired_rows == b.repaired_rows && a.quarantined_rows == b.quarantined_rows);
    FUZZ_CHECK(a.skipped_rows == b.skipped_rows && a.skipped_by_kind == b.skipped_by_kind &&
               a.header_rows == b.header_rows && a.preamble_rows == b.preamble_rows);
}

// With every detection the package uses on, each row the parser finds is
// kept, quarantined or set aside, exactly once: the header's rows are among
// the kept ones, so header rows and the rest add up to the records parsed.
// Pushed in windows, the pass settles the same layout and header.
void check_detections(std::string_view csv, SalvageOptions options) {
    options.skip_blank_rows = options.detect_header = options.detect_comments = true;
    options.detect_preamble = options.detect_trailing_section = options.detect_totals = true;
    options.place_repairs = true;
    const SalvageOutcome outcome = salvage_slice(csv, options);
    const SalvageCounters& counters = outcome.counters;
    FUZZ_CHECK(counters.total_rows ==
               counters.salvaged_rows + counters.quarantined_rows + counters.skipped_rows);
    std::uint64_t by_kind = 0;
    for (const std::uint64_t n : counters.skipped_by_kind)
        by_kind += n;
    FUZZ_CHECK(by_kind == counters.skipped_rows);
    FUZZ_CHECK(counters.header_row == (counters.header_rows != 0));
    FUZZ_CHECK(counters.header_rows <= kMaxHeaderRows);
    FUZZ_CHECK(counters.salvaged_rows == outcome.rows.row_count());
    ResilientParser parser(csv, counters.detected_delimiter, counters.detected_quote,
                           options.repair_quotes);
    parser.set_escape(counters.detected_escape);
    parser.set_trim_after_delimiter(counters.trim_after_delimiter);
    if (options.runaway_quotes)
        parser.set_runaway_quotes(static_cast<std::size_t>(counters.inferred_columns),
                                  *options.runaway_quotes);
    RowStore parsed;
    std::uint64_t records = 0;
    while (parser.next_row(parsed)) {
        ++records;
        parsed.clear();
    }
    FUZZ_CHECK(records == counters.total_rows);
    check_windows(csv, options, outcome);
}

// Small enough that inputs of a few hundred bytes cross both bounds.
constexpr RunawayQuoteRule kFuzzRunawayRule{2, 24};

// Up to the first row whose quote was read as text, the reading with
// runaway quotes is the default one, row for row.
void check_same_until_read_as_text(std::string_view csv, const SalvageCounters& counters,
                                   const SalvageOptions& options) {
    ResilientParser with(csv, counters.detected_delimiter, counters.detected_quote,
                         options.repair_quotes);
    ResilientParser without(csv, counters.detected_delimiter, counters.detected_quote,
                            options.repair_quotes);
    for (ResilientParser* parser : {&with, &without}) {
        parser->set_escape(counters.detected_escape);
        parser->set_trim_after_delimiter(counters.trim_after_delimiter);
    }
    with.set_runaway_quotes(static_cast<std::size_t>(counters.inferred_columns),
                            *options.runaway_quotes);
    RowStore a, b;
    while (with.next_row(a)) {
        if (with.last_row_quote_read_as_text()) {
            FUZZ_CHECK(without.next_row(b));
            return;
        }
        FUZZ_CHECK(without.next_row(b));
        FUZZ_CHECK(same_fields(a.last_row(), b.last_row()));
        FUZZ_CHECK(with.pos() == without.pos() && with.line() == without.line());
    }
    FUZZ_CHECK(!without.next_row(b));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const FuzzOptions fuzz_options = take_options(in);
    SalvageOptions options = fuzz_options.salvage;
    if (fuzz_options.target_flag)
        options.runaway_quotes = kFuzzRunawayRule;
    const std::string_view csv = in.rest();
    const SalvageOutcome outcome = salvage_slice(csv, options);
    const SalvageCounters& counters = outcome.counters;

    FUZZ_CHECK(counters.total_rows == counters.salvaged_rows + counters.quarantined_rows);
    FUZZ_CHECK(counters.repaired_rows <= counters.salvaged_rows);
    FUZZ_CHECK(counters.salvaged_rows == outcome.rows.row_count());
    FUZZ_CHECK(counters.quarantined_rows == outcome.quarantine.size());

    if (csv.empty()) {
        FUZZ_CHECK(counters.total_rows == 0 && counters.inferred_columns == 0 &&
                   counters.detected_delimiter == ',');
        return 0;
    }
    if (options.delimiter) {
        FUZZ_CHECK(counters.detected_delimiter == *options.delimiter);
    } else {
        bool candidate = false;
        for (const std::uint8_t c : kDelimiterCandidates) {
            candidate |= counters.detected_delimiter == c;
        }
        for (const std::uint8_t c : kDialectDelimiters) {
            candidate |= options.detect_dialect && counters.detected_delimiter == c;
        }
        FUZZ_CHECK(candidate);
    }
    if (options.expected_columns) {
        FUZZ_CHECK(counters.inferred_columns == *options.expected_columns);
    }

    for (std::size_t r = 0; r < outcome.rows.row_count(); ++r) {
        const RowView row = outcome.rows.row(r);
        FUZZ_CHECK(row.size() >= 1);
        FUZZ_CHECK(counters.inferred_columns == 0 || row.size() == counters.inferred_columns);
        check_fields_valid(row);
    }

    // Parse again and follow each row to where the pass must have put it.
    const auto columns = static_cast<std::size_t>(counters.inferred_columns);
    const std::string separator =
        delimiter_text(counters.detected_delimiter) + (counters.trim_after_delimiter ? " " : "");
    const std::string expected = "(expected " + std::to_string(columns) + ")";
    const std::string too_few = "Row has too few columns " + expected;
    const std::string too_many = "Row has extra columns " + expected;
    ResilientParser parser(csv, counters.detected_delimiter, counters.detected_quote,
                           options.repair_quotes);
    // Counting mode reads the same rows, runaway quotes and all.
    ResilientParser counting(csv, counters.detected_delimiter, counters.detected_quote,
                             options.repair_quotes);
    for (ResilientParser* p : {&parser, &counting}) {
        p->set_escape(counters.detected_escape);
        p->set_trim_after_delimiter(counters.trim_after_delimiter);
        if (options.runaway_quotes)
            p->set_runaway_quotes(columns, *options.runaway_quotes);
    }
    RowShape shape;
    RowStore parsed;
    std::size_t retained = 0, quarantined = 0, repaired = 0, total = 0;
    std::size_t line = parser.line();
    while (parser.next_row(parsed)) {
        ++total;
        const RowView row = parsed.last_row();
        const std::size_t k = row.size();
        FUZZ_CHECK(counting.next_row_shape(shape));
        FUZZ_CHECK(shape.field_count == k && counting.pos() == parser.pos() &&
                   counting.line() == parser.line());
        FUZZ_CHECK(!parser.last_row_quote_read_as_text() || options.runaway_quotes);
        const bool fits = columns == 0 || k == columns;
        const bool reshaped =
            !fits && (k < columns ? options.fill_ragged_rows : options.merge_overflow);
        if (fits || reshaped) {
            FUZZ_CHECK(retained < outcome.rows.row_count());
            const RowView got = outcome.rows.row(retained++);
            if (fits) {
                FUZZ_CHECK(same_fields(got, row));
                repaired += parser.last_row_quote_read_as_text() ? 1 : 0;
            } else {
                FUZZ_CHECK(is_reshaped(got, row, columns, separator));
                ++repaired;
            }
        } else {
            FUZZ_CHECK(quarantined < outcome.quarantine.size());
            const std::size_t q = quarantined++;
            const RowView fields = outcome.quarantine.fields(q);
            FUZZ_CHECK(same_fields(fields, row));
            check_fields_valid(fields);
            FUZZ_CHECK(outcome.quarantine.reason(q) == (k < columns ? too_few : too_many));
            const RowFate fate = k < columns ? RowFate::TooFew : RowFate::TooMany;
            FUZZ_CHECK(outcome.quarantine.fate(q) == fate);
            // A record names the physical line its row begins on.
            FUZZ_CHECK(outcome.quarantine.line(q) == line);
        }
        line = parser.line();
    }
    FUZZ_CHECK(total == counters.total_rows);
    FUZZ_CHECK(retained == counters.salvaged_rows);
    FUZZ_CHECK(quarantined == counters.quarantined_rows);
    FUZZ_CHECK(repaired == counters.repaired_rows);
    FUZZ_CHECK(!counting.next_row_shape(shape));

    check_windows(csv, options, outcome);
    if (options.runaway_quotes)
        check_same_until_read_as_text(csv, counters, options);
    check_detections(csv, options);
    return 0;
}
