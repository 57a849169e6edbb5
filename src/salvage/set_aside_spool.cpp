#include "salvage/set_aside_spool.h"

#include "parser/utf8.h"
#include "salvage/buffered_writer.h"
#include "salvage/csv_output.h"

namespace rowmend {

bool SetAsideSpool::skipped(const SkippedRow& row) {
    if (row.kind == SkipKind::Blank)
        return true;
    text_.clear();
    line_.clear();
    utf8::append_lossy(text_, row.text);
    append_quarantine_text_line(line_, row.line, skip_kind_name(row.kind), text_);
    error_ = spool_.add(line_);
    // One huge row must not keep its buffers for the rest of the run.
    if (line_.capacity() > kKeepCapacity) {
        std::string().swap(line_);
        std::string().swap(text_);
    }
    return !error_;
}

std::optional<IoError> SetAsideSpool::write(int fd, std::size_t buffer_bytes) {
    BufferedWriter writer(fd, buffer_bytes);
    if (auto failure = writer.write("line,kind,raw_content\n"))
        return failure;
    if (auto failure = spool_.replay(writer))
        return failure;
    return writer.flush();
}

} // namespace rowmend
