#pragma once
// The block records most sinks need: every event kept, to be told to the
// sink on the pass's thread (the sink's own work stays there; the parse is
// what ran apart), and a record of nothing for sinks that only hear rows
// set aside.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "parser/row_store.h"
#include "salvage/row_sink.h"

namespace rowmend {

// Keeps a block's events: plain runs as views of the input, rows with their
// fields copied.
class RowEventRecord final : public BlockRecord {
  public:
    void clear() noexcept override {
        items_.clear();
        fields_.clear();
    }
    void plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) override;
    void row(const RowEvent& event) override;

    std::size_t size() const noexcept { return items_.size(); }
    bool is_plain(std::size_t i) const noexcept { return items_[i].plain; }
    // Event `i`, a row, with its line moved on by `line_shift`.
    RowEvent event(std::size_t i, std::uint64_t line_shift) const noexcept;
    // Tells every event to `sink` in order; false once it stops the run.
    bool replay(RowSink& sink, std::uint64_t line_shift) const;

  private:
    struct Item {
        std::string_view text; // the plain run's lines, or the row's text
        std::uint64_t line;
        std::size_t index; // the plain run's rows, or the row's in fields_
        RowFate fate;
        bool plain;
        bool quote_repaired;
        bool bytes_replaced;
        bool quote_read_as_text;
        bool verbatim;
    };
    std::vector<Item> items_;
    RowStore fields_;
};

// For sinks that hear nothing of the rows a block holds (its rows are the
// table's, and they keep only rows set aside).
class EmptyRecord final : public BlockRecord {
  public:
    void clear() noexcept override {}
    void plain_rows(std::string_view, std::size_t, std::uint64_t) override {}
    void row(const RowEvent&) override {}
};

} // namespace rowmend
