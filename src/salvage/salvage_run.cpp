#include "salvage/salvage_run.h"

#include <stdexcept>

namespace rowmend {

SalvageRun::SalvageRun(const RunSettings& settings, TableSink* table)
    : transcoder_(settings.encoding), report_(settings.report, table), tee_(report_, nullptr),
      all_(tee_, nullptr), pass_(settings.salvage, all_) {
    if (settings.set_aside_dir) {
        set_aside_.emplace(*settings.set_aside_dir);
        all_.also(&*set_aside_);
    }
    if (settings.clean) {
        const CleanTarget& target = *settings.clean;
        if (target.quarantine_dir)
            spool_.emplace(*target.quarantine_dir);
        clean_.emplace(target.format, spool_ ? &*spool_ : nullptr);
        if (target.fd >= 0)
            clean_->attach(target.fd, write_mode(target.fd, settings.salvage));
        tee_.also(&*clean_);
    }
}

bool SalvageRun::feed(const char* data, std::size_t n) {
    char* room = pass_.window_space(Transcoder::max_output(n));
    return pass_.commit(transcoder_.feed(data, n, room));
}

std::optional<IoError> SalvageRun::finish() {
    if (finished_)
        return std::nullopt;
    finished_ = true;
    char* room = pass_.window_space(Transcoder::max_output(0));
    pass_.commit(transcoder_.finish(room));
    pass_.finish();
    std::optional<IoError> error = failure();
    if (!error && clean_)
        error = clean_->flush();
    return error;
}

std::optional<IoError> SalvageRun::failure() const {
    if (clean_ && clean_->error())
        return clean_->error();
    if (set_aside_ && set_aside_->error())
        return set_aside_->error();
    return std::nullopt;
}

std::optional<IoError> SalvageRun::write_quarantine(int fd, std::size_t buffer_bytes) {
    if (!spool_ || !finished_)
        throw std::logic_error("write_quarantine() needs a finished run that spools quarantine");
    return write_quarantine_file(fd, *spool_, buffer_bytes);
}

std::optional<IoError> SalvageRun::write_set_aside(int fd, std::size_t buffer_bytes) {
    if (!set_aside_ || !finished_)
        throw std::logic_error("write_set_aside() needs a finished run that spools set-aside rows");
    return set_aside_->write(fd, buffer_bytes);
}

} // namespace rowmend
