#pragma once
// Rows of fields held compactly: the text of every field of every row lies in
// one byte arena, one after another, and each field is described by a 32-bit
// word holding its length and whether it is pure ASCII.
//
//   bytes_:  | a | b c | | d e f | ...      (field texts, back to back)
//   fields_: [1<<1|0] [2<<1|0] [0] [3<<1|0]  (length << 1 | has_non_ascii)
//   rows_:   {byte_begin, field_begin} per row
//
// A field of 2 GiB or more keeps the marker length kInlineLimit in its word and
// its real length in a side table, so no input is too large to hold.
//
// Every field's text is valid UTF-8: finish_field() checks what was appended
// and replaces each ill-formed subsequence by U+FFFD.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/byte_buffer.h"

namespace rowmend {

// One field: its UTF-8 text and whether every byte is below 0x80.
struct FieldView {
    std::string_view text;
    bool ascii;
};

class RowStore;

// A row of a RowStore; valid until the store changes.
class RowView {
  public:
    class Iterator {
      public:
        FieldView operator*() const;
        Iterator& operator++();
        bool operator==(const Iterator& other) const noexcept { return field_ == other.field_; }

      private:
        friend class RowView;
        Iterator(const RowStore* store, std::size_t field, std::size_t byte) noexcept
            : store_(store), field_(field), byte_(byte) {}
        const RowStore* store_;
        std::size_t field_;
        std::size_t byte_;
    };

    std::size_t size() const noexcept { return field_end_ - field_begin_; }
    Iterator begin() const noexcept { return Iterator(store_, field_begin_, byte_begin_); }
    Iterator end() const noexcept { return Iterator(store_, field_end_, byte_end_); }
    // The i-th field; walks from the row's start, so iterate when reading all.
    FieldView field(std::size_t i) const;
    // All field bytes of the row, back to back, without separators.
    std::string_view bytes() const noexcept;

  private:
    friend class RowStore;
    RowView(const RowStore* store, std::size_t field_begin, std::size_t field_end,
            std::size_t byte_begin, std::size_t byte_end) noexcept
        : store_(store), field_begin_(field_begin), field_end_(field_end), byte_begin_(byte_begin),
          byte_end_(byte_end) {}
    const RowStore* store_;
    std::size_t field_begin_, field_end_, byte_begin_, byte_end_;
};

class RowStore {
  public:
    static constexpr std::uint32_t kInlineLimit = 0x7FFFFFFFU;

    // `inline_limit` below kInlineLimit exists so tests can exercise the
    // side table of long fields without gigabytes of input. It is at least 1:
    // empty fields are pushed as a bare zero word, never via the side table.
    explicit RowStore(std::uint32_t inline_limit = kInlineLimit) noexcept
        : inline_limit_(inline_limit == 0             ? 1
                        : inline_limit < kInlineLimit ? inline_limit
                                                      : kInlineLimit) {}

    std::size_t row_count() const noexcept { return rows_.size(); }
    std::size_t field_count() const noexcept { return fields_.size(); }
    std::size_t byte_count() const noexcept { return bytes_.size(); }
    bool empty() const noexcept { return rows_.empty(); }
    RowView row(std::size_t r) const noexcept;
    [[gnu::always_inline]] RowView last_row() const noexcept { return row(rows_.size() - 1); }

    // Building, used by the parser: begin_row(), then for each field either
    // append its bytes and finish_field(), or push_empty_field().
    void begin_row() {
        rows_.push_back({bytes_.size(), fields_.size()});
        open_field_begin_ = bytes_.size();
        replaced_ = false;
    }
    // Whether a field of the row begun last held bytes that were not UTF-8
    // and became U+FFFD.
    bool last_row_replaced() const noexcept { return replaced_; }
    void append(const char* p, std::size_t n) { bytes_.append(p, n); }
    void push_byte(char c) { bytes_.push_back(c); }
    // `maybe_non_ascii` false promises every appended byte is below 0x80.
    void finish_field(bool maybe_non_ascii = true);
    void push_empty_field() { fields_.push_back(0); }
    // Appends a row made of `line` split at every `delimiter` byte; `line`
    // must be valid UTF-8 and `delimiter` below 0x80.
    void append_split_row(std::string_view line, char delimiter);
    // The same for each line of `lines`, every one ending in LF.
    void append_split_lines(std::string_view lines, char delimiter);

    // Reshaping the last row, used by the salvage pass.
    void pad_last_row(std::size_t width);
    // Joins the last row's fields from index `first` on into one field, with
    // `separator` between each two of them.
    void merge_last_row_tail(std::size_t first, std::string_view separator);
    // Drops the last row's last field, which must be empty.
    void drop_last_field() noexcept { fields_.pop_back(); }
    // Appends a copy of a row of another store.
    void append_row(const RowView& row);
    void pop_last_row() noexcept;

    void clear() noexcept;
    void release() noexcept;

  private:
    friend class RowView;
    struct RowEntry {
        std::uint64_t byte_begin;
        std::uint64_t field_begin;
    };

    // Called for every field of every row: inline, with the rare field of
    // 2 GiB or more out of line.
    void push_field(std::size_t length, bool ascii) {
        const std::uint32_t flag = ascii ? 0U : 1U;
        if (length < inline_limit_) [[likely]]
            fields_.push_back(static_cast<std::uint32_t>(length << 1) | flag);
        else
            push_long_field(length, flag);
        open_field_begin_ = bytes_.size();
    }
    void push_long_field(std::size_t length, std::uint32_t flag);
    std::size_t field_length(std::size_t field, std::uint32_t word) const noexcept {
        const std::size_t inline_length = word >> 1;
        return inline_length < inline_limit_ ? inline_length : long_field_length(field);
    }
    std::size_t long_field_length(std::size_t field) const noexcept;
    std::size_t row_field_end(std::size_t r) const noexcept {
        return r + 1 < rows_.size() ? rows_[r + 1].field_begin : fields_.size();
    }
    std::size_t row_byte_end(std::size_t r) const noexcept {
        return r + 1 < rows_.size() ? rows_[r + 1].byte_begin : bytes_.size();
    }

    ByteBuffer bytes_;
    std::vector<std::uint32_t> fields_;
    std::vector<RowEntry> rows_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> long_fields_; // (field index, length)
    std::size_t open_field_begin_ = 0; // byte offset where the field being built starts
    bool replaced_ = false;            // see last_row_replaced()
    std::uint32_t inline_limit_;
};

// Called for every row in the salvage pass's loop, several times: always
// inlined, whatever that loop's size leads the compiler to choose.
[[gnu::always_inline]] inline RowView RowStore::row(std::size_t r) const noexcept {
    return RowView(this, rows_[r].field_begin, row_field_end(r), rows_[r].byte_begin,
                   row_byte_end(r));
}

inline FieldView RowView::Iterator::operator*() const {
    const std::uint32_t word = store_->fields_[field_];
    return {std::string_view(store_->bytes_.data() + byte_, store_->field_length(field_, word)),
            (word & 1U) == 0};
}

inline RowView::Iterator& RowView::Iterator::operator++() {
    byte_ += store_->field_length(field_, store_->fields_[field_]);
    ++field_;
    return *this;
}

} // namespace rowmend
