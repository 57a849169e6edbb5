#include "salvage/csv_output.h"

#include <algorithm>
#include <cstring>

#include "parser/byte_scan.h"
#include "salvage/byte_text.h"

namespace rowmend {

namespace {

// Appends `text` with every occurrence of `quote` written twice.
void append_doubling(std::string& out, std::string_view text, std::string_view quote) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t at =
            quote.size() == 1 ? text.find(quote[0], from) : text.find(quote, from);
        if (at == std::string_view::npos)
            break;
        out.append(text.substr(from, at + quote.size() - from));
        out.append(quote);
        from = at + quote.size();
    }
    out.append(text.substr(from));
}

} // namespace

CleanCsvFormat::CleanCsvFormat(std::uint8_t delimiter, std::uint8_t quote) noexcept
    : delimiter_{}, quote_{}, delimiter_byte_(delimiter), quote_byte_(quote) {
    const ByteText d(delimiter), q(quote);
    delimiter_size_ = static_cast<std::uint8_t>(d.view().size());
    quote_size_ = static_cast<std::uint8_t>(q.view().size());
    std::memcpy(delimiter_, d.view().data(), delimiter_size_);
    std::memcpy(quote_, q.view().data(), quote_size_);
}

bool CleanCsvFormat::needs_quoting(std::string_view field) const noexcept {
    const char* begin = field.data();
    const char* end = begin + field.size();
    if (delimiter_size_ == 1 && quote_size_ == 1) {
        return scan::find_first(begin, end, delimiter_byte_, quote_byte_, std::uint8_t{'\n'},
                                std::uint8_t{'\r'}) != end;
    }
    // A byte of 0x80 or above is looked for in its two-byte UTF-8 form.
    if (scan::find_first(begin, end, std::uint8_t{'\n'}, std::uint8_t{'\r'}) != end)
        return true;
    return field.find(std::string_view(delimiter_, delimiter_size_)) != std::string_view::npos ||
           field.find(std::string_view(quote_, quote_size_)) != std::string_view::npos;
}

void CleanCsvFormat::append_line(std::string& out, const RowView& row, bool starts_file) const {
    if (delimiter_size_ == 1 && quote_size_ == 1) {
        const std::string_view bytes = row.bytes();
        if (bytes.size() <= kShortRow) {
            append_fields(out, row.begin(), row.end(), bytes, row.size(), true, starts_file, true);
            return;
        }
        // Runs of fields of at most kShortRow bytes go through the in-place
        // writer; a field longer than that on its own is appended as it is.
        bool first = true;
        for (auto it = row.begin(); it != row.end();) {
            auto stop = it;
            std::size_t bytes = 0;
            std::size_t fields = 0;
            const char* begin = (*it).text.data();
            while (stop != row.end() && (fields == 0 || bytes + (*stop).text.size() <= kShortRow)) {
                bytes += (*stop).text.size();
                ++fields;
                ++stop;
            }
            append_fields(out, it, stop, std::string_view(begin, bytes), fields, first,
                          first && starts_file, stop == row.end());
            first = false;
            it = stop;
        }
        if (row.size() == 0)
            out.push_back('\n');
        return;
    }
    const std::string_view delimiter(delimiter_, delimiter_size_);
    const std::string_view quote(quote_, quote_size_);
    bool first = true;
    for (const FieldView field : row) {
        const bool looks_like_bom = first && starts_file && field.text.starts_with("\xEF\xBB\xBF");
        if (!first)
            out.append(delimiter);
        first = false;
        if (looks_like_bom || needs_quoting(field.text)) {
            out.append(quote);
            append_doubling(out, field.text, quote);
            out.append(quote);
        } else {
            out.append(field.text);
        }
    }
    out.push_back('\n');
}

void CleanCsvFormat::append_fields(std::string& out, RowView::Iterator it, RowView::Iterator stop,
                                   std::string_view bytes, std::size_t fields, bool first,
                                   bool starts_file, bool ends_line) const {
    // The fields lie back to back, so one scan over all of them finds the
    // bytes that force quoting: a field is quoted when the next such byte
    // falls inside it, and most fields are passed with one comparison.
    const char* const end = bytes.data() + bytes.size();
    const char delimiter = static_cast<char>(delimiter_byte_);
    const char quote = static_cast<char>(quote_byte_);
    const auto next_special = [&](const char* from) {
        return scan::find_first(from, end, delimiter_byte_, quote_byte_, std::uint8_t{'\n'},
                                std::uint8_t{'\r'});
    };
    const char* special = bytes.empty() ? end : next_special(bytes.data());
    // Room for the longest form (every byte a doubled quote, every field
    // quoted), which a run of at most kShortRow bytes can afford, or for one
    // longer field, whose doubled quotes are counted first so that no more
    // room is zeroed than it takes.
    std::size_t room = 2 * bytes.size() + 3 * fields + 1;
    if (bytes.size() > kShortRow) {
        std::size_t quotes = 0;
        for (const char* p = bytes.data(); p != end; ++quotes) {
            p = static_cast<const char*>(std::memchr(p, quote, static_cast<std::size_t>(end - p)));
            if (p == nullptr)
                break;
            ++p;
        }
        room = bytes.size() + quotes + 4;
    }
    const std::size_t start = out.size();
    out.resize(start + room);
    char* w = out.data() + start;
    for (; it != stop; ++it) {
        const FieldView field = *it;
        const char* from = field.text.data();
        const char* const field_end = from + field.text.size();
        if (!first)
            *w++ = delimiter;
        const bool looks_like_bom = starts_file && field.text.starts_with("\xEF\xBB\xBF");
        first = starts_file = false;
        if (special < from)
            special = next_special(from);
        if (special >= field_end && !looks_like_bom) {
            // An empty field may have no bytes to point at at all.
            if (!field.text.empty())
                std::memcpy(w, from, field.text.size());
            w += field.text.size();
            continue;
        }
        *w++ = quote;
        for (;;) {
            const void* hit = std::memchr(from, quote, static_cast<std::size_t>(field_end - from));
            const char* upto = hit == nullptr ? field_end : static_cast<const char*>(hit) + 1;
            std::memcpy(w, from, static_cast<std::size_t>(upto - from));
            w += upto - from;
            if (hit == nullptr)
                break;
            *w++ = quote;
            from = upto;
        }
        *w++ = quote;
    }
    if (ends_line)
        *w++ = '\n';
    out.resize(static_cast<std::size_t>(w - out.data()));
}

void append_quarantine_line(std::string& out, std::size_t line, std::string_view reason,
                            const RowView& fields, std::string_view delimiter_text) {
    out.append(std::to_string(line));
    out.append(",\"");
    append_doubling(out, reason, "\"");
    out.append("\",\"");
    bool first = true;
    for (const FieldView field : fields) {
        if (!first)
            append_doubling(out, delimiter_text, "\"");
        first = false;
        append_doubling(out, field.text, "\"");
    }
    out.append("\"\n");
}

void append_quarantine_text_line(std::string& out, std::size_t line, std::string_view reason,
                                 std::string_view text) {
    out.append(std::to_string(line));
    out.append(",\"");
    append_doubling(out, reason, "\"");
    out.append("\",\"");
    append_doubling(out, text, "\"");
    out.append("\"\n");
}

} // namespace rowmend
