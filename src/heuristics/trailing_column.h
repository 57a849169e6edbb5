#pragma once
// A delimiter at the end of every line, as some spreadsheet exports write
// it: the column it opens is empty everywhere, an artifact of the export
// rather than a column of the table.

#include <cstddef>

#include "parser/row_store.h"

namespace rowmend {

// True when every row of `rows` (the table's first rows, its header among
// them) ends with a delimiter, that is holds at least two fields and an
// empty last one, and no row has a value from column `columns - 1` (the
// one the trailing delimiters open) on; at least two rows, and `columns`
// of at least 3, so that two columns are left (a line of one delimiter
// stays an empty row rather than a blank line). A row with a value there
// keeps the column.
bool trailing_empty_column(const RowStore& rows, std::size_t columns);

} // namespace rowmend
