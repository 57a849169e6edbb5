#include "bindings/native/arrow_sink.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace rowmend::native {

ArrowBatch& ArrowBatchSink::batch(std::size_t width) {
    if (!current_)
        current_ = std::make_unique<ArrowBatch>(width, options_.line_numbers, batch_rows_seen_,
                                                column_bytes_);
    return *current_;
}

// A row wider than the table keeps its surplus in the last column, joined by
// the delimiters it had; a narrower one is padded with empty fields. The
// pass only hands on such rows when it leaves rows as parsed.
void ArrowBatchSink::append_line(const char* begin, const char* end, const TableShape& shape) {
    ArrowBatch& current = batch(shape.width);
    current.bytes += static_cast<std::size_t>(end - begin);
    std::vector<StringColumn>& columns = current.columns;
    const std::size_t last = shape.width - 1;
    std::size_t c = 0;
    for (; c < last; ++c) {
        const auto* cut = static_cast<const char*>(
            std::memchr(begin, shape.delimiter, static_cast<std::size_t>(end - begin)));
        if (cut == nullptr)
            break;
        columns[c].append(begin, static_cast<std::size_t>(cut - begin));
        begin = cut + 1;
    }
    columns[c].append(begin, static_cast<std::size_t>(end - begin));
    for (++c; c < shape.width; ++c)
        columns[c].append(nullptr, 0);
}

void ArrowBatchSink::append_fields(const RowView& fields, const TableShape& shape) {
    ArrowBatch& current = batch(shape.width);
    std::vector<StringColumn>& columns = current.columns;
    const std::size_t last = shape.width - 1;
    std::size_t c = 0;
    for (auto it = fields.begin(); it != fields.end(); ++it, ++c) {
        const FieldView field = *it;
        current.bytes += field.text.size();
        if (c < last) {
            columns[c].append(field.text.data(), field.text.size());
            continue;
        }
        if (c == last) {
            merged_.assign(field.text);
        } else {
            merged_ += shape.separator;
            merged_ += field.text;
        }
    }
    if (c > last)
        columns[last].append(merged_.data(), merged_.size());
    for (; c < shape.width; ++c)
        columns[c].append(nullptr, 0);
}

void ArrowBatchSink::end_row(std::uint64_t line) {
    ArrowBatch& current = *current_;
    if (current.with_lines)
        current.lines.push_back(static_cast<std::int64_t>(line));
    if (static_cast<std::size_t>(++current.rows) == options_.batch_rows ||
        current.bytes >= options_.batch_bytes) {
        column_bytes_.resize(current.columns.size());
        // A single huge value must not make every later batch reserve its size.
        for (std::size_t c = 0; c < current.columns.size(); ++c)
            column_bytes_[c] = std::min(current.columns[c].bytes(), options_.batch_bytes);
        batch_rows_seen_ = static_cast<std::size_t>(current.rows);
        done_.push_back(std::move(current_));
    }
}

void ArrowBatchSink::plain_rows(std::string_view lines, std::uint64_t first_line,
                                const TableShape& shape) {
    const char* p = lines.data();
    const char* const end = p + lines.size();
    for (std::uint64_t line = first_line; p < end; ++line) {
        const auto* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (lf == nullptr)
            throw std::logic_error("a plain row without its line feed");
        append_line(p, lf, shape);
        end_row(line);
        p = lf + 1;
    }
}

void ArrowBatchSink::row(const RowView& fields, std::uint64_t line, const TableShape& shape) {
    append_fields(fields, shape);
    end_row(line);
}

void ArrowBatchSink::finish() {
    if (current_ && current_->rows != 0)
        done_.push_back(std::move(current_));
    current_.reset();
}

std::vector<std::shared_ptr<const ArrowBatch>> ArrowBatchSink::take_batches() {
    return std::exchange(done_, {});
}

} // namespace rowmend::native
