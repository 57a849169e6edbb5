#include "error/salvage_error.h"

namespace rowmend {

std::string SalvageError::text() const {
    return std::visit([](const Io& io) { return io.error.text(); }, variant_);
}

} // namespace rowmend
