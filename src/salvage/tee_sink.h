#pragma once
// One pass, two sinks: what a run that writes a clean file and reports on it
// needs, and no sink has to know of the other.

#include <cstddef>
#include <cstdint>
#include <memory>
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

    // Both sinks' records, each told every row; a block goes to the first
    // sink whole, then to the second. No record when either keeps one thread.
    std::unique_ptr<BlockRecord> block_record() override {
        auto record = std::make_unique<Pair>();
        record->first = first_.block_record();
        if (second_ != nullptr)
            record->second = second_->block_record();
        if (!record->first || (second_ != nullptr && !record->second))
            return nullptr;
        return record;
    }
    bool accepts(const BlockRecord& record) const override {
        const Pair& pair = static_cast<const Pair&>(record);
        return first_.accepts(*pair.first) &&
               (second_ == nullptr || second_->accepts(*pair.second));
    }
    bool take_block(const BlockRecord& record, std::uint64_t line_shift) override {
        const Pair& pair = static_cast<const Pair&>(record);
        return first_.take_block(*pair.first, line_shift) &&
               (second_ == nullptr || second_->take_block(*pair.second, line_shift));
    }

  private:
    struct Pair final : BlockRecord {
        std::unique_ptr<BlockRecord> first;
        std::unique_ptr<BlockRecord> second;
        void clear() noexcept override {
            first->clear();
            if (second)
                second->clear();
        }
        void plain_rows(std::string_view lines, std::size_t rows, std::uint64_t line) override {
            first->plain_rows(lines, rows, line);
            if (second)
                second->plain_rows(lines, rows, line);
        }
        void row(const RowEvent& event) override {
            first->row(event);
            if (second)
                second->row(event);
        }
    };

    RowSink& first_;
    RowSink* second_;
};

} // namespace rowmend
