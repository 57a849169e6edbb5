#pragma once
// File salvage: reads a whole input file, salvages it, writes the retained
// rows as clean CSV and, when asked, the quarantined rows to a quarantine
// file. The first I/O failure ends the call with its error.

#include <optional>
#include <string>

#include "error/result.h"
#include "error/salvage_error.h"
#include "salvage/salvage_options.h"
#include "salvage/salvage_pass.h"

namespace rowmend {

// The counters and delimiter of a successful run.
using SalvageStats = SalvageCounters;

// Paths go to the OS unchanged. When `output_path` names the input file
// itself, the clean rows go to a temporary file beside it that replaces the
// input only once it and the quarantine file are completely written, so a
// failed run never destroys the input. Otherwise a failed run leaves what it already wrote on disk.
Result<SalvageStats, SalvageError> salvage_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const SalvageOptions& options);

} // namespace rowmend
