#pragma once
// One pass, two sinks: what a run that writes a clean file and reports on it
// needs, and no sink has to know of the other.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "salvage/salvage_pass.h"

namespace rowmend {

// Tells two sinks everything; stops when either does.
class Tee final : public RowSink {
  public:
    Tee(RowSink& first, RowSink* second) noexcept : first_(first), second_(second) {}
    void also(RowSink* second) noexcept { second_ = second; }
    bool begin(const SalvageCounters& layout) override {
        return first_.begin(layout) && (second_ == nullptr || second_->begin(layout));
    }
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first) override {
        return first_.plain_rows(lines, rows, first) &&
               (second_ == nullptr || second_->plain_rows(lines, rows, first));
    }
    bool row(const RowEvent& event) override {
        return first_.row(event) && (second_ == nullptr || second_->row(event));
    }
    bool skipped(const SkippedRow& row) override {
        return first_.skipped(row) && (second_ == nullptr || second_->skipped(row));
    }
    bool note(const DetectionNote& note) override {
        return first_.note(note) && (second_ == nullptr || second_->note(note));
    }

  private:
    RowSink& first_;
    RowSink* second_;
};

} // namespace rowmend
