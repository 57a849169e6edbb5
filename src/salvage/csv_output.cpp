#include "salvage/csv_output.h"

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
