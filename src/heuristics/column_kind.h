#pragma once
// What a column's cells hold: integers, decimals, booleans, dates, times,
// timestamps or text, with the formats they are written in. A cell is
// classified into every kind it may be read as (a cell -> kind set, no
// allocation); a column's running counts narrow those sets as its rows
// stream past, and decide one type for it. Where a detection has no
// evidence (a date whose day and month are both 12 or less, "1,234" read
// as a thousand or as a decimal) the decision says it was ambiguous.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rowmend::kinds {

enum class Kind : std::uint8_t { Text, Boolean, Integer, Decimal, Date, Time, Timestamp };

// The name of a kind as the package spells it: "string", "integer", ...
std::string_view kind_name(Kind kind) noexcept;

// The separators a number may group its thousands with.
enum class Grouping : std::uint8_t {
    None,
    Comma,
    Point,
    Space,
    Apostrophe,
    NoBreakSpace,
    NarrowNoBreakSpace
};
inline constexpr std::size_t kGroupings = 7;

// A number's format: its decimal mark ('.' or ',') and its thousands
// separator, as a bit index into a 16-bit mask.
struct NumberFormat {
    char decimal = '.';
    Grouping thousands = Grouping::None;
};
inline constexpr std::size_t kNumberFormats = 2 * kGroupings;
std::size_t format_index(NumberFormat format) noexcept;
NumberFormat format_at(std::size_t index) noexcept;
// The separator's bytes in UTF-8 ("" for none).
std::string_view grouping_text(Grouping grouping) noexcept;

// A unit written on a number: a currency sign before or after it, or a
// percent sign after it.
enum class Unit : std::uint8_t { None, Dollar, Euro, Pound, Yen, Percent };
inline constexpr std::size_t kUnits = 6;
std::string_view unit_text(Unit unit) noexcept;

// Where a date's year stands and what separates its parts: year first
// ("2024-03-07", always year-month-day) or last ("07/03/2024", day or
// month first, which the column's evidence decides).
enum class DateShape : std::uint8_t {
    None,
    YearFirstDash,
    YearFirstSlash,
    YearFirstDot,
    YearLastDash,
    YearLastSlash,
    YearLastDot
};
inline constexpr std::size_t kDateShapes = 7;
bool year_last(DateShape shape) noexcept;

// The order of a year-last date: bits of what its numbers allow.
inline constexpr std::uint8_t kDayFirst = 1;   // day/month/year
inline constexpr std::uint8_t kMonthFirst = 2; // month/day/year

// The strings read as missing values. The defaults are the common
// spellings: empty, NA, N/A, n/a, -, --, null, NULL, None, #N/A, nan.
class NullSpellings {
  public:
    static constexpr std::size_t kMax = 32;
    NullSpellings() noexcept; // the defaults
    static NullSpellings none() noexcept;
    // False when the table is full; the text is not copied and must outlive it.
    bool add(std::string_view text) noexcept;
    bool contains(std::string_view text) const noexcept;

  private:
    std::array<std::string_view, kMax> texts_{};
    std::size_t count_ = 0;
    std::uint64_t lengths_ = 0; // bit n: a spelling of n bytes
    bool long_ = false;         // a spelling of 64 bytes or more
};

// Everything one cell may be read as.
struct CellKinds {
    bool null = false;                 // a missing value's spelling
    bool boolean = false;              // true/false, yes/no (any case)
    bool code = false;                 // digits with a leading zero ("007"): text by rule
    std::uint16_t integer_formats = 0; // formats under which it is an integer that fits int64
    std::uint16_t number_formats = 0;  // formats under which it is a number (integers too)
    bool plain = false;                // a number written with no separator at all
    bool exponent = false;             // a number with an exponent ("1e5")
    std::uint8_t whole = 0,
                 fraction = 0; // digits before and after a decimal point ("-12", "638.17")
    Unit unit = Unit::None;
    DateShape date = DateShape::None; // a date, or a timestamp's date part
    std::uint8_t order = 0;           // for year-last shapes: kDayFirst | kMonthFirst allowed
    bool timestamp = false;           // a date with a time of day
    bool zoned = false;               // a timestamp with Z or an offset
    bool time = false;                // a time of day alone
    // Where the parts were found, for normalize_cell: the number's sign and
    // digits, or the date's numbers in the order written and where the time
    // of day starts in the trimmed cell.
    bool negative = false;
    std::uint16_t body_begin = 0, body_end = 0;
    std::uint16_t year = 0;
    std::uint8_t first = 0, second = 0; // month and day, or day and month, as written
    std::uint16_t time_begin = 0;

    bool text() const noexcept {
        return !null && !boolean && number_formats == 0 && date == DateShape::None && !time;
    }
};

// What a column's decision is bound by: the null spellings, and a decimal
// mark or thousands separator the user gave (0 / nullopt-like: detect).
struct KindRules {
    NullSpellings nulls;
    char decimal = 0; // '.' or ',' to force, 0 to detect
    bool force_thousands = false;
    Grouping thousands = Grouping::None;
};

// The kinds one cell may be read as, its blanks around it trimmed.
CellKinds classify_cell(std::string_view cell, const KindRules& rules) noexcept;

// A column's decided type.
struct ColumnType {
    Kind kind = Kind::Text;
    Kind nearest = Kind::Text; // for text decided for its misfits: the kind that came closest
    NumberFormat number{};
    Unit unit = Unit::None;
    std::uint8_t order = 0;   // kDayFirst or kMonthFirst for year-last dates
    std::uint8_t shapes = 0;  // bit per DateShape the column's dates take
    bool zoned = false;       // timestamps carry a zone (read as UTC)
    bool ambiguous = false;   // another reading fits as many cells
    std::uint64_t values = 0; // cells that are not null
    std::uint64_t misfits =
        0; // of those, how many do not fit the kind (an estimate; the conversion counts exactly)
    std::uint64_t codes = 0; // leading-zero codes among the cells
    // Every value is written as a strict parser reads it ("-12", "638.17",
    // "2024-03-07"): the cells may go to one unchanged.
    bool verbatim = false;
    bool grouped = false; // some number groups its thousands with the format's separator
    // For numbers: the most digits before and after a decimal point seen.
    std::uint8_t whole_digits = 0, scale = 0;
    bool exponent = false;
};

// The running state of one column: counts of what its cells may be.
class ColumnKinds {
  public:
    explicit ColumnKinds(const KindRules& rules) noexcept : rules_(&rules) {}

    void add(std::string_view cell) noexcept;
    void add(const CellKinds& cell) noexcept;
    std::uint64_t cells() const noexcept { return cells_; }

    // The narrowest kind that fits the most cells; text when no kind fits
    // all but `misfit_share` of them (or the column has no values), or
    // when a date's day/month order has no evidence.
    ColumnType decide(double misfit_share = 0.01) const noexcept;
    // The best reading of the column as `kind`, whatever its misfits (a
    // user's override).
    ColumnType decide_as(Kind kind) const noexcept;

  private:
    struct FormatRun {
        std::uint16_t integer_formats = 0, number_formats = 0;
        std::uint64_t count = 0;
    };
    static void spread(const FormatRun& run, std::array<std::uint64_t, kNumberFormats>& integers,
                       std::array<std::uint64_t, kNumberFormats>& numbers) noexcept;

    const KindRules* rules_;
    FormatRun run_; // the latest cells' formats, not yet in integers_ and numbers_
    std::uint64_t cells_ = 0, nulls_ = 0, booleans_ = 0, times_ = 0, codes_ = 0, zoned_ = 0;
    std::array<std::uint64_t, kNumberFormats> integers_{}, numbers_{};
    std::uint8_t whole_ = 0, fraction_ = 0;
    bool exponent_ = false;
    std::uint64_t numbers_seen_ = 0, plain_ = 0; // number cells, and those with no separator
    std::array<std::uint64_t, kUnits> units_{};  // among number cells
    std::array<std::uint64_t, kDateShapes> dates_{}, stamps_{};
    std::uint64_t day_first_only_ = 0, month_first_only_ = 0; // year-last cells
};

// Whether the cell fits `type`, and if so its value as text a strict
// parser reads: numbers with '.' for a decimal mark and no grouping or
// unit ("-1234.5"), dates as YYYY-MM-DD, timestamps as
// "YYYY-MM-DD HH:MM:SS[.fff][+HH:MM]", times as a timestamp on
// 1970-01-01, booleans as "true"/"false".
// `out` must hold `cell.size() + 16` bytes; returns the length written, or
// -1 when the cell does not fit or is null.
std::ptrdiff_t normalize_cell(std::string_view cell, const ColumnType& type, const KindRules& rules,
                              char* out) noexcept;
// The same for a cell already classified: `kinds` is classify_cell(cell).
std::ptrdiff_t normalize_cell(std::string_view cell, const CellKinds& kinds, const ColumnType& type,
                              char* out) noexcept;

} // namespace rowmend::kinds
