#include "salvage/report_sink.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace rowmend {

RowAction row_action(RowFate fate) noexcept {
    switch (fate) {
    case RowFate::Filled:
        return RowAction::Filled;
    case RowFate::Merged:
        return RowAction::Merged;
    case RowFate::TooFew:
        return RowAction::TooFew;
    case RowFate::TooMany:
    case RowFate::Kept: // never asked: a row kept as it stood has no action
        break;
    }
    return RowAction::TooMany;
}

RowAction row_action(SkipKind kind) noexcept {
    return static_cast<RowAction>(static_cast<std::size_t>(RowAction::Blank) +
                                  static_cast<std::size_t>(kind));
}

std::string_view row_action_name(RowAction action) noexcept {
    switch (action) {
    case RowAction::Filled:
        return "filled";
    case RowAction::Merged:
        return "merged";
    case RowAction::QuoteRepaired:
        return "quote repaired";
    case RowAction::BytesReplaced:
        return "bytes replaced";
    case RowAction::QuoteReadAsText:
        return "quote read as text";
    case RowAction::TooFew:
        return "too few fields";
    case RowAction::TooMany:
        return "too many fields";
    case RowAction::Blank:
    case RowAction::Comment:
    case RowAction::Preamble:
    case RowAction::Footer:
    case RowAction::Section:
        return skip_kind_name(static_cast<SkipKind>(static_cast<std::size_t>(action) -
                                                    static_cast<std::size_t>(RowAction::Blank)));
    }
    return "unknown";
}

void LineHistogram::fold() noexcept {
    for (Counts& counts : counts_) {
        for (std::size_t i = 0; i < kBins / 2; ++i)
            counts[i] = counts[2 * i] + counts[2 * i + 1];
        std::fill(counts.begin() + kBins / 2, counts.end(), 0);
    }
    ++shift_;
}

bool ReportSink::record(RowAction action) noexcept {
    std::size_t& recorded = recorded_[static_cast<std::size_t>(action)];
    if (!options_.record_repairs || recorded >= options_.max_records)
        return false;
    ++recorded;
    return true;
}

bool ReportSink::begin(const SalvageCounters& layout) {
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

void ReportSink::take_header(std::vector<std::string> fields) {
    header_pending_ = --header_rows_left_ != 0;
    ++header_rows_;
    if (!width_known_)
        set_width(fields.size());
    if (header_parts_.empty() && !header_pending_) {
        header_ = std::move(fields); // one row: its own names, not copied
        return;
    }
    // A header of several rows: the names are joined anew as each comes,
    // with group labels spanning the columns under them.
    header_parts_.push_back(std::move(fields));
    header_ = join_header_rows(header_parts_);
    if (!header_pending_)
        header_parts_.clear();
}

bool ReportSink::plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) {
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
    if (rows == 0)
        return true;
    histogram_.reach(line + rows - 1);
    counts_.total_rows += rows;
    counts_.salvaged_rows += rows;
    if (!width_known_) {
        const auto* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (lf == nullptr)
            throw std::logic_error("a plain row without its line feed");
        set_width(1 + static_cast<std::size_t>(std::count(p, lf, delimiter_)));
    }
    if (table_ != nullptr)
        table_->plain_rows(std::string_view(p, static_cast<std::size_t>(end - p)), line, shape());
    return true;
}

bool ReportSink::note(const DetectionNote& note) {
    notes_.emplace_back(note.code, note.message);
    return true;
}

bool ReportSink::row(const RowEvent& event) {
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
        ++counts_.total_rows;
        ++counts_.quarantined_rows;
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
    ++counts_.total_rows;
    ++counts_.salvaged_rows;
    if (is_repaired(event.fate) || event.quote_read_as_text)
        ++counts_.repaired_rows;
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
            RepairedRow repaired{
                event.line, action, std::string(event.text), {}, std::string(event.placement)};
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
    if (table_ != nullptr)
        table_->row(event.fields, event.line, shape());
    return true;
}

bool ReportSink::skipped(const SkippedRow& row) {
    ++counts_.total_rows;
    ++counts_.skipped_rows;
    ++counts_.skipped_by_kind[static_cast<std::size_t>(row.kind)];
    const RowAction action = row_action(row.kind);
    histogram_.add(action, row.line);
    if (record(action))
        repairs_.push_back({row.line, action, std::string(row.text), {}});
    return true;
}

} // namespace rowmend
