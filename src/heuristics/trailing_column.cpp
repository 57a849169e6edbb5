#include "heuristics/trailing_column.h"

namespace rowmend {

bool trailing_empty_column(const RowStore& rows, std::size_t columns) {
    if (columns < 3 || rows.row_count() < 2)
        return false;
    for (std::size_t r = 0; r < rows.row_count(); ++r) {
        const RowView row = rows.row(r);
        if (row.size() < 2)
            return false;
        // Empty from the column the trailing delimiters open to the row's
        // end: a value there is the table's. A short row may end with a
        // delimiter too, so only its last field is looked at.
        const std::size_t from = row.size() < columns ? row.size() - 1 : columns - 1;
        std::size_t c = 0;
        for (const FieldView field : row)
            if (c++ >= from && !field.text.empty())
                return false;
    }
    return true;
}

} // namespace rowmend
