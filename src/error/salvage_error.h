#pragma once
// The error of file salvage. Malformed CSV is never an error, so its only
// variant is an I/O failure.

#include <string>
#include <variant>

#include "error/io_error.h"

namespace rowmend {

class SalvageError {
  public:
    struct Io {
        IoError error;
    };

    static SalvageError io(IoError error) noexcept { return SalvageError(Io{error}); }

    bool is_io() const noexcept { return std::holds_alternative<Io>(variant_); }
    const IoError& io_error() const { return std::get<Io>(variant_).error; }

    // The display text: the I/O error's text.
    std::string text() const;

  private:
    explicit SalvageError(Io io) : variant_(io) {}
    std::variant<Io> variant_;
};

} // namespace rowmend
