#pragma once
// A damaged names line: the header line itself carries a delimiter too
// many ("id,last, first name,amount" over rows of three fields), a stray
// quote ("id,na\"me,amount"), or a delimiter too few ("id name,amount").
// The rows below tell the table's width; the line is repaired to it only
// where a single placement stands out, since a wrong repair renames columns.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row_store.h"

namespace rowmend {

struct NamesRepair {
    std::vector<std::string> names; // the line's cells, repaired
    std::string what;               // what was done, in the report's words
};

// Row 0 of `rows` repaired to `columns` names, or nothing when it needs no
// repair or no single repair stands out. The rows below must mostly have
// `columns` fields, and row 0 no number or date in it (a data row is not a
// names line). Repairs, each only where exactly as many places qualify as
// the width needs:
//  - too wide: the cells after a delimiter followed by a blank ("last,
//    first name") are joined to the cell before, with the delimiter;
//  - too narrow: a name is split at a single blank between two words;
//  - a quote byte standing alone in a name is dropped, when `line` (row
//    0's bytes) holds an odd number of quotes: a quote doubled inside a
//    quoted name ("foo ""bar") is the name's own.
std::optional<NamesRepair> repair_names_line(const RowStore& rows, std::string_view line,
                                             std::size_t columns, char delimiter, char quote);

// Whether `line` (one physical line, without its line break) holds an odd
// number of `quote` bytes: a quote in it opens a field that runs past it.
bool has_open_quote(std::string_view line, char quote) noexcept;

// The fields `line` splits into at every `delimiter` byte, quotes as text.
std::size_t literal_fields(std::string_view line, char delimiter) noexcept;

} // namespace rowmend
