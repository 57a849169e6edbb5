#pragma once
// Shared helpers of the engine tests: a byte-at-a-time reference parser
// written straight from the parser's state tables, an independent lossy UTF-8
// decoder, row builders and temporary files.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row_store.h"

namespace rowmend::test {

using Fields = std::vector<std::string>;
using Rows = std::vector<Fields>;

// Bytes for failure messages: printable ASCII as is, anything else as \xNN.
std::string show(std::string_view bytes);
std::string show(const Fields& fields);

struct ParserSettings {
    std::uint8_t delimiter = ',';
    std::uint8_t quote = '"';
    bool repair = true;
};
std::string show(const ParserSettings& settings);

// A row with the parser's position and line counter right after it.
struct ParsedRow {
    Fields fields;
    std::size_t pos;
    std::size_t line;
    bool operator==(const ParsedRow&) const = default;
};

// What counting mode says of a row, with position and line after it.
struct ShapeRow {
    std::size_t field_count;
    bool blank;
    std::size_t pos;
    std::size_t line;
    bool operator==(const ShapeRow&) const = default;
};

// Every row of `input` in full mode. Also checks, as gtest failures, that the
// end of input is reported again on further calls without moving anything.
std::vector<ParsedRow> parse_full(std::string_view input, ParserSettings settings);

// Every row of `input` in counting mode, with the same end-of-input check.
std::vector<ShapeRow> parse_shapes(std::string_view input, ParserSettings settings);

// The parser's rules applied literally, one byte at a time, with the
// stray-quote test as its rules read (fuzz::ReferenceParser).
std::vector<ParsedRow> parse_reference(std::string_view input, ParserSettings settings);

Rows fields_of(const std::vector<ParsedRow>& rows);

// Lossy UTF-8 decoding by maximal subparts, worked out from the table of
// well-formed byte sequences rather than from lead-byte lengths.
std::string lossy_utf8(std::string_view bytes);
bool valid_utf8(std::string_view bytes);

// True when `text` is well-formed UTF-8 made only of White_Space code points.
bool white_space_only(std::string_view text);
bool is_white_space(char32_t code_point);
std::string encode_utf8(char32_t code_point);

// Appends a row of the given fields to `store`.
void push_row(RowStore& store, const Fields& fields);
Fields to_fields(const RowView& row);
Rows all_rows(const RowStore& store);

// A fresh directory under the system's temporary directory, removed with
// everything in it when dropped.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::string& path() const noexcept { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);
bool path_exists(const std::string& path);
// The names in a directory, sorted.
std::vector<std::string> list_dir(const std::string& path);
// Size of the file behind a descriptor, from fstat.
std::size_t file_size(int fd);

} // namespace rowmend::test
