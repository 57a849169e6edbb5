#pragma once
// ReportSink: what a run reports, heard from the pass. The settled layout,
// the header's names (the first retained rows, when they name the columns),
// the counts of the data rows (the header's rows are in none of them), each
// row's action when it was not kept as it stood, where in the input such
// rows sit (a line histogram), and the first rows of each action as records.
// The data rows themselves go on to a TableSink, when there is one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "salvage/block_record.h"
#include "salvage/salvage_pass.h"

namespace rowmend {

// What happened to a row that was not kept as it stood; the histogram and
// the record of repairs are indexed by it.
enum class RowAction : std::uint8_t {
    Filled,
    Merged,
    QuoteRepaired,   // kept as it stood but for a stray quote kept as text
    BytesReplaced,   // kept as it stood but for bytes that were not UTF-8
    QuoteReadAsText, // a quote that opened a runaway field read as text
    TooFew,
    TooMany,
    Blank,
    Comment,
    Preamble,
    Footer,
    Section,
};
inline constexpr std::size_t kRowActions = 12;

RowAction row_action(RowFate fate) noexcept;
RowAction row_action(SkipKind kind) noexcept;
// "filled", "merged", "quote repaired", "bytes replaced", "quote read as
// text", "too few fields", "too many fields", then the skip kinds' names.
std::string_view row_action_name(RowAction action) noexcept;

// Where in the input the rows that were not kept as they stood sit, in a
// fixed number of bins over line numbers. A bin starts one line wide and
// all double in width (neighbours summed) whenever a line outruns the last,
// so a file of any length costs the same few kilobytes and every row counts.
class LineHistogram {
  public:
    static constexpr std::size_t kBins = 256;
    using Counts = std::array<std::uint64_t, kBins>;

    void add(RowAction action, std::uint64_t line) noexcept {
        reach(line);
        ++counts_[static_cast<std::size_t>(action)][bin(line)];
    }
    // The input has reached `line`.
    void reach(std::uint64_t line) noexcept {
        if (line > last_line_) {
            last_line_ = line;
            while (bin(line) >= kBins)
                fold();
        }
    }
    std::uint64_t bin_lines() const noexcept { return std::uint64_t{1} << shift_; }
    std::uint64_t last_line() const noexcept { return last_line_; }
    const Counts& counts(RowAction action) const noexcept {
        return counts_[static_cast<std::size_t>(action)];
    }

  private:
    std::size_t bin(std::uint64_t line) const noexcept {
        return static_cast<std::size_t>((line == 0 ? 0 : line - 1) >> shift_);
    }
    void fold() noexcept;

    unsigned shift_ = 0;
    std::uint64_t last_line_ = 0;
    std::array<Counts, kRowActions> counts_{};
};

struct QuarantinedRow {
    std::uint64_t line;
    RowFate fate;
    std::string text;       // the row's input bytes, without its line break
    std::size_t fields = 0; // as parsed
};

// A row kept after filling or merging, as it stood and as it was kept; or
// a row set aside as not part of the table, with no fields.
struct RepairedRow {
    std::uint64_t line;
    RowAction action;
    std::string text;
    std::vector<std::string> fields;
    std::string placement = {}; // RowEvent::placement
};

struct ReportOptions {
    bool header = true;           // the first retained row names the columns, or ...
    bool detected_header = false; // ... the pass says whether it does
    std::size_t max_records = 10000;
    bool record_repairs = false; // keep the first max_records rows of each action too
};

// The table as its data rows are handed on: its width and how the input
// separates fields.
struct TableShape {
    std::size_t width;          // at least 1
    char delimiter;             // between the fields of a plain row
    std::string_view separator; // the delimiter, and a blank after it with ', '
};

// Where a report sink hands the table's data rows, the header's rows taken
// out, once the table's width is known. Views are valid during the call only.
class TableSink {
  public:
    virtual ~TableSink() = default;
    // Rows kept as they stand, each ending in LF, the first on `first_line`
    // and each on the next; a row of more or fewer fields than the width
    // comes only when the pass leaves rows as parsed.
    virtual void plain_rows(std::string_view lines, std::uint64_t first_line,
                            const TableShape& shape) = 0;
    // A row kept as parsed, filled or merged.
    virtual void row(const RowView& fields, std::uint64_t line, const TableShape& shape) = 0;
};

class ReportSink final : public RowSink {
  public:
    explicit ReportSink(const ReportOptions& options, TableSink* table = nullptr)
        : options_(options), table_(table) {}

    bool begin(const SalvageCounters& layout) override;
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) override;
    bool row(const RowEvent& event) override;
    // Blocks' rows are counted and handed on here, in order, as told.
    std::unique_ptr<BlockRecord> block_record() override {
        return std::make_unique<RowEventRecord>();
    }
    bool take_block(const BlockRecord& record, std::uint64_t line_shift) override {
        return static_cast<const RowEventRecord&>(record).replay(*this, line_shift);
    }
    bool skipped(const SkippedRow& row) override;
    bool note(const DetectionNote& note) override;

    bool settled() const noexcept { return settled_; }
    char delimiter() const noexcept { return delimiter_; }
    // The separator as the input writes it: the delimiter, and a blank
    // after it when every delimiter was followed by one.
    std::string_view separator() const noexcept { return separator_; }
    std::uint8_t quote() const noexcept { return quote_; }
    std::uint8_t escape() const noexcept { return escape_; } // 0: none
    std::uint64_t preamble_rows() const noexcept { return preamble_rows_; }
    std::uint64_t layout_columns() const noexcept { return layout_columns_; }
    // The table's width: the column count, or with rows left as parsed the
    // width of the first retained row; 0 until known.
    std::size_t width() const noexcept { return width_; }
    const std::optional<std::vector<std::string>>& header() const noexcept { return header_; }
    // The rows taken as the header's names: in no count, so that these and
    // total_rows add up to every row the pass told of.
    std::uint64_t header_rows() const noexcept { return header_rows_; }
    // The pass's detection notes, as (code, message), in order.
    const std::vector<std::pair<std::string, std::string>>& notes() const noexcept {
        return notes_;
    }
    const RowCounts& counts() const noexcept { return counts_; }
    const std::vector<QuarantinedRow>& quarantine() const noexcept { return quarantine_; }
    const std::vector<RepairedRow>& repairs() const noexcept { return repairs_; }
    const LineHistogram& histogram() const noexcept { return histogram_; }
    // Rows, the header included, in which a quote that opened a runaway
    // field was read as text: how many, and the lines of the first
    // kQuoteLines of them.
    static constexpr std::size_t kQuoteLines = 100;
    std::uint64_t quotes_read_as_text() const noexcept { return quotes_read_as_text_; }
    const std::vector<std::uint64_t>& quote_lines() const noexcept { return quote_lines_; }

  private:
    void set_width(std::size_t width) noexcept {
        width_ = width;
        width_known_ = true;
    }
    TableShape shape() const noexcept { return {width_, delimiter_, separator_}; }
    void take_header(std::vector<std::string> fields);
    bool record(RowAction action) noexcept;

    ReportOptions options_;
    TableSink* table_;
    bool settled_ = false;
    char delimiter_ = ',';
    std::string separator_ = ",";
    std::uint8_t quote_ = '"';
    std::uint8_t escape_ = 0;
    std::uint64_t preamble_rows_ = 0;
    std::uint64_t layout_columns_ = 0;
    std::size_t width_ = 0;
    bool width_known_ = false;
    bool header_pending_ = false;
    std::size_t header_rows_left_ = 0; // header rows still to come, their names joined
    std::optional<std::vector<std::string>> header_;
    std::vector<std::vector<std::string>> header_parts_; // the header's rows so far
    std::uint64_t header_rows_ = 0;
    std::vector<std::pair<std::string, std::string>> notes_;
    RowCounts counts_;
    std::vector<QuarantinedRow> quarantine_;
    std::vector<RepairedRow> repairs_;
    std::array<std::size_t, kRowActions> recorded_{}; // repairs_ per action
    LineHistogram histogram_;
    std::uint64_t quotes_read_as_text_ = 0;
    std::vector<std::uint64_t> quote_lines_;
};

} // namespace rowmend
