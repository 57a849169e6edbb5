#pragma once
// The blank-row test shared by delimiter sniffing and column-count inference:
// a row is blank when it has exactly one field and that field is empty once
// leading and trailing White_Space characters are removed. A row of two or
// more fields is never blank, even when every field is empty.

#include <string_view>

#include "parser/row_store.h"

namespace rowmend {

bool is_blank_text(std::string_view text) noexcept;
bool is_blank_row(const RowView& row) noexcept;

} // namespace rowmend
