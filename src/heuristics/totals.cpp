#include "heuristics/totals.h"

#include <array>
#include <cmath>
#include <cstring>

#include "heuristics/header.h"

namespace rowmend {

namespace {

char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lower-case ASCII, or the exact UTF-8 bytes of words in other scripts.
constexpr std::array<std::string_view, 30> kTotalWords = {
    "total",
    "totals",
    "grand total",
    "sum",
    "sums",
    "summe",
    "gesamt",
    "insgesamt",
    "gesamtsumme",
    "totaal",
    "totale",
    "totalt",
    "somme",
    "suma",
    "summa",
    "som",
    "razem",
    "celkem",
    "toplam",
    "total general",
    "yhteens\xC3\xA4",                          // yhteensä
    "\xC3\xB6sszesen",                          // összesen
    "total g\xC3\xA9n\xC3\xA9ral",              // total général
    "\xD0\x98\xD1\x82\xD0\xBE\xD0\xB3\xD0\xBE", // Итого
    "\xD0\xB8\xD1\x82\xD0\xBE\xD0\xB3\xD0\xBE", // итого
    "\xD0\x92\xD1\x81\xD0\xB5\xD0\xB3\xD0\xBE", // Всего
    "\xE5\x90\x88\xE8\xAE\xA1",                 // 合计
    "\xE6\x80\xBB\xE8\xAE\xA1",                 // 总计
    "\xE5\x90\x88\xE8\xA8\x88",                 // 合計
    "\xED\x95\xA9\xEA\xB3\x84",                 // 합계
};

bool starts_with_word(std::string_view text, std::string_view word) noexcept {
    if (text.size() < word.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (lower(text[i]) != word[i])
            return false;
    // The word alone, or followed by a colon or a blank and more words.
    return text.size() == word.size() || text[word.size()] == ' ' || text[word.size()] == ':';
}

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Where the decimal point of a number's digits stands, or npos: the last
// '.' or ',' unless it separates thousands, that is, unless exactly three
// digits follow it, a group of one to three digits other than a lone 0
// precedes it, and no other separator does ("1,200", "12.500.000"; but
// "0.125", "1.200,50", "1,234.567").
std::size_t decimal_point(std::string_view text) noexcept {
    const std::size_t last = text.find_last_of(".,");
    if (last == std::string_view::npos)
        return last;
    std::size_t after = 0;
    while (last + 1 + after < text.size() && is_digit(text[last + 1 + after]))
        ++after;
    std::size_t group = 0;
    while (group < last && is_digit(text[last - 1 - group]))
        ++group;
    const std::string_view before = text.substr(0, last);
    const bool other =
        before.find_first_of(text[last] == '.' ? ",'" : ".'") != std::string_view::npos;
    const bool repeated = before.find(text[last]) != std::string_view::npos;
    const bool lone_zero = group == 1 && text[last - 1] == '0';
    const bool thousands =
        after == 3 && !other && (repeated || (group >= 1 && group <= 3 && !lone_zero));
    return thousands ? std::string_view::npos : last;
}

// Digits after the decimal point of a number as number_value reads it.
int decimals_of(std::string_view text) noexcept {
    text = trim_blanks(text);
    const std::size_t point = decimal_point(text);
    if (point == std::string_view::npos)
        return 0;
    int digits = 0;
    for (std::size_t i = point + 1; i < text.size() && is_digit(text[i]); ++i)
        ++digits;
    return digits;
}

} // namespace

bool is_total_label(std::string_view text) noexcept {
    text = trim_blanks(text);
    // Every word starts with a letter or a byte past ASCII: most cells
    // (numbers, codes, quoted text) are told apart by their first byte.
    if (text.empty() || (static_cast<unsigned char>(text.front()) < 0x80 &&
                         (lower(text.front()) < 'a' || lower(text.front()) > 'z')))
        return false;
    for (const std::string_view word : kTotalWords)
        if (starts_with_word(text, word))
            return true;
    return false;
}

bool has_total_label(const RowView& row) noexcept {
    for (const FieldView field : row) {
        // A digit or a quote first is neither blank nor a label.
        if (!field.text.empty() && (is_digit(field.text.front()) || field.text.front() == '"'))
            return false;
        if (!trim_blanks(field.text).empty())
            return is_total_label(field.text);
    }
    return false;
}

bool has_total_label(std::string_view line, char delimiter) noexcept {
    for (;;) {
        const std::size_t cut = line.find(delimiter);
        const std::string_view cell = line.substr(0, cut);
        if (!trim_blanks(cell).empty())
            return is_total_label(cell);
        if (cut == std::string_view::npos)
            return false;
        line.remove_prefix(cut + 1);
    }
}

std::optional<double> number_value(std::string_view text) noexcept {
    text = trim_blanks(text);
    if (cell_kind(text) != CellKind::Number)
        return std::nullopt;
    bool negative = false;
    while (!text.empty() && !is_digit(text.front()) && text.front() != '.' && text.front() != ',') {
        negative = negative || text.front() == '-';
        text.remove_prefix(1);
    }
    if (!text.empty() && text.back() == '%')
        text.remove_suffix(1);
    const std::size_t point = decimal_point(text);
    double value = 0;
    double scale = 0;
    bool exponent = false;
    int power = 0;
    bool power_negative = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (exponent) {
            if (c == '-')
                power_negative = true;
            else if (is_digit(c))
                power = power * 10 + (c - '0');
            if (power > 400)
                return std::nullopt;
        } else if (c == 'e' || c == 'E') {
            exponent = true;
        } else if (i == point) {
            scale = 1;
        } else if (is_digit(c)) {
            value = value * 10 + (c - '0');
            if (scale != 0)
                scale *= 10;
        }
    }
    if (scale > 1)
        value /= scale;
    if (exponent)
        value *= std::pow(10.0, power_negative ? -power : power);
    return negative ? -value : value;
}

ColumnSums::ColumnSums(std::vector<bool> numeric, std::uint64_t skip)
    : numeric_(std::move(numeric)), skip_(skip) {
    totals_.sums.assign(numeric_.size(), 0);
}

void ColumnSums::count(std::uint64_t rows) {
    seen_ += rows;
    if (past_limit()) {
        // No row can be checked any more: what is kept goes unsummed.
        chunks_ = {};
        lines_ = {};
        rows_.release();
    }
}

void ColumnSums::add_cell(Totals& totals, std::size_t column,
                          std::string_view text) const noexcept {
    if (column >= numeric_.size() || !numeric_[column])
        return;
    const std::optional<double> value = number_value(text);
    if (!value)
        return;
    totals.sums[column] += *value;
}

void ColumnSums::keep_row(const RowView& row) {
    count(1);
    if (past_limit())
        return;
    if (chunks_.empty() || chunks_.back().lines)
        chunks_.push_back({false, 0, rows_.row_count(), rows_.row_count()});
    rows_.append_row(row);
    chunks_.back().end = rows_.row_count();
    keep_in_bounds();
}

void ColumnSums::keep_lines(std::string_view lines, char delimiter) {
    // Past the limit only passing it matters: the lines are counted no further.
    const std::uint64_t room = kMaxRows + skip_ + 1 - seen_;
    std::uint64_t rows = 0;
    for (const char *at = lines.data(), *end = at + lines.size(); at != end && rows < room;
         ++rows) {
        const void* lf = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
        at = lf == nullptr ? end : static_cast<const char*>(lf) + 1;
    }
    count(rows);
    if (past_limit())
        return;
    chunks_.push_back({true, delimiter, lines_.size(), lines_.size() + lines.size()});
    lines_.append(lines);
    keep_in_bounds();
}

void ColumnSums::keep_in_bounds() {
    if (lines_.size() + rows_.byte_count() <= kMaxPendingBytes)
        return;
    fold_into(totals_);
    chunks_.clear();
    lines_.clear();
    rows_.clear();
}

void ColumnSums::fold_into(Totals& totals) const noexcept {
    for (const Chunk& chunk : chunks_) {
        if (!chunk.lines) {
            for (std::size_t r = chunk.begin; r < chunk.end; ++r) {
                if (totals.rows++ < skip_)
                    continue;
                std::size_t c = 0;
                for (const FieldView field : rows_.row(r))
                    add_cell(totals, c++, field.text);
            }
            continue;
        }
        std::string_view lines(lines_.data() + chunk.begin, chunk.end - chunk.begin);
        while (!lines.empty()) {
            const std::size_t lf = lines.find('\n');
            std::string_view line = lines.substr(0, lf);
            lines.remove_prefix(lf == std::string_view::npos ? lines.size() : lf + 1);
            if (totals.rows++ < skip_)
                continue;
            for (std::size_t c = 0;; ++c) {
                const std::size_t cut = line.find(chunk.delimiter);
                add_cell(totals, c, line.substr(0, cut));
                if (cut == std::string_view::npos)
                    break;
                line.remove_prefix(cut + 1);
            }
        }
    }
}

ColumnSums::Verdict ColumnSums::check(const RowView& row) const {
    if (past_limit())
        return Verdict::Unknown;
    Totals totals = totals_;
    fold_into(totals);
    const std::vector<double>& column_sums = totals.sums;
    std::size_t c = 0;
    std::size_t sums = 0;
    for (const FieldView field : row) {
        const std::size_t column = c++;
        if (column >= numeric_.size() || !numeric_[column] || trim_blanks(field.text).empty())
            continue;
        const std::optional<double> value = number_value(field.text);
        if (!value)
            return Verdict::NotSums;
        // A total printed to fewer decimals than its column is rounded.
        const int decimals = decimals_of(field.text);
        const double unit = std::pow(10.0, -decimals);
        const double tolerance = 0.5 * unit + 1e-9 * std::fabs(column_sums[column]);
        if (std::fabs(*value - column_sums[column]) > tolerance)
            return Verdict::NotSums;
        ++sums;
    }
    return sums != 0 ? Verdict::Sums : Verdict::NotSums;
}

} // namespace rowmend
