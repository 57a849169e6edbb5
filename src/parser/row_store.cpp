#include "parser/row_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "parser/utf8.h"

namespace rowmend {

FieldView RowView::field(std::size_t i) const {
    auto it = begin();
    while (i-- > 0)
        ++it;
    return *it;
}

std::string_view RowView::bytes() const noexcept {
    return {store_->bytes_.data() + byte_begin_, byte_end_ - byte_begin_};
}

std::size_t RowStore::long_field_length(std::size_t field) const noexcept {
    const auto it = std::lower_bound(long_fields_.begin(), long_fields_.end(), field,
                                     [](const std::pair<std::uint64_t, std::uint64_t>& entry,
                                        std::size_t key) { return entry.first < key; });
    return static_cast<std::size_t>(it->second);
}

void RowStore::push_long_field(std::size_t length, std::uint32_t flag) {
    long_fields_.emplace_back(fields_.size(), length);
    fields_.push_back((inline_limit_ << 1) | flag);
}

void RowStore::finish_field(bool maybe_non_ascii) {
    const std::size_t begin = std::min(open_field_begin_, bytes_.size());
    const char* text = bytes_.data() + begin;
    const std::size_t length = bytes_.size() - begin;
    if (!maybe_non_ascii || utf8::is_ascii(text, length)) {
        push_field(length, true);
        return;
    }
    if (!utf8::is_valid(text, length)) {
        replaced_ = true;
        std::string repaired;
        utf8::append_lossy(repaired, std::string_view(text, length));
        bytes_.truncate(begin);
        bytes_.append(repaired.data(), repaired.size());
    }
    push_field(bytes_.size() - begin, false);
}

void RowStore::append_split_row(std::string_view line, char delimiter) {
    begin_row();
    const bool ascii = utf8::is_ascii(line.data(), line.size());
    const char* p = line.data();
    const char* const end = p + line.size();
    for (;;) {
        const void* found = std::memchr(p, delimiter, static_cast<std::size_t>(end - p));
        const char* stop = found != nullptr ? static_cast<const char*>(found) : end;
        const auto length = static_cast<std::size_t>(stop - p);
        bytes_.append(p, length);
        push_field(length, ascii || utf8::is_ascii(p, length));
        if (stop == end)
            break;
        p = stop + 1;
    }
}

void RowStore::append_split_lines(std::string_view lines, char delimiter) {
    while (!lines.empty()) {
        const std::size_t lf = lines.find('\n');
        append_split_row(lines.substr(0, lf), delimiter);
        lines.remove_prefix(lf + 1);
    }
}

void RowStore::pad_last_row(std::size_t width) {
    const std::size_t have = row_field_end(rows_.size() - 1) - rows_.back().field_begin;
    if (have < width)
        fields_.insert(fields_.end(), width - have, 0U);
}

void RowStore::merge_last_row_tail(std::size_t first, std::string_view separator) {
    const RowView last = last_row();
    if (first + 1 >= last.size())
        return;
    std::size_t tail_begin = last.byte_begin_;
    auto it = last.begin();
    for (std::size_t i = 0; i < first; ++i, ++it)
        tail_begin += (*it).text.size();
    bool ascii = true;
    std::string merged;
    merged.reserve(last.byte_end_ - tail_begin + separator.size() * (last.size() - first));
    for (std::size_t i = first; i < last.size(); ++i, ++it) {
        const FieldView f = *it;
        if (i != first)
            merged.append(separator);
        merged.append(f.text);
        ascii = ascii && f.ascii;
    }
    ascii = ascii && utf8::is_ascii(separator.data(), separator.size());
    const std::size_t field_begin = last.field_begin_ + first;
    fields_.resize(field_begin);
    while (!long_fields_.empty() && long_fields_.back().first >= field_begin)
        long_fields_.pop_back();
    bytes_.truncate(tail_begin);
    bytes_.append(merged.data(), merged.size());
    open_field_begin_ = tail_begin;
    push_field(merged.size(), ascii);
}

void RowStore::append_row(const RowView& row) {
    begin_row();
    for (FieldView f : row) {
        bytes_.append(f.text.data(), f.text.size());
        push_field(f.text.size(), f.ascii);
    }
}

void RowStore::pop_last_row() noexcept {
    const RowEntry last = rows_.back();
    rows_.pop_back();
    fields_.resize(last.field_begin);
    while (!long_fields_.empty() && long_fields_.back().first >= last.field_begin)
        long_fields_.pop_back();
    bytes_.truncate(last.byte_begin);
    open_field_begin_ = bytes_.size();
}

void RowStore::clear() noexcept {
    bytes_.clear();
    fields_.clear();
    rows_.clear();
    long_fields_.clear();
    open_field_begin_ = 0;
}

void RowStore::release() noexcept {
    bytes_.release();
    std::vector<std::uint32_t>().swap(fields_);
    std::vector<RowEntry>().swap(rows_);
    std::vector<std::pair<std::uint64_t, std::uint64_t>>().swap(long_fields_);
    open_field_begin_ = 0;
}

} // namespace rowmend
