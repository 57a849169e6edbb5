#include "salvage/csv_output.h"

#include <algorithm>
#include <bit>
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

// Whether one of the `n` bytes at `p` is `a`, `b`, `c` or `d`, eight bytes at a
// time: most fields are shorter than a vector block, and a byte-at-a-time
// loop over them cost more than the rest of the formatting.
bool has_any_byte(const char* p, std::size_t n, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                  std::uint8_t d) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    // Nonzero exactly when some byte of x is zero; a borrow can only mark
    // bytes above a zero one, so masking off the upper bytes stays exact.
    auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
    if constexpr (std::endian::native != std::endian::little) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto x = static_cast<std::uint8_t>(p[i]);
            if (x == a || x == b || x == c || x == d)
                return true;
        }
        return false;
    }
    while (n != 0) {
        const std::size_t k = std::min<std::size_t>(n, 8);
        std::uint64_t w = 0;
        std::memcpy(&w, p, k);
        const std::uint64_t valid = k == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * k)) - 1;
        const std::uint64_t hit = zero_byte(w ^ (kOnes * a)) | zero_byte(w ^ (kOnes * b)) |
                                  zero_byte(w ^ (kOnes * c)) | zero_byte(w ^ (kOnes * d));
        if ((hit & valid) != 0)
            return true;
        p += k;
        n -= k;
    }
    return false;
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
        if (field.size() < scan::Block::kSize)
            return has_any_byte(begin, field.size(), delimiter_byte_, quote_byte_, '\n', '\r');
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
    // The line is written through a pointer into room sized for the worst
    // case (every byte a quote to double, every field quoted), then trimmed:
    // appending field by field spent more on the string's bookkeeping than
    // on the bytes.
    const std::size_t old = out.size();
    out.resize(old + 2 * row.bytes().size() +
               row.size() * (2 * std::size_t{quote_size_} + delimiter_size_) + 1);
    char* w = out.data() + old;
    auto put = [&w](const char* p, std::size_t n) {
        if (n != 0)
            std::memcpy(w, p, n);
        w += n;
    };
    bool first = true;
    for (const FieldView field : row) {
        const std::string_view text = field.text;
        const bool looks_like_bom = first && starts_file && text.starts_with("\xEF\xBB\xBF");
        if (!first)
            put(delimiter_, delimiter_size_);
        first = false;
        if (!looks_like_bom && !needs_quoting(text)) {
            put(text.data(), text.size());
            continue;
        }
        // Enclosed, with each quote written twice.
        const std::string_view quote(quote_, quote_size_);
        put(quote_, quote_size_);
        std::size_t from = 0;
        for (;;) {
            const std::size_t at =
                quote_size_ == 1 ? text.find(quote[0], from) : text.find(quote, from);
            if (at == std::string_view::npos)
                break;
            put(text.data() + from, at + quote_size_ - from);
            put(quote_, quote_size_);
            from = at + quote_size_;
        }
        put(text.data() + from, text.size() - from);
        put(quote_, quote_size_);
    }
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
