#pragma once
// File salvage: streams an input file through the salvage pass, writes the
// retained rows as clean CSV and, when asked, the quarantined rows to a
// quarantine file. The first I/O failure ends the call with its error.

#include <optional>
#include <string>

#include "error/result.h"
#include "error/salvage_error.h"
#include "salvage/interrupt.h"
#include "salvage/salvage_options.h"
#include "salvage/salvage_pass.h"

namespace rowmend {

// The counters and delimiter of a successful run.
using SalvageStats = SalvageCounters;

// Paths go to the OS unchanged. No output file is created before the input
// is open and its first window read. The clean file is written as rows come;
// quarantined rows wait (in memory, then in an unlinked temporary file) and
// go to the quarantine file once the clean file is complete. A quarantine
// path naming the clean file fails before anything is opened for writing.
// When `output_path` names the input, a regular file, the clean rows go to a
// temporary file beside it that replaces the input only once it and the
// quarantine file are completely written, so a failed or interrupted run
// never destroys the input. Otherwise a failed run leaves what it already
// wrote on disk. `interrupt`, when given, is asked between windows.
Result<SalvageStats, SalvageError> salvage_file(const std::string& input_path,
                                                const std::string& output_path,
                                                const std::optional<std::string>& quarantine_path,
                                                const SalvageOptions& options,
                                                Interrupt* interrupt = nullptr);

// Streams everything readable from `fd` through `pass` and finishes it. A
// read failure comes back as its error, and so does an interrupt (EINTR);
// a stop by the sink returns nothing, and the caller asks its sink why.
std::optional<IoError> pump_file(int fd, SalvagePass& pass, Interrupt* interrupt);

} // namespace rowmend
