#pragma once
// The error of file salvage. Malformed CSV is never an error: a run fails on
// an I/O failure, on a quarantine path that names the clean file, or when
// its caller interrupts it.

#include <string>
#include <variant>

#include "error/io_error.h"

namespace rowmend {

class SalvageError {
  public:
    struct Io {
        IoError error;
    };

    // The quarantine file would overwrite the clean file.
    struct SameOutputFile {};
    // The caller's Interrupt asked the run to stop.
    struct Interrupted {};

    static SalvageError io(IoError error) noexcept { return SalvageError(Io{error}); }
    static SalvageError same_output_file() noexcept { return SalvageError(SameOutputFile{}); }
    static SalvageError interrupted() noexcept { return SalvageError(Interrupted{}); }

    bool is_io() const noexcept { return std::holds_alternative<Io>(variant_); }
    bool is_same_output_file() const noexcept {
        return std::holds_alternative<SameOutputFile>(variant_);
    }
    bool is_interrupted() const noexcept { return std::holds_alternative<Interrupted>(variant_); }
    const IoError& io_error() const { return std::get<Io>(variant_).error; }

    // The display text: the I/O error's text, or the fixed text of the others.
    std::string text() const;

  private:
    using Variant = std::variant<Io, SameOutputFile, Interrupted>;
    explicit SalvageError(Variant variant) : variant_(variant) {}
    Variant variant_;
};

} // namespace rowmend
