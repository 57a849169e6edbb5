#include "heuristics/column_kind.h"

#include <algorithm>
#include <cstring>

namespace rowmend::kinds {

namespace {

// No number, date or time is this long; a longer cell is text unread.
constexpr std::size_t kMaxTypedCell = 128;

constexpr std::uint16_t kPointFormats =
    0x007F & ~(1u << 2); // a point for the mark, any other grouping
constexpr std::uint16_t kAllFormats = 0x3FFF & ~(1u << 2) & ~(1u << (kGroupings + 1));

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_folded(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

constexpr std::string_view kGroupingTexts[kGroupings] = {"",  ",",        ".",           " ",
                                                         "'", "\xC2\xA0", "\xE2\x80\xAF"};
constexpr std::string_view kUnitTexts[kUnits] = {"",         "$",        "\xE2\x82\xAC",
                                                 "\xC2\xA3", "\xC2\xA5", "%"};

// The grouping separator at the start of `text`, its length in `size`.
bool grouping_at(std::string_view text, Grouping& grouping, std::size_t& size) noexcept {
    size = 1;
    switch (text[0]) {
    case ',':
        grouping = Grouping::Comma;
        return true;
    case '.':
        grouping = Grouping::Point;
        return true;
    case ' ':
        grouping = Grouping::Space;
        return true;
    case '\'':
        grouping = Grouping::Apostrophe;
        return true;
    default:
        break;
    }
    for (std::size_t g = 5; g < kGroupings; ++g) {
        const std::string_view sep = kGroupingTexts[g];
        if (text.substr(0, sep.size()) == sep) {
            grouping = static_cast<Grouping>(g);
            size = sep.size();
            return true;
        }
    }
    return false;
}

// A currency sign at the start (or, with `suffix`, the end) of `text`.
Unit currency_at(std::string_view text, bool suffix) noexcept {
    if (text.empty())
        return Unit::None;
    // Every sign is '$' or begins (ends) with a byte above ASCII.
    const auto edge = static_cast<unsigned char>(suffix ? text.back() : text.front());
    if (edge != '$' && edge < 0x80)
        return Unit::None;
    for (std::size_t u = 1; u + 1 < kUnits; ++u) {
        const std::string_view sign = kUnitTexts[u];
        if (text.size() >= sign.size() &&
            (suffix ? text.substr(text.size() - sign.size()) : text.substr(0, sign.size())) == sign)
            return static_cast<Unit>(u);
    }
    return Unit::None;
}

bool fits_int64(std::string_view digits, bool negative) noexcept {
    while (digits.size() > 1 && digits.front() == '0')
        digits.remove_prefix(1);
    if (digits.size() != 19)
        return digits.size() < 19;
    return digits <= (negative ? std::string_view("9223372036854775808")
                               : std::string_view("9223372036854775807"));
}

// The digits and separators of a number's body, split into runs of digits.
// Only [0, count) of each array is ever read, so they are left
// uninitialised: zeroing them cost more than the rest of a cell's reading.
struct Runs {
    static constexpr std::size_t kMax = 16;
    const char* starts[kMax];
    std::uint8_t sizes[kMax];
    Grouping seps[kMax]; // seps[i] stands before run i (i >= 1)
    std::size_t count = 0;
    std::string_view digits(std::size_t i) const noexcept { return {starts[i], sizes[i]}; }
};

bool split_runs(std::string_view body, Runs& runs) noexcept {
    std::size_t i = 0;
    while (i < body.size()) {
        const std::size_t start = i;
        while (i < body.size() && is_digit(body[i]))
            ++i;
        if (i == start || runs.count == Runs::kMax)
            return false;
        runs.starts[runs.count] = body.data() + start;
        runs.sizes[runs.count++] = static_cast<std::uint8_t>(i - start);
        if (i == body.size())
            break;
        std::size_t size = 0;
        Grouping sep{};
        if (!grouping_at(body.substr(i), sep, size) || i + size >= body.size())
            return false;
        runs.seps[runs.count] = sep;
        i += size;
    }
    return runs.count > 0;
}

constexpr std::uint16_t bit_of(char decimal, Grouping grouping) noexcept {
    return static_cast<std::uint16_t>(
        1u << ((decimal == ',' ? kGroupings : 0) + static_cast<std::size_t>(grouping)));
}

char type_mark(std::size_t format) noexcept {
    return format >= kGroupings ? ',' : '.';
}

Grouping mark_grouping(char decimal) noexcept {
    return decimal == '.' ? Grouping::Point : Grouping::Comma;
}

// The number's formats: under which it reads as a number, and as an integer.
void number_formats(const Runs& runs, bool negative, CellKinds& out) noexcept {
    if (runs.count == 1) {
        out.plain = true;
        out.number_formats = kAllFormats;
        out.integer_formats = fits_int64(runs.digits(0), negative) ? kAllFormats : 0;
        return;
    }
    if (runs.count == 2 && runs.seps[1] != Grouping::Space &&
        runs.seps[1] != Grouping::Apostrophe && runs.seps[1] != Grouping::NoBreakSpace &&
        runs.seps[1] != Grouping::NarrowNoBreakSpace) {
        // "638.17" or "1,234": a decimal under the formats whose mark the
        // separator is, and a grouped integer under those it groups for.
        const bool point = runs.seps[1] == Grouping::Point;
        const std::uint16_t marks = point ? 0x007F : 0x3F80;
        out.number_formats = marks & kAllFormats;
        if (runs.digits(0).size() <= 3 && runs.digits(1).size() == 3) {
            const std::uint16_t grouped =
                point ? bit_of(',', Grouping::Point) : bit_of('.', Grouping::Comma);
            out.number_formats |= grouped;
            out.integer_formats |= grouped;
        }
        return;
    }
    for (std::size_t index = 0; index < kNumberFormats; ++index) {
        if (!(kAllFormats & (1u << index)))
            continue;
        const NumberFormat format = format_at(index);
        const Grouping mark = mark_grouping(format.decimal);
        const bool fraction = runs.seps[runs.count - 1] == mark;
        const std::size_t groups = fraction ? runs.count - 1 : runs.count;
        bool grouped = runs.digits(0).size() <= 3;
        for (std::size_t i = 1; i < groups && grouped; ++i)
            grouped = runs.seps[i] == format.thousands && runs.digits(i).size() == 3;
        if (groups > 1 && (!grouped || format.thousands == Grouping::None))
            continue;
        if (!fraction && groups == 1)
            continue; // one run: the plain case above
        out.number_formats |= static_cast<std::uint16_t>(1u << index);
        if (!fraction) {
            // Grouped digits without a fraction; at most 6 groups of 3 fit int64 safely.
            std::size_t digits = 0;
            for (std::size_t i = 0; i < groups; ++i)
                digits += runs.digits(i).size();
            if (digits <= 18)
                out.integer_formats |= static_cast<std::uint16_t>(1u << index);
        }
    }
}

// A number: [sign] [currency] [sign] body [exponent] [blank] [currency | %].
bool classify_number(std::string_view text, CellKinds& out, std::size_t offset) noexcept {
    std::size_t begin = 0, end = text.size();
    auto sign = [&] {
        if (begin < end && (text[begin] == '-' || text[begin] == '+')) {
            out.negative = text[begin] == '-';
            ++begin;
            return true;
        }
        return false;
    };
    const bool signed_first = sign();
    if (const Unit unit = currency_at(text.substr(begin, end - begin), false); unit != Unit::None) {
        out.unit = unit;
        begin += kUnitTexts[static_cast<std::size_t>(unit)].size();
        if (!signed_first)
            sign();
    }
    if (out.unit == Unit::None && end > begin) {
        if (text[end - 1] == '%') {
            out.unit = Unit::Percent;
            --end;
        } else if (const Unit unit = currency_at(text.substr(begin, end - begin), true);
                   unit != Unit::None) {
            out.unit = unit;
            end -= kUnitTexts[static_cast<std::size_t>(unit)].size();
        }
        if (out.unit != Unit::None && end > begin && text[end - 1] == ' ')
            --end;
    }
    if (begin >= end || !(is_digit(text[begin]) || text[begin] == '.' || text[begin] == ','))
        return false;
    // An exponent: the mantissa is written with a point and no grouping.
    std::size_t exponent = end;
    for (std::size_t i = begin + 1; i < end; ++i) {
        if (text[i] == 'e' || text[i] == 'E') {
            exponent = i;
            break;
        }
    }
    out.body_begin = static_cast<std::uint16_t>(offset + begin);
    out.body_end = static_cast<std::uint16_t>(offset + end);
    if (exponent != end) {
        std::size_t i = exponent + 1;
        if (i < end && (text[i] == '-' || text[i] == '+'))
            ++i;
        if (i == end)
            return false;
        for (; i < end; ++i)
            if (!is_digit(text[i]))
                return false;
        bool point = false;
        std::size_t digits = 0;
        for (std::size_t i2 = begin; i2 < exponent; ++i2) {
            if (text[i2] == '.' && !point)
                point = true;
            else if (is_digit(text[i2]))
                ++digits;
            else
                return false;
        }
        if (digits == 0)
            return false;
        for (std::size_t index = 0; index < kGroupings; ++index)
            out.number_formats |= static_cast<std::uint16_t>(1u << index);
        out.number_formats &= kAllFormats;
        out.exponent = true;
        return true;
    }
    std::string_view body = text.substr(begin, end - begin);
    // A fraction alone: ".5" or ",5".
    if (body.front() == '.' || body.front() == ',') {
        const char mark = body.front();
        body.remove_prefix(1);
        if (body.empty() || !std::all_of(body.begin(), body.end(), is_digit))
            return false;
        for (std::size_t index = 0; index < kNumberFormats; ++index)
            if (format_at(index).decimal == mark)
                out.number_formats |= static_cast<std::uint16_t>(1u << index);
        out.number_formats &= kAllFormats;
        return true;
    }
    Runs runs;
    if (!split_runs(body, runs))
        return false;
    // A leading zero before more digits is a code ("007"), never a number.
    if (runs.digits(0).size() > 1 && runs.digits(0).front() == '0') {
        out.code = out.unit == Unit::None;
        return false;
    }
    number_formats(runs, out.negative, out);
    if (runs.count <= 2) {
        const bool fraction = runs.count == 2 && runs.seps[1] == Grouping::Point;
        out.whole = static_cast<std::uint8_t>(fraction || runs.count == 1 ? runs.sizes[0] : 0);
        out.fraction = static_cast<std::uint8_t>(fraction ? runs.sizes[1] : 0);
    }
    return out.number_formats != 0;
}

std::uint8_t days_in_month(unsigned year, unsigned month) noexcept {
    static constexpr std::uint8_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)))
        return 29;
    return days[month - 1];
}

bool valid_date(unsigned year, unsigned month, unsigned day) noexcept {
    return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

// Up to `most` digits (at least `least`) at `i`; their value.
bool read_number(std::string_view text, std::size_t& i, std::size_t least, std::size_t most,
                 unsigned& value) noexcept {
    const std::size_t start = i;
    value = 0;
    while (i < text.size() && i - start < most && is_digit(text[i]))
        value = value * 10 + static_cast<unsigned>(text[i++] - '0');
    return i - start >= least;
}

// HH:MM[:SS[.fraction]] at `i`.
bool read_time(std::string_view text, std::size_t& i) noexcept {
    unsigned hour = 0, minute = 0, second = 0;
    if (!read_number(text, i, 1, 2, hour) || hour > 23 || i >= text.size() || text[i] != ':')
        return false;
    ++i;
    if (!read_number(text, i, 2, 2, minute) || minute > 59)
        return false;
    if (i < text.size() && text[i] == ':') {
        ++i;
        if (!read_number(text, i, 2, 2, second) || second > 59)
            return false;
        if (i < text.size() && text[i] == '.') {
            ++i;
            unsigned ignored = 0;
            if (!read_number(text, i, 1, 9, ignored))
                return false;
        }
    }
    return true;
}

// Z, +HH:MM, +HHMM or +HH at `i`.
bool read_zone(std::string_view text, std::size_t& i) noexcept {
    if (text[i] == 'Z') {
        ++i;
        return true;
    }
    if (text[i] != '+' && text[i] != '-')
        return false;
    ++i;
    unsigned hours = 0, minutes = 0;
    if (!read_number(text, i, 2, 2, hours) || hours > 23)
        return false;
    if (i < text.size() && text[i] == ':')
        ++i;
    if (i < text.size() && (!read_number(text, i, 2, 2, minutes) || minutes > 59))
        return false;
    return true;
}

bool classify_date(std::string_view text, CellKinds& out) noexcept {
    std::size_t i = 0;
    unsigned a = 0, b = 0, c = 0;
    if (!read_number(text, i, 1, 4, a) || i >= text.size())
        return false;
    const bool year_first = i == 4;
    if (!year_first && i > 2)
        return false;
    const char sep = text[i];
    std::size_t shape = sep == '-' ? 1 : sep == '/' ? 2 : sep == '.' ? 3 : 0;
    if (shape == 0)
        return false;
    ++i;
    if (!read_number(text, i, 1, 2, b) || i >= text.size() || text[i] != sep)
        return false;
    ++i;
    if (!read_number(text, i, year_first ? 1 : 4, year_first ? 2 : 4, c))
        return false;
    if (year_first) {
        if (!valid_date(a, b, c))
            return false;
        out.year = static_cast<std::uint16_t>(a);
        out.first = static_cast<std::uint8_t>(b);
        out.second = static_cast<std::uint8_t>(c);
    } else {
        shape += 3;
        out.order = static_cast<std::uint8_t>((valid_date(c, b, a) ? kDayFirst : 0) |
                                              (valid_date(c, a, b) ? kMonthFirst : 0));
        if (out.order == 0)
            return false;
        out.year = static_cast<std::uint16_t>(c);
        out.first = static_cast<std::uint8_t>(a);
        out.second = static_cast<std::uint8_t>(b);
    }
    if (i < text.size()) {
        if (text[i] != 'T' && text[i] != ' ')
            return false;
        ++i;
        out.time_begin = static_cast<std::uint16_t>(i);
        if (!read_time(text, i))
            return false;
        if (i < text.size()) {
            if (text[i] == ' ')
                ++i;
            if (i >= text.size() || !read_zone(text, i) || i != text.size())
                return false;
            out.zoned = true;
        }
        out.timestamp = true;
    }
    out.date = static_cast<DateShape>(shape);
    return true;
}

void fill_number_text(std::string_view text, const CellKinds& cell, NumberFormat format, char* out,
                      std::size_t& n) noexcept {
    if (cell.negative)
        out[n++] = '-';
    const std::string_view body = text.substr(cell.body_begin, cell.body_end - cell.body_begin);
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (is_digit(c) || c == 'e' || c == 'E' || c == '+' || c == '-') {
            out[n++] = c;
        } else if (c == format.decimal) {
            if (n == 0 || !is_digit(out[n - 1]))
                out[n++] = '0';
            out[n++] = '.';
        }
        // Anything else is a grouping separator's byte.
    }
}

void put2(char* out, std::size_t& n, unsigned value) noexcept {
    out[n++] = static_cast<char>('0' + value / 10 % 10);
    out[n++] = static_cast<char>('0' + value % 10);
}

} // namespace

std::string_view kind_name(Kind kind) noexcept {
    switch (kind) {
    case Kind::Boolean:
        return "boolean";
    case Kind::Integer:
        return "integer";
    case Kind::Decimal:
        return "decimal";
    case Kind::Date:
        return "date";
    case Kind::Time:
        return "time";
    case Kind::Timestamp:
        return "timestamp";
    case Kind::Text:
        break;
    }
    return "string";
}

std::size_t format_index(NumberFormat format) noexcept {
    return (format.decimal == ',' ? kGroupings : 0) + static_cast<std::size_t>(format.thousands);
}

NumberFormat format_at(std::size_t index) noexcept {
    return {index >= kGroupings ? ',' : '.', static_cast<Grouping>(index % kGroupings)};
}

std::string_view grouping_text(Grouping grouping) noexcept {
    return kGroupingTexts[static_cast<std::size_t>(grouping)];
}

std::string_view unit_text(Unit unit) noexcept {
    return kUnitTexts[static_cast<std::size_t>(unit)];
}

bool year_last(DateShape shape) noexcept {
    return shape >= DateShape::YearLastDash;
}

NullSpellings::NullSpellings() noexcept {
    for (std::string_view text :
         {"", "NA", "N/A", "n/a", "-", "--", "null", "NULL", "None", "#N/A", "nan"})
        add(text);
}

NullSpellings NullSpellings::none() noexcept {
    NullSpellings spellings;
    spellings.count_ = 0;
    spellings.lengths_ = 0;
    spellings.long_ = false;
    return spellings;
}

bool NullSpellings::add(std::string_view text) noexcept {
    if (count_ == kMax)
        return false;
    texts_[count_++] = text;
    lengths_ |= text.size() < 64 ? std::uint64_t{1} << text.size() : 0;
    long_ = long_ || text.size() >= 64;
    return true;
}

bool NullSpellings::contains(std::string_view text) const noexcept {
    // Most cells have a length no spelling has.
    if (text.size() < 64 ? !((lengths_ >> text.size()) & 1u) : !long_)
        return false;
    for (std::size_t i = 0; i < count_; ++i)
        if (texts_[i] == text)
            return true;
    return false;
}

CellKinds classify_cell(std::string_view cell, const KindRules& rules) noexcept {
    using namespace std::string_view_literals;
    CellKinds out;
    const std::string_view text = trim(cell);
    if (rules.nulls.contains(text)) {
        out.null = true;
        return out;
    }
    if (text.empty() || text.size() > kMaxTypedCell)
        return out;
    const std::size_t offset = static_cast<std::size_t>(text.data() - cell.data());
    const char first = text.front();
    if (is_digit(first)) {
        // Most cells of a typed column are plain digits: read them at once.
        std::size_t i = 1;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        if (i == text.size()) {
            if (text.size() > 1 && first == '0') {
                out.code = true;
                return out;
            }
            out.plain = true;
            out.number_formats = kAllFormats;
            out.integer_formats = fits_int64(text, false) ? kAllFormats : 0;
            out.whole = static_cast<std::uint8_t>(text.size());
            out.body_begin = static_cast<std::uint16_t>(offset);
            out.body_end = static_cast<std::uint16_t>(offset + text.size());
            return out;
        }
        if (i < text.size() && text[i] == '.' && i + 1 < text.size() &&
            (i > 3 || text.size() - i - 1 != 3) && text.size() - i - 1 <= 0xFF) {
            // "638.17": a decimal with a point, unless its fraction ends early.
            std::size_t j = i + 1;
            while (j < text.size() && is_digit(text[j]))
                ++j;
            if (j == text.size() && !(i > 1 && first == '0')) {
                out.number_formats = kPointFormats;
                out.whole = static_cast<std::uint8_t>(i);
                out.fraction = static_cast<std::uint8_t>(text.size() - i - 1);
                out.body_begin = static_cast<std::uint16_t>(offset);
                out.body_end = static_cast<std::uint16_t>(offset + text.size());
                return out;
            }
        }
        if (i == 4 && text.size() == 10 && text[4] == '-' && text[7] == '-' && is_digit(text[5]) &&
            is_digit(text[6]) && is_digit(text[8]) && is_digit(text[9])) {
            // "2024-03-07", the commonest date of all.
            const unsigned year =
                static_cast<unsigned>((text[0] - '0') * 1000 + (text[1] - '0') * 100 +
                                      (text[2] - '0') * 10 + (text[3] - '0'));
            const unsigned month = static_cast<unsigned>((text[5] - '0') * 10 + (text[6] - '0'));
            const unsigned day = static_cast<unsigned>((text[8] - '0') * 10 + (text[9] - '0'));
            if (!valid_date(year, month, day))
                return out;
            out.date = DateShape::YearFirstDash;
            out.year = static_cast<std::uint16_t>(year);
            out.first = static_cast<std::uint8_t>(month);
            out.second = static_cast<std::uint8_t>(day);
            return out;
        }
        if (classify_date(text, out)) {
            out.time_begin = static_cast<std::uint16_t>(out.time_begin + offset);
            return out;
        }
        out = CellKinds{};
        i = 0;
        if (read_time(text, i) && i == text.size()) {
            out.time = true;
            return out;
        }
    } else if ((first | 0x20) >= 'a' && (first | 0x20) <= 'z') {
        // A letter first: a boolean's word, or text.
        if (text.size() <= 5)
            for (std::string_view word : {"true"sv, "false"sv, "yes"sv, "no"sv})
                if (equal_folded(text, word))
                    out.boolean = true;
        return out;
    }
    if (classify_number(text, out, offset)) {
        if (rules.decimal != 0 || rules.force_thousands) {
            std::uint16_t allowed = kAllFormats;
            for (std::size_t index = 0; index < kNumberFormats; ++index) {
                const NumberFormat format = format_at(index);
                if ((rules.decimal != 0 && format.decimal != rules.decimal) ||
                    (rules.force_thousands && format.thousands != rules.thousands))
                    allowed = static_cast<std::uint16_t>(allowed & ~(1u << index));
            }
            // A number with no separator reads the same under every format.
            if (!out.plain) {
                out.number_formats &= allowed;
                out.integer_formats &= allowed;
            }
        }
    } else {
        out.number_formats = out.integer_formats = 0;
        out.unit = Unit::None;
    }
    return out;
}

void ColumnKinds::add(std::string_view cell) noexcept {
    add(classify_cell(cell, *rules_));
}

void ColumnKinds::add(const CellKinds& cell) noexcept {
    ++cells_;
    if (cell.null) {
        ++nulls_;
        return;
    }
    booleans_ += cell.boolean;
    times_ += cell.time;
    codes_ += cell.code;
    if (cell.number_formats != 0) {
        ++numbers_seen_;
        plain_ += cell.plain;
        ++units_[static_cast<std::size_t>(cell.unit)];
        // A column's numbers mostly share their formats: count runs of the
        // same pair of masks, and spread each run over the formats once.
        if (cell.integer_formats != run_.integer_formats ||
            cell.number_formats != run_.number_formats) {
            spread(run_, integers_, numbers_);
            run_ = {cell.integer_formats, cell.number_formats, 0};
        }
        ++run_.count;
        whole_ = std::max(whole_, cell.whole);
        fraction_ = std::max(fraction_, cell.fraction);
        exponent_ = exponent_ || cell.exponent;
    }
    if (cell.date != DateShape::None) {
        auto& counts = cell.timestamp ? stamps_ : dates_;
        ++counts[static_cast<std::size_t>(cell.date)];
        zoned_ += cell.zoned;
        if (year_last(cell.date)) {
            day_first_only_ += cell.order == kDayFirst;
            month_first_only_ += cell.order == kMonthFirst;
        }
    }
}

namespace {

// The format with the most cells among `counts`. On a tie a point comes
// before a comma, and each mark's usual grouping (a comma for a point, a
// point for a comma) before none, so that a column with no grouped number
// yet still reads "1,234.50" when it comes.
std::size_t best_format(const std::array<std::uint64_t, kNumberFormats>& counts,
                        std::uint64_t& fit) noexcept {
    constexpr std::size_t kPreference[] = {1,
                                           0,
                                           3,
                                           4,
                                           5,
                                           6,
                                           kGroupings + 2,
                                           kGroupings,
                                           kGroupings + 3,
                                           kGroupings + 4,
                                           kGroupings + 5,
                                           kGroupings + 6};
    std::size_t best = kPreference[0];
    for (std::size_t i : kPreference)
        if (counts[i] > counts[best])
            best = i;
    fit = counts[best];
    return best;
}

} // namespace

void ColumnKinds::spread(const FormatRun& run, std::array<std::uint64_t, kNumberFormats>& integers,
                         std::array<std::uint64_t, kNumberFormats>& numbers) noexcept {
    if (run.count == 0)
        return;
    for (std::size_t i = 0; i < kNumberFormats; ++i) {
        integers[i] += ((run.integer_formats >> i) & 1u) * run.count;
        numbers[i] += ((run.number_formats >> i) & 1u) * run.count;
    }
}

ColumnType ColumnKinds::decide_as(Kind kind) const noexcept {
    auto integers = integers_;
    auto numbers = numbers_;
    spread(run_, integers, numbers);
    ColumnType type;
    type.kind = kind;
    type.values = cells_ - nulls_;
    type.codes = codes_;
    std::uint64_t fit = 0;
    switch (kind) {
    case Kind::Boolean:
        fit = booleans_;
        break;
    case Kind::Time:
        fit = times_;
        break;
    case Kind::Integer:
    case Kind::Decimal: {
        const std::size_t index = best_format(kind == Kind::Integer ? integers : numbers, fit);
        const std::uint64_t raw = fit;
        const auto& counts = kind == Kind::Integer ? integers : numbers;
        type.grouped = raw > counts[format_index({type_mark(index), Grouping::None})];
        type.number = format_at(index);
        std::size_t unit = 0;
        for (std::size_t u = 1; u < kUnits; ++u)
            if (units_[u] > units_[unit])
                unit = u;
        type.unit = static_cast<Unit>(unit);
        // Number cells with another unit do not fit (counted once, if not already out).
        const std::uint64_t other_units = numbers_seen_ - units_[unit];
        fit = fit > other_units ? fit - other_units : 0;
        // "1,234" reads as a thousand and as a decimal alike unless some
        // cell tells them apart: the other decimal mark fits as many.
        if (raw > plain_) {
            std::uint64_t other = 0;
            for (std::size_t i = 0; i < kNumberFormats; ++i)
                if (format_at(i).decimal != type.number.decimal)
                    other = std::max(other, numbers[i]);
            type.ambiguous = other >= raw;
        }
        // Every value written as a strict parser reads it: "-12", "638.17".
        const std::uint64_t point_fit = (kind == Kind::Integer ? integers : numbers)[0];
        type.verbatim =
            type.unit == Unit::None && units_[0] == numbers_seen_ && point_fit == type.values;
        type.whole_digits = whole_;
        type.scale = fraction_;
        type.exponent = exponent_;
        break;
    }
    case Kind::Date:
    case Kind::Timestamp: {
        std::uint64_t year_last_cells = 0;
        for (std::size_t s = 1; s < kDateShapes; ++s) {
            const std::uint64_t count = dates_[s] + (kind == Kind::Timestamp ? stamps_[s] : 0);
            if (count == 0)
                continue;
            fit += count;
            type.shapes = static_cast<std::uint8_t>(type.shapes | (1u << s));
            if (year_last(static_cast<DateShape>(s)))
                year_last_cells += count;
        }
        if (year_last_cells > 0) {
            const bool day_first = day_first_only_ >= month_first_only_;
            type.order = day_first ? kDayFirst : kMonthFirst;
            const std::uint64_t against = day_first ? month_first_only_ : day_first_only_;
            fit = fit > against ? fit - against : 0;
            if (day_first_only_ == 0 && month_first_only_ == 0) {
                // No day above 12 says which comes first: such dates are
                // read only as misfits beside year-first ones (order 0 reads
                // none of them), never guessed.
                type.ambiguous = true;
                type.order = 0;
                fit -= std::min(fit, year_last_cells);
            }
        }
        type.zoned = kind == Kind::Timestamp && zoned_ > 0;
        type.verbatim = kind == Kind::Date &&
                        type.shapes == (1u << static_cast<std::size_t>(DateShape::YearFirstDash));
        if (type.zoned)
            fit = std::min(fit, zoned_); // naive cells beside zoned ones do not fit
        break;
    }
    case Kind::Text:
        fit = type.values;
        break;
    }
    type.misfits = type.values > fit ? type.values - fit : 0;
    return type;
}

ColumnType ColumnKinds::decide(double misfit_share) const noexcept {
    ColumnType best = decide_as(Kind::Text);
    if (best.values == 0)
        return best;
    std::uint64_t best_fit = 0;
    bool ambiguous = false;
    for (Kind kind :
         {Kind::Boolean, Kind::Integer, Kind::Decimal, Kind::Date, Kind::Timestamp, Kind::Time}) {
        const ColumnType type = decide_as(kind);
        const std::uint64_t fit = type.values - type.misfits;
        ambiguous = ambiguous || type.ambiguous;
        if (fit > best_fit) {
            best = type;
            best_fit = fit;
        }
    }
    if (best_fit == 0) {
        best.ambiguous = ambiguous;
        return best;
    }
    const auto allowed =
        static_cast<std::uint64_t>(misfit_share * static_cast<double>(best.values));
    const bool number = best.kind == Kind::Integer || best.kind == Kind::Decimal;
    if (best.misfits > allowed || (best.ambiguous && number)) {
        // Stays text; the kind it came closest to is kept for the note.
        ColumnType text = best;
        text.nearest = best.kind;
        text.kind = Kind::Text;
        return text;
    }
    return best;
}

std::ptrdiff_t normalize_cell(std::string_view cell, const ColumnType& type, const KindRules& rules,
                              char* out) noexcept {
    return normalize_cell(cell, classify_cell(cell, rules), type, out);
}

std::ptrdiff_t normalize_cell(std::string_view cell, const CellKinds& kinds, const ColumnType& type,
                              char* out) noexcept {
    if (kinds.null)
        return -1;
    std::size_t n = 0;
    switch (type.kind) {
    case Kind::Text:
        return -1;
    case Kind::Boolean:
        if (!kinds.boolean)
            return -1;
        {
            const char c = lower(trim(cell).front());
            const std::string_view value = c == 't' || c == 'y' ? "true" : "false";
            std::memcpy(out, value.data(), value.size());
            return static_cast<std::ptrdiff_t>(value.size());
        }
    case Kind::Integer:
    case Kind::Decimal: {
        const std::size_t index = format_index(type.number);
        const std::uint16_t formats =
            type.kind == Kind::Integer ? kinds.integer_formats : kinds.number_formats;
        if (!((formats >> index) & 1u) || kinds.unit != type.unit)
            return -1;
        fill_number_text(cell, kinds, type.number, out, n);
        return static_cast<std::ptrdiff_t>(n);
    }
    case Kind::Time: {
        if (!kinds.time)
            return -1;
        // A time of day on the epoch's date: the text a timestamp cast reads.
        const std::string_view text = trim(cell);
        std::memcpy(out, "1970-01-01 ", 11);
        n = 11;
        if (text[1] == ':')
            out[n++] = '0';
        std::memcpy(out + n, text.data(), text.size());
        n += text.size();
        if (n == 16) {
            std::memcpy(out + n, ":00", 3);
            n += 3;
        }
        return static_cast<std::ptrdiff_t>(n);
    }
    case Kind::Date:
    case Kind::Timestamp: {
        const auto shape = static_cast<std::size_t>(kinds.date);
        if (kinds.date == DateShape::None || !((type.shapes >> shape) & 1u))
            return -1;
        if (kinds.timestamp && type.kind == Kind::Date)
            return -1;
        if (type.kind == Kind::Timestamp && kinds.zoned != type.zoned && kinds.timestamp)
            return -1;
        if (type.kind == Kind::Timestamp && type.zoned && !kinds.timestamp)
            return -1; // a bare date has no zone to place it in
        unsigned month = kinds.first, day = kinds.second;
        if (year_last(kinds.date)) {
            if (!(kinds.order & type.order))
                return -1;
            if (type.order == kDayFirst)
                std::swap(month, day);
        }
        const unsigned year = kinds.year;
        out[n++] = static_cast<char>('0' + year / 1000 % 10);
        out[n++] = static_cast<char>('0' + year / 100 % 10);
        put2(out, n, year % 100);
        out[n++] = '-';
        put2(out, n, month);
        out[n++] = '-';
        put2(out, n, day);
        if (type.kind == Kind::Timestamp) {
            out[n++] = ' ';
            if (!kinds.timestamp) {
                std::memcpy(out + n, "00:00:00", 8);
                n += 8;
            } else {
                std::string_view rest =
                    trim(cell).substr(kinds.time_begin - (trim(cell).data() - cell.data()));
                if (rest.size() > 1 && rest[1] == ':')
                    out[n++] = '0';
                // HH:MM without seconds gains them; a blank before a zone goes.
                std::size_t i = 0;
                while (i < rest.size() && (is_digit(rest[i]) || rest[i] == ':' || rest[i] == '.'))
                    out[n++] = rest[i++];
                if (i == 5 - (rest[1] == ':' ? 1 : 0)) {
                    std::memcpy(out + n, ":00", 3);
                    n += 3;
                }
                if (i < rest.size() && rest[i] == ' ')
                    ++i;
                for (; i < rest.size(); ++i)
                    out[n++] = rest[i];
            }
        }
        return static_cast<std::ptrdiff_t>(n);
    }
    }
    return -1;
}

} // namespace rowmend::kinds
