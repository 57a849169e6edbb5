#pragma once
// The pass run over one buffer in memory: every retained row and every
// quarantined one kept, as the engine's tests and fuzz targets read them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "parser/row_store.h"
#include "salvage/salvage_options.h"
#include "salvage/salvage_pass.h"

namespace rowmend {

// The rows set aside by one pass, with the number of the physical line each
// begins on and why it was set aside.
class QuarantineList {
  public:
    std::size_t size() const noexcept { return lines_.size(); }
    RowView fields(std::size_t i) const noexcept { return rows_.row(i); }
    std::size_t line(std::size_t i) const noexcept { return lines_[i]; }
    RowFate fate(std::size_t i) const noexcept { return fates_[i]; }
    std::string reason(std::size_t i) const { return quarantine_reason(fates_[i], columns_); }

    void set_columns(std::uint64_t columns) noexcept { columns_ = columns; }
    void add(const RowView& fields, RowFate fate, std::size_t line);
    void release() noexcept;

  private:
    RowStore rows_;
    std::vector<std::size_t> lines_;
    std::vector<RowFate> fates_;
    std::uint64_t columns_ = 0;
};

struct SalvageOutcome {
    RowStore rows;             // every retained row, in input order
    QuarantineList quarantine; // every quarantined row, in input order
    SalvageCounters counters;
    bool range_unsure = false; // SalvagePass::range_unsure()
};

// Runs the whole pass in memory.
SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options);

} // namespace rowmend
