#include "salvage/salvage_slice.h"

#include <cassert>

namespace rowmend {

void QuarantineList::add(const RowView& fields, RowFate fate, std::size_t line) {
    lines_.push_back(line);
    fates_.push_back(fate);
    rows_.append_row(fields);
}

void QuarantineList::release() noexcept {
    rows_.release();
    std::vector<std::size_t>().swap(lines_);
    std::vector<RowFate>().swap(fates_);
}

namespace {

// Keeps every retained row and every quarantined one.
class OutcomeSink final : public RowSink {
  public:
    explicit OutcomeSink(SalvageOutcome& outcome) noexcept : outcome_(outcome) {}
    bool begin(const SalvageCounters& layout) override {
        outcome_.quarantine.set_columns(layout.inferred_columns);
        delimiter_ = static_cast<char>(layout.detected_delimiter);
        return true;
    }
    bool plain_rows(std::string_view lines, std::size_t, std::uint64_t) override {
        outcome_.rows.append_split_lines(lines, delimiter_);
        return true;
    }
    bool row(const RowEvent& event) override {
        if (is_retained(event.fate))
            outcome_.rows.append_row(event.fields);
        else
            outcome_.quarantine.add(event.fields, event.fate, event.line);
        return true;
    }

  private:
    SalvageOutcome& outcome_;
    char delimiter_ = ',';
};

} // namespace

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options) {
    SalvageOutcome outcome;
    OutcomeSink sink(outcome);
    SalvagePass pass(options, sink);
    pass.run_buffer(input);
    outcome.counters = pass.counters();
    outcome.range_unsure = pass.range_unsure();
    assert(outcome.counters.salvaged_rows == outcome.rows.row_count());
    assert(outcome.counters.quarantined_rows == outcome.quarantine.size());
    return outcome;
}

} // namespace rowmend
