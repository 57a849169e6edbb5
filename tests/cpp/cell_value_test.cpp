// A normalized cell's text read back into its Arrow type's binary value:
// each reader against the values a strict parser gives, and the texts it
// must refuse rather than round, clip or wrap.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "heuristics/cell_value.h"

namespace rowmend::kinds {
namespace {

struct IntCase {
    const char* text;
    bool ok;
    std::int64_t value;
};

TEST(CellValue, Int64) {
    const IntCase cases[] = {
        {"0", true, 0},
        {"-123", true, -123},
        {"9223372036854775807", true, std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", true, std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", false, 0}, // one past the range
        {"12a", false, 0},
        {"", false, 0},
    };
    for (const IntCase& c : cases) {
        std::int64_t value = 0;
        EXPECT_EQ(read_int64(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(CellValue, Float64IsCorrectlyRounded) {
    const std::pair<const char*, double> cases[] = {{"1234.5", 1234.5},
                                                    {"-0.1", -0.1},
                                                    {"1e5", 1e5},
                                                    {"0.30000000000000004", 0.30000000000000004}};
    for (const auto& [text, expected] : cases) {
        double value = 0;
        ASSERT_TRUE(read_float64(text, value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
    double value = 0;
    EXPECT_FALSE(read_float64("1.5x", value));
}

struct DecimalCase {
    const char* text;
    unsigned precision, scale;
    bool ok;
    std::int64_t low; // the value fits 64 bits in these cases
};

TEST(CellValue, Decimal128) {
    const DecimalCase cases[] = {
        {"-1234.5", 10, 2, true, -123450},
        {"0.01", 3, 2, true, 1},
        {"99999999999999999", 17, 0, true, 99999999999999999},
        {"1.234", 10, 2, false, 0}, // a digit more than the scale: never rounded
        {"123456", 7, 2, false, 0}, // more whole digits than the type holds
        {"1e5", 10, 0, false, 0},
    };
    for (const DecimalCase& c : cases) {
        std::uint64_t words[2] = {7, 7};
        EXPECT_EQ(read_decimal128(c.text, c.precision, c.scale, words), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(static_cast<std::int64_t>(words[0]), c.low) << c.text;
            EXPECT_EQ(words[1], c.low < 0 ? ~0ull : 0ull) << c.text;
        }
    }
    // 38 digits: the high word holds them.
    std::uint64_t words[2];
    ASSERT_TRUE(read_decimal128("99999999999999999999999999999999999999", 38, 0, words));
    const unsigned __int128 value = (static_cast<unsigned __int128>(words[1]) << 64) | words[0];
    unsigned __int128 expected = 0;
    for (int i = 0; i < 38; ++i)
        expected = expected * 10 + 9;
    EXPECT_TRUE(value == expected);
}

struct TimeCase {
    const char* text;
    bool ok;
    std::int64_t value;
};

TEST(CellValue, Dates) {
    const TimeCase cases[] = {
        {"1970-01-01", true, 0},       {"2024-03-07", true, 19789}, {"1969-12-31", true, -1},
        {"0001-01-01", true, -719162}, {"2024-13-01", false, 0},    {"2024-03-07 ", false, 0},
    };
    for (const TimeCase& c : cases) {
        std::int32_t value = 0;
        EXPECT_EQ(read_date32(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(CellValue, TimestampsAndTimes) {
    constexpr std::int64_t kDay = 86400000000;
    const TimeCase stamps[] = {
        {"2024-03-07 00:00:00", true, 19789 * kDay},
        {"2024-03-07T09:30:00.5", true, 19789 * kDay + 34200500000},
        {"2024-03-07 09:30:00+01:00", true, 19789 * kDay + 30600000000},
        {"2024-03-07 09:30:00-0130", true, 19789 * kDay + 39600000000},
        {"2024-03-07 09:30:00Z", true, 19789 * kDay + 34200000000},
        {"2024-03-07 09:30:00.123456000", true, 19789 * kDay + 34200123456},
        {"2024-03-07 09:30:00.1234567", false, 0}, // finer than the type: never cut
        {"2024-03-07 24:00:00", false, 0},
        {"2024-03-07 09:30:00+1", false, 0},
    };
    for (const TimeCase& c : stamps) {
        std::int64_t value = 0;
        EXPECT_EQ(read_timestamp_us(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    const TimeCase times[] = {
        {"1970-01-01 23:59:59.5", true, 86399500000},
        {"1970-01-01 00:00:00", true, 0},
        {"1971-01-01 00:00:00", false, 0},
    };
    for (const TimeCase& c : times) {
        std::int64_t value = 0;
        EXPECT_EQ(read_time_us(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

} // namespace
} // namespace rowmend::kinds
