#include "salvage/block_record.h"

namespace rowmend {

void RowEventRecord::plain_rows(std::string_view lines, std::size_t rows,
                                std::uint64_t first_line) {
    items_.push_back({lines, first_line, rows, RowFate::Kept, true, false, false, false, false});
}

void RowEventRecord::row(const RowEvent& event) {
    fields_.append_row(event.fields);
    items_.push_back({event.text, event.line, fields_.row_count() - 1, event.fate, false,
                      event.quote_repaired, event.bytes_replaced, event.quote_read_as_text,
                      event.verbatim});
}

RowEvent RowEventRecord::event(std::size_t i, std::uint64_t line_shift) const noexcept {
    const Item& item = items_[i];
    return RowEvent{
        item.fate,           item.line + line_shift, fields_.row(item.index), item.text,
        item.quote_repaired, item.bytes_replaced,    item.quote_read_as_text, item.verbatim,
        std::string_view{}};
}

bool RowEventRecord::replay(RowSink& sink, std::uint64_t line_shift) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const Item& item = items_[i];
        if (item.plain ? !sink.plain_rows(item.text, item.index, item.line + line_shift)
                       : !sink.row(event(i, line_shift)))
            return false;
    }
    return true;
}

} // namespace rowmend
