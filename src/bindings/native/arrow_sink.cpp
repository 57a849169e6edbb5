#include "bindings/native/arrow_sink.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace rowmend::native {

bool ArrowSink::record(RowAction action) noexcept {
    std::size_t& recorded = recorded_[static_cast<std::size_t>(action)];
    if (!options_.record_repairs || recorded >= options_.max_records)
        return false;
    ++recorded;
    return true;
}

bool ArrowSink::begin(const SalvageCounters& layout) {
    settled_ = true;
    delimiter_ = static_cast<char>(layout.detected_delimiter);
    separator_.assign(1, delimiter_);
    if (layout.trim_after_delimiter)
        separator_ += ' ';
    quote_ = layout.detected_quote;
    escape_ = layout.detected_escape;
    preamble_rows_ = layout.preamble_rows;
    layout_columns_ = layout.inferred_columns;
    header_pending_ = options_.header || (options_.detected_header && layout.header_row);
    header_rows_left_ = !header_pending_           ? 0
                        : options_.detected_header ? std::max<std::size_t>(layout.header_rows, 1)
                                                   : 1;
    if (layout_columns_ != 0)
        set_width(static_cast<std::size_t>(layout_columns_));
    return true;
}

void ArrowSink::set_width(std::size_t width) {
    width_ = width;
    width_known_ = true;
}

void ArrowSink::take_header(std::vector<std::string> fields) {
    // A group label of a header of several rows spans the empty cells to
    // its right: "Sales,,Returns," over "Q1,Q2,Q1,Q2".
    if (header_rows_left_ > 1)
        for (std::size_t c = 1; c < fields.size(); ++c)
            if (fields[c].empty())
                fields[c] = fields[c - 1];
    header_pending_ = --header_rows_left_ != 0;
    ++header_rows_;
    if (!header_) {
        if (!width_known_)
            set_width(fields.size());
        header_ = std::move(fields);
        return;
    }
    // A header of several rows: each column's name is its non-empty parts,
    // top to bottom, joined by a blank ("Sales" over "Q1": "Sales Q1").
    std::vector<std::string>& names = *header_;
    for (std::size_t c = 0; c < std::min(names.size(), fields.size()); ++c) {
        if (fields[c].empty())
            continue;
        if (!names[c].empty())
            names[c] += ' ';
        names[c] += fields[c];
    }
}

ArrowBatch& ArrowSink::batch() {
    if (!current_)
        current_ = std::make_unique<ArrowBatch>(width_, options_.line_numbers, batch_rows_seen_,
                                                column_bytes_);
    return *current_;
}

// A row wider than the table keeps its surplus in the last column, joined by
// the delimiters it had; a narrower one is padded with empty fields. The
// pass only hands on such rows when it leaves rows as parsed.
void ArrowSink::append_line(const char* begin, const char* end) {
    ArrowBatch& current = batch();
    current.bytes += static_cast<std::size_t>(end - begin);
    std::vector<StringColumn>& columns = current.columns;
    const std::size_t last = width_ - 1;
    std::size_t c = 0;
    for (; c < last; ++c) {
        const auto* cut = static_cast<const char*>(
            std::memchr(begin, delimiter_, static_cast<std::size_t>(end - begin)));
        if (cut == nullptr)
            break;
        columns[c].append(begin, static_cast<std::size_t>(cut - begin));
        begin = cut + 1;
    }
    columns[c].append(begin, static_cast<std::size_t>(end - begin));
    for (++c; c < width_; ++c)
        columns[c].append(nullptr, 0);
}

void ArrowSink::append_fields(const RowView& fields) {
    ArrowBatch& current = batch();
    std::vector<StringColumn>& columns = current.columns;
    const std::size_t last = width_ - 1;
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
            merged_ += separator_;
            merged_ += field.text;
        }
    }
    if (c > last)
        columns[last].append(merged_.data(), merged_.size());
    for (; c < width_; ++c)
        columns[c].append(nullptr, 0);
}

void ArrowSink::end_row(std::uint64_t line) {
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

bool ArrowSink::plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) {
    const char* p = lines.data();
    const char* const end = p + lines.size();
    std::uint64_t line = first_line;
    while (header_pending_ && rows != 0) {
        const auto* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (lf == nullptr)
            throw std::logic_error("a plain row without its line feed");
        std::vector<std::string> fields;
        for (std::string_view rest(p, static_cast<std::size_t>(lf - p));;) {
            const std::size_t cut = rest.find(delimiter_);
            fields.emplace_back(rest.substr(0, cut));
            if (cut == std::string_view::npos)
                break;
            rest.remove_prefix(cut + 1);
        }
        take_header(std::move(fields));
        p = lf + 1;
        --rows;
        ++line;
    }
    if (rows != 0)
        histogram_.reach(line + rows - 1);
    counters_.total_rows += rows;
    counters_.salvaged_rows += rows;
    if (!options_.tables && width_known_)
        return true; // counting is all that is left to do
    while (p < end) {
        const auto* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (lf == nullptr)
            throw std::logic_error("a plain row without its line feed");
        if (!width_known_)
            set_width(1 + static_cast<std::size_t>(std::count(p, lf, delimiter_)));
        if (options_.tables) {
            append_line(p, lf);
            end_row(line);
        }
        ++line;
        p = lf + 1;
    }
    return true;
}

bool ArrowSink::note(const DetectionNote& note) {
    notes_.emplace_back(note.code, note.message);
    return true;
}

bool ArrowSink::row(const RowEvent& event) {
    histogram_.reach(event.line);
    if (event.quote_read_as_text) {
        ++quotes_read_as_text_;
        if (quote_lines_.size() < kQuoteLines)
            quote_lines_.push_back(event.line);
    }
    if (!is_retained(event.fate)) {
        // A header row that detection found, quarantined (too narrow or too
        // wide with repairs off), names nothing: the next row is data, not
        // a header in its place.
        if (header_pending_ && options_.detected_header)
            header_pending_ = --header_rows_left_ != 0;
        ++counters_.total_rows;
        ++counters_.quarantined_rows;
        histogram_.add(row_action(event.fate), event.line);
        if (quarantine_.size() < options_.max_records)
            quarantine_.push_back(
                {event.line, event.fate, std::string(event.text), event.fields.size()});
        return true;
    }
    if (header_pending_) {
        std::vector<std::string> fields;
        fields.reserve(event.fields.size());
        for (const FieldView field : event.fields)
            fields.emplace_back(field.text);
        take_header(std::move(fields));
        return true;
    }
    ++counters_.total_rows;
    ++counters_.salvaged_rows;
    if (is_repaired(event.fate) || event.quote_read_as_text)
        ++counters_.repaired_rows;
    // A row repaired in more than one way is recorded once: by a runaway
    // quote read as text, which changed how the rows after it read, else by
    // what changed its shape, else by a stray quote kept, else by bytes
    // replaced.
    if (is_repaired(event.fate) || event.quote_read_as_text || event.quote_repaired ||
        event.bytes_replaced) {
        const RowAction action = event.quote_read_as_text  ? RowAction::QuoteReadAsText
                                 : is_repaired(event.fate) ? row_action(event.fate)
                                 : event.quote_repaired    ? RowAction::QuoteRepaired
                                                           : RowAction::BytesReplaced;
        histogram_.add(action, event.line);
        if (record(action)) {
            RepairedRow repaired{event.line, action, std::string(event.text), {}};
            repaired.fields.reserve(event.fields.size());
            for (const FieldView field : event.fields)
                repaired.fields.emplace_back(field.text);
            repairs_.push_back(std::move(repaired));
        }
    }
    if (!width_known_)
        set_width(event.fields.size());
    if (width_ == 0)
        set_width(1);
    if (options_.tables) {
        append_fields(event.fields);
        end_row(event.line);
    }
    return true;
}

bool ArrowSink::skipped(const SkippedRow& row) {
    ++counters_.total_rows;
    ++counters_.skipped_rows;
    ++counters_.skipped_by_kind[static_cast<std::size_t>(row.kind)];
    const RowAction action = row_action(row.kind);
    histogram_.add(action, row.line);
    if (record(action))
        repairs_.push_back({row.line, action, std::string(row.text), {}});
    return true;
}

void ArrowSink::finish() {
    if (current_ && current_->rows != 0)
        done_.push_back(std::move(current_));
    current_.reset();
}

std::vector<std::shared_ptr<const ArrowBatch>> ArrowSink::take_batches() {
    return std::exchange(done_, {});
}

} // namespace rowmend::native
