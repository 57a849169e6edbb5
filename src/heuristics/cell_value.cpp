#include "heuristics/cell_value.h"

#include <charconv>
#include <cstddef>
#include <limits>
#include <system_error>

namespace rowmend::kinds {

namespace {

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Exactly `count` digits at `i`.
bool fixed(std::string_view text, std::size_t& i, std::size_t count, unsigned& value) noexcept {
    if (text.size() < i + count)
        return false;
    value = 0;
    for (std::size_t end = i + count; i < end; ++i) {
        if (!is_digit(text[i]))
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's
// days_from_civil), exact for every year the classifier reads.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The byte `mark` at `i`, stepped over.
bool mark_at(std::string_view text, std::size_t& i, char mark) noexcept {
    if (i >= text.size() || text[i] != mark)
        return false;
    ++i;
    return true;
}

bool date_at(std::string_view text, std::size_t& i, std::int64_t& days) noexcept {
    unsigned year = 0, month = 0, day = 0;
    if (!fixed(text, i, 4, year) || !mark_at(text, i, '-') || !fixed(text, i, 2, month) ||
        !mark_at(text, i, '-') || !fixed(text, i, 2, day) || month < 1 || month > 12 || day < 1 ||
        day > 31)
        return false;
    days = days_from_civil(year, month, day);
    return true;
}

// HH:MM:SS[.f{1,6}] at `i`, as microseconds.
bool time_at(std::string_view text, std::size_t& i, std::int64_t& micros) noexcept {
    unsigned hour = 0, minute = 0, second = 0;
    if (!fixed(text, i, 2, hour) || !mark_at(text, i, ':') || !fixed(text, i, 2, minute) ||
        !mark_at(text, i, ':') || !fixed(text, i, 2, second) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    std::int64_t fraction = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        std::size_t digits = 0;
        for (; i < text.size() && is_digit(text[i]); ++i, ++digits) {
            if (digits >= 6) {
                if (text[i] != '0')
                    return false; // finer than a microsecond
                continue;
            }
            fraction = fraction * 10 + (text[i] - '0');
        }
        if (digits == 0)
            return false;
        for (; digits < 6; ++digits)
            fraction *= 10;
    }
    micros = ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000000 + fraction;
    return true;
}

// Z, +HH, +HHMM or +HH:MM at `i` (the whole rest), as microseconds east of UTC.
bool zone_at(std::string_view text, std::size_t i, std::int64_t& offset) noexcept {
    offset = 0;
    if (i == text.size())
        return true;
    if (text[i] == 'Z')
        return i + 1 == text.size();
    if (text[i] != '+' && text[i] != '-')
        return false;
    const bool west = text[i++] == '-';
    unsigned hours = 0, minutes = 0;
    if (!fixed(text, i, 2, hours))
        return false;
    if (i < text.size() && text[i] == ':')
        ++i;
    if (i < text.size() && !fixed(text, i, 2, minutes))
        return false;
    if (i != text.size() || hours > 23 || minutes > 59)
        return false;
    offset = (static_cast<std::int64_t>(hours) * 60 + minutes) * 60 * 1000000;
    if (west)
        offset = -offset;
    return true;
}

} // namespace

bool read_int64(std::string_view text, std::int64_t& out) noexcept {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, out);
    return error == std::errc() && at == end;
}

bool read_float64(std::string_view text, double& out) noexcept {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, out);
    return error == std::errc() && at == end;
}

Digits count_digits(std::string_view text) noexcept {
    Digits digits;
    std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
    while (i < text.size() && text[i] == '0')
        ++i;
    for (; i < text.size() && is_digit(text[i]); ++i)
        ++digits.whole;
    if (i < text.size() && text[i] == '.') {
        const std::size_t start = ++i;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        digits.fraction = static_cast<unsigned>(i - start);
    }
    digits.exponent = i < text.size();
    return digits;
}

bool read_decimal128(std::string_view text, unsigned precision, unsigned scale,
                     std::uint64_t out[2]) noexcept {
    const Digits digits = count_digits(text);
    if (digits.exponent || scale > precision || digits.whole > precision - scale ||
        digits.fraction > scale)
        return false;
    const bool negative = !text.empty() && text[0] == '-';
    unsigned __int128 value = 0;
    for (char c : text)
        if (is_digit(c))
            value = value * 10 + static_cast<unsigned>(c - '0');
    for (unsigned k = digits.fraction; k < scale; ++k)
        value *= 10;
    // At most 38 digits: below 2^127, so negating stays in range.
    if (negative)
        value = ~value + 1;
    out[0] = static_cast<std::uint64_t>(value);
    out[1] = static_cast<std::uint64_t>(value >> 64);
    return true;
}

std::int32_t days_since_epoch(unsigned year, unsigned month, unsigned day) noexcept {
    return static_cast<std::int32_t>(days_from_civil(year, month, day));
}

bool read_date32(std::string_view text, std::int32_t& out) noexcept {
    std::size_t i = 0;
    std::int64_t days = 0;
    if (!date_at(text, i, days) || i != text.size())
        return false;
    out = static_cast<std::int32_t>(days);
    return true;
}

bool read_timestamp_us(std::string_view text, std::int64_t& out) noexcept {
    std::size_t i = 0;
    std::int64_t days = 0, micros = 0, offset = 0;
    if (!date_at(text, i, days) || i >= text.size() || (text[i] != ' ' && text[i] != 'T'))
        return false;
    ++i;
    if (!time_at(text, i, micros) || !zone_at(text, i, offset))
        return false;
    out = days * 86400 * 1000000 + micros - offset;
    return true;
}

bool read_time_us(std::string_view text, std::int64_t& out) noexcept {
    constexpr std::string_view kEpoch = "1970-01-01 ";
    if (text.substr(0, kEpoch.size()) != kEpoch)
        return false;
    std::size_t i = kEpoch.size();
    return time_at(text, i, out) && i == text.size();
}

} // namespace rowmend::kinds
