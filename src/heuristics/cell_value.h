#pragma once
// A normalized cell's value in the binary form of its Arrow type. The
// column-kind classifier writes every fitting cell as plain text
// (normalize_cell: "-1234.5", "2024-03-07", "2024-03-07 09:30:00.5+01:00");
// these read that text back into int64, float64, decimal128, date32 or
// microseconds, so that a column is typed in one pass over its cells with
// no intermediate string array. Each returns false when the value does not
// fit its type (an integer past int64, more digits than a decimal holds),
// and the caller keeps the cell as a misfit rather than round or clip it.

#include <cstdint>
#include <string_view>

namespace rowmend::kinds {

// "-123" -> -123; false past int64's range.
bool read_int64(std::string_view text, std::int64_t& out) noexcept;

// "-1234.50", "1e5" -> the nearest double (correctly rounded).
bool read_float64(std::string_view text, double& out) noexcept;

// The digits of a plain number ("-1234.50"): before the point (leading
// zeros aside) and after it, and whether it has an exponent.
struct Digits {
    unsigned whole = 0, fraction = 0;
    bool exponent = false;
};
Digits count_digits(std::string_view text) noexcept;

// "-1234.5" at scale 2 -> -123450 as a 128-bit two's complement integer
// (low word first); false when it has more whole digits than
// `precision - scale`, more fraction digits than `scale`, or an exponent.
bool read_decimal128(std::string_view text, unsigned precision, unsigned scale,
                     std::uint64_t out[2]) noexcept;

// Days from 1970-01-01 to a valid proleptic Gregorian date.
std::int32_t days_since_epoch(unsigned year, unsigned month, unsigned day) noexcept;

// "2024-03-07" -> days since 1970-01-01.
bool read_date32(std::string_view text, std::int32_t& out) noexcept;

// "2024-03-07 09:30:00[.ffffff][Z|+HH[:MM]|+HHMM]" -> microseconds since
// the epoch, in UTC when zoned. False for a fraction finer than a
// microsecond, which the type would cut.
bool read_timestamp_us(std::string_view text, std::int64_t& out) noexcept;

// The same text on 1970-01-01 (a time of day) -> microseconds since midnight.
bool read_time_us(std::string_view text, std::int64_t& out) noexcept;

} // namespace rowmend::kinds
