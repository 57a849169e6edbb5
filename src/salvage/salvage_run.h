#pragma once
// SalvageRun: one whole run over input pushed in chunks. The input is
// decoded to UTF-8 straight into the pass's window; the pass tells a report
// sink (which may hand the table's rows on to a TableSink), a clean file
// and its quarantine spool when the run writes one, and a spool of the rows
// set aside when asked. A failed write stops the run; nothing is lost: the
// spools keep every quarantined and set-aside row until they are written.
//
//   bytes -> Transcoder -> SalvagePass -> ReportSink -> TableSink
//                                      -> CleanFileSink -> QuarantineSpool
//                                      -> SetAsideSpool

#include <cstddef>
#include <optional>
#include <string>

#include "error/io_error.h"
#include "parser/transcode.h"
#include "salvage/clean_output.h"
#include "salvage/report_sink.h"
#include "salvage/salvage_options.h"
#include "salvage/salvage_pass.h"
#include "salvage/set_aside_spool.h"
#include "salvage/tee_sink.h"

namespace rowmend {

// Where a run writes its clean file.
struct CleanTarget {
    int fd = -1; // -1: no clean file, the quarantine spool only
    CleanOutputFormat format;
    std::optional<std::string> quarantine_dir; // spool quarantined rows here
};

struct RunSettings {
    SalvageOptions salvage;
    ReportOptions report;
    SourceEncoding encoding = SourceEncoding::Utf8;
    // Absent: the run writes no clean file and spools no quarantine; it
    // reports (and hands its rows to a table sink, if it has one).
    std::optional<CleanTarget> clean;
    // Spool every row set aside as not part of the table, blank ones aside,
    // in this folder (its overflow file goes there).
    std::optional<std::string> set_aside_dir;
};

class SalvageRun {
  public:
    explicit SalvageRun(const RunSettings& settings, TableSink* table = nullptr);
    SalvageRun(const SalvageRun&) = delete;
    SalvageRun& operator=(const SalvageRun&) = delete;

    // The next `n` bytes of input, in the run's encoding. False once the run
    // has stopped on a failed write: failure() says which.
    bool feed(const char* data, std::size_t n);
    // The end of input: the last rows, then the clean file flushed. The
    // run's failure, if any; a second call does nothing.
    std::optional<IoError> finish();
    bool finished() const noexcept { return finished_; }
    // Why the run stopped: a failed write of the clean file or the spools.
    std::optional<IoError> failure() const;

    bool spools_quarantine() const noexcept { return spool_.has_value(); }
    bool spools_set_aside() const noexcept { return set_aside_.has_value(); }
    // Write what a finished run spooled to `fd`, header first; asking a run
    // that spools none, or is not finished, is a logic error.
    std::optional<IoError> write_quarantine(int fd, std::size_t buffer_bytes);
    std::optional<IoError> write_set_aside(int fd, std::size_t buffer_bytes);

    const ReportSink& report() const noexcept { return report_; }
    const Transcoder& transcoder() const noexcept { return transcoder_; }
    const SalvagePass& pass() const noexcept { return pass_; }

  private:
    Transcoder transcoder_;
    ReportSink report_;
    std::optional<QuarantineSpool> spool_;
    std::optional<CleanFileSink> clean_;
    Tee tee_; // the report and the clean file
    std::optional<SetAsideSpool> set_aside_;
    Tee all_; // tee_ and the set-aside spool
    SalvagePass pass_;
    bool finished_ = false;
};

} // namespace rowmend
