#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fuzz/reference_parser.h"
#include "parser/resilient_parser.h"

namespace rowmend::test {

std::string show(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            out.push_back(ch);
        } else {
            out += "\\x";
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xF]);
        }
    }
    out.push_back('"');
    return out;
}

std::string show(const Fields& fields) {
    std::string out = "[";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0)
            out += ", ";
        out += show(fields[i]);
    }
    return out + "]";
}

std::string show(const ParserSettings& settings) {
    std::ostringstream out;
    out << "delimiter=0x" << std::hex << int{settings.delimiter} << " quote=0x"
        << int{settings.quote} << " repair=" << (settings.repair ? "on" : "off");
    return out.str();
}

std::vector<ParsedRow> parse_full(std::string_view input, ParserSettings settings) {
    ResilientParser parser(input, settings.delimiter, settings.quote, settings.repair);
    RowStore store;
    std::vector<ParsedRow> rows;
    while (parser.next_row(store)) {
        rows.push_back({to_fields(store.last_row()), parser.pos(), parser.line()});
        // Guard against a parser that stops advancing.
        if (rows.size() > input.size() + 1) {
            ADD_FAILURE() << "more rows than bytes for " << show(input);
            return rows;
        }
    }
    const std::size_t pos = parser.pos(), line = parser.line(), count = store.row_count();
    for (int again = 0; again < 2; ++again) {
        EXPECT_FALSE(parser.next_row(store)) << "end of input not repeated for " << show(input);
        EXPECT_EQ(parser.pos(), pos);
        EXPECT_EQ(parser.line(), line);
        EXPECT_EQ(store.row_count(), count);
    }
    // Rows appended one after another must all still read back intact.
    for (std::size_t r = 0; r < rows.size(); ++r) {
        EXPECT_EQ(to_fields(store.row(r)), rows[r].fields) << "row " << r << " of " << show(input);
    }
    return rows;
}

std::vector<ShapeRow> parse_shapes(std::string_view input, ParserSettings settings) {
    ResilientParser parser(input, settings.delimiter, settings.quote, settings.repair);
    std::vector<ShapeRow> rows;
    RowShape shape;
    while (parser.next_row_shape(shape)) {
        rows.push_back({shape.field_count, shape.blank, parser.pos(), parser.line()});
        if (rows.size() > input.size() + 1) {
            ADD_FAILURE() << "more rows than bytes for " << show(input);
            return rows;
        }
    }
    const std::size_t pos = parser.pos(), line = parser.line();
    EXPECT_FALSE(parser.next_row_shape(shape)) << "end of input not repeated for " << show(input);
    EXPECT_EQ(parser.pos(), pos);
    EXPECT_EQ(parser.line(), line);
    return rows;
}

std::vector<ParsedRow> parse_reference(std::string_view input, ParserSettings settings) {
    // The fuzz targets' plain transcription of the state tables serves here
    // too; it keeps raw bytes, which the parser decodes when a field ends.
    fuzz::ReferenceParser parser(input, settings.delimiter, settings.quote, settings.repair);
    std::vector<ParsedRow> rows;
    Fields raw;
    while (parser.next_row(raw)) {
        Fields fields;
        for (const std::string& field : raw)
            fields.push_back(lossy_utf8(field));
        rows.push_back({std::move(fields), parser.pos(), parser.line()});
    }
    return rows;
}

Rows fields_of(const std::vector<ParsedRow>& rows) {
    Rows out;
    for (const auto& row : rows)
        out.push_back(row.fields);
    return out;
}

namespace {

// The well-formed UTF-8 byte sequences, one range per byte position.
struct SequenceForm {
    std::size_t length;
    std::array<std::pair<std::uint8_t, std::uint8_t>, 4> ranges;
};

constexpr SequenceForm kForms[] = {
    {1, {{{0x00, 0x7F}}}},
    {2, {{{0xC2, 0xDF}, {0x80, 0xBF}}}},
    {3, {{{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}}},
    {3, {{{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {3, {{{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}}},
    {3, {{{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {4, {{{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {4, {{{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}}},
    {4, {{{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}}},
};

// At `i`: the length of the longest prefix of some well-formed sequence, and
// whether that prefix is the whole sequence.
std::pair<std::size_t, bool> longest_prefix(std::string_view bytes, std::size_t i) {
    std::size_t best = 0;
    bool complete = false;
    for (const SequenceForm& form : kForms) {
        std::size_t k = 0;
        while (k < form.length && i + k < bytes.size()) {
            const auto b = static_cast<std::uint8_t>(bytes[i + k]);
            if (b < form.ranges[k].first || b > form.ranges[k].second)
                break;
            ++k;
        }
        if (k > best) {
            best = k;
            complete = k == form.length;
        }
    }
    return {best, complete};
}

} // namespace

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto [length, complete] = longest_prefix(bytes, i);
        if (complete) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            i += length == 0 ? 1 : length;
        }
    }
    return out;
}

bool valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto [length, complete] = longest_prefix(bytes, i);
        if (!complete)
            return false;
        i += length;
    }
    return true;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string encode_utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

bool white_space_only(std::string_view text) {
    if (!valid_utf8(text))
        return false;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1   ? lead
                     : length == 2 ? (lead & 0x1F)
                     : length == 3 ? (lead & 0x0F)
                                   : (lead & 0x07);
        for (std::size_t k = 1; k < length; ++k)
            c = (c << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3F);
        if (!is_white_space(c))
            return false;
        i += length;
    }
    return true;
}

void push_row(RowStore& store, const Fields& fields) {
    store.begin_row();
    for (const std::string& field : fields) {
        store.append(field.data(), field.size());
        store.finish_field();
    }
}

Fields to_fields(const RowView& row) {
    Fields fields;
    for (const FieldView field : row)
        fields.emplace_back(field.text);
    return fields;
}

Rows all_rows(const RowStore& store) {
    Rows out;
    for (std::size_t r = 0; r < store.row_count(); ++r)
        out.push_back(to_fields(store.row(r)));
    return out;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rowmend-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return std::move(out).str();
}

void write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool path_exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t file_size(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0)
        throw std::runtime_error("fstat failed");
    return static_cast<std::size_t>(info.st_size);
}

} // namespace rowmend::test
