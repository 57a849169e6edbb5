#include "error/salvage_error.h"

namespace rowmend {

std::string SalvageError::text() const {
    if (is_io())
        return io_error().text();
    if (is_same_output_file())
        return "quarantine_path names the same file as output_path";
    return "interrupted";
}

} // namespace rowmend
