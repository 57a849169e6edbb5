#include "salvage/buffered_writer.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "salvage/posix_file.h"

namespace rowmend {

namespace {

// One buffered write-out: write until all is written, retrying interrupted
// calls. Returns how much was written and, short of all, the error.
std::size_t write_buffered(int fd, const char* data, std::size_t size,
                           std::optional<IoError>& failure) {
    std::size_t written = 0;
    while (written < size) {
        const ssize_t put = ::write(fd, data + written, size - written);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            failure = IoError::from_errno(errno);
            break;
        }
        if (put == 0) {
            failure = IoError::fixed(IoFixedMessage::WriteZeroBuffered);
            break;
        }
        written += static_cast<std::size_t>(put);
    }
    return written;
}

} // namespace

// The queue between a write-behind writer and its thread. The producer
// fills a block: its buffer is room at the block's end, and each write-out
// or queued direct write is one part. Full blocks go to the thread, which
// makes exactly the write calls the inline writer would have made.
class WriteBehind {
  public:
    struct Failure {
        IoError error;
        std::string rest; // the unwritten bytes of a failed buffered write-out
    };

    // Direct writes larger than this are not copied: the caller waits for
    // the queue and writes them itself.
    std::size_t max_queued_direct() const noexcept { return block_bytes_ / 4; }

    WriteBehind(int fd, std::size_t room)
        : fd_(fd), room_(room), block_bytes_(std::max<std::size_t>(1U << 20, 4 * room)) {
        current_ = fresh_block();
        // The thread takes no signals: they belong to the caller, which
        // answers Ctrl-C, and an interrupted write would only be retried.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // Writes what is queued (unless a write failed), then ends the thread.
    ~WriteBehind() {
        {
            std::unique_lock lock(mutex_);
            if (!current_.parts.empty())
                queue_.push_back(std::move(current_));
            closing_ = true;
        }
        wake_thread_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

    char* room() noexcept { return current_.data.get() + current_.size; }
    bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }

    // The `n` bytes written at room() form one write-out. Returns the new room.
    char* commit_buffered(std::size_t n) {
        current_.parts.push_back(Part{n, false});
        current_.size += n;
        if (current_.capacity - current_.size < room_)
            hand_over();
        return room();
    }

    // A copy of `bytes` goes out in one direct write; at most max_queued_direct().
    char* queue_direct(std::string_view bytes) {
        if (current_.capacity - current_.size < bytes.size() + room_)
            hand_over();
        std::memcpy(room(), bytes.data(), bytes.size());
        current_.parts.push_back(Part{bytes.size(), true});
        current_.size += bytes.size();
        if (current_.capacity - current_.size < room_)
            hand_over();
        return room();
    }

    // Hands over the current block and waits until everything queued is
    // written or a write failed. The producer's room moves to a new block,
    // taking along the `carry` bytes not yet written out.
    char* wait_idle(std::size_t carry) {
        if (!current_.parts.empty()) {
            // The old block's room stays as it is until this thread reuses
            // the block, which can only happen after the copy.
            const char* old = room();
            hand_over();
            std::memcpy(room(), old, carry);
        }
        std::unique_lock lock(mutex_);
        wake_producer_.wait(lock, [this] { return (queue_.empty() && !writing_) || failed(); });
        return room();
    }

    // After a failure: ends the thread and gives the error and the rest.
    Failure stop_failed() {
        {
            std::unique_lock lock(mutex_);
            closing_ = true;
        }
        wake_thread_.notify_one();
        thread_.join();
        return Failure{*failure_, std::move(failed_rest_)};
    }

  private:
    struct Part {
        std::size_t size;
        bool direct; // written whole, or failing with its own message
    };
    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t size = 0;
        std::vector<Part> parts;
    };

    Block fresh_block() {
        {
            std::unique_lock lock(mutex_);
            if (!spare_.empty()) {
                Block block = std::move(spare_.back());
                spare_.pop_back();
                return block;
            }
        }
        Block block;
        block.data.reset(new char[block_bytes_]);
        block.capacity = block_bytes_;
        return block;
    }

    void hand_over() {
        Block next = fresh_block();
        {
            std::unique_lock lock(mutex_);
            // Bounded: the producer waits while the thread is this far behind.
            wake_producer_.wait(lock, [this] { return queue_.size() < kMaxQueued || failed(); });
            if (!failed()) {
                queue_.push_back(std::move(current_));
            } else {
                // Never written, but kept: the caller may still copy the
                // bytes it carries over out of this block's room.
                current_.size = 0;
                current_.parts.clear();
                spare_.push_back(std::move(current_));
            }
        }
        wake_thread_.notify_one();
        current_ = std::move(next);
    }

    void run() noexcept {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_thread_.wait(lock, [this] { return !queue_.empty() || closing_; });
            if (queue_.empty())
                break;
            Block block = std::move(queue_.front());
            queue_.pop_front();
            writing_ = true;
            lock.unlock();
            const bool ok = write_block(block);
            lock.lock();
            writing_ = false;
            block.size = 0;
            block.parts.clear();
            // Every block is kept for reuse (at most kMaxQueued + 2 exist):
            // fresh pages would cost a fault each.
            spare_.push_back(std::move(block));
            if (!ok) {
                failed_.store(true, std::memory_order_release);
                queue_.clear();
            }
            wake_producer_.notify_all();
            if (!ok)
                break;
        }
        wake_producer_.notify_all();
    }

    // Called without the lock; failure_ and failed_rest_ are read by the
    // producer only after failed_ is set, and that is set under the lock.
    bool write_block(const Block& block) {
        const char* at = block.data.get();
        for (const Part& part : block.parts) {
            if (part.direct) {
                IoError error = IoError::from_errno(0);
                if (!write_all(fd_, at, part.size, IoFixedMessage::WriteZeroWhole, error)) {
                    failure_ = error;
                    return false;
                }
            } else {
                std::optional<IoError> failure;
                const std::size_t written = write_buffered(fd_, at, part.size, failure);
                if (failure) {
                    failure_ = failure;
                    failed_rest_.assign(at + written, part.size - written);
                    return false;
                }
            }
            at += part.size;
        }
        return true;
    }

    static constexpr std::size_t kMaxQueued = 4;

    int fd_;
    std::size_t room_;
    std::size_t block_bytes_;
    Block current_; // the producer's
    std::mutex mutex_;
    std::condition_variable wake_thread_;
    std::condition_variable wake_producer_;
    std::deque<Block> queue_;
    std::vector<Block> spare_;
    bool writing_ = false;
    bool closing_ = false;
    std::atomic<bool> failed_{false};
    std::optional<IoError> failure_;
    std::string failed_rest_;
    std::thread thread_;
};

BufferedWriter::BufferedWriter(int fd, std::size_t capacity, WriteMode mode)
    : fd_(fd), capacity_(capacity), own_(new char[capacity]), buffer_(own_.get()) {
    if (mode == WriteMode::Behind) {
        try {
            behind_ = std::make_unique<WriteBehind>(fd, capacity);
            buffer_ = behind_->room();
        } catch (const std::system_error&) {
            // No thread to be had: write inline, as the same calls.
            behind_.reset();
        }
    }
}

BufferedWriter::~BufferedWriter() {
    if (behind_ && !behind_->failed()) {
        if (used_ > 0)
            behind_->commit_buffered(used_);
        used_ = 0;
        behind_.reset(); // writes what is queued, then joins
        return;
    }
    if (behind_)
        (void)back_inline();
    if (used_ > 0)
        (void)write_out_buffer();
}

std::optional<IoError> BufferedWriter::back_inline() {
    WriteBehind::Failure failure = behind_->stop_failed();
    behind_.reset();
    buffer_ = own_.get();
    std::memcpy(buffer_, failure.rest.data(), failure.rest.size());
    used_ = failure.rest.size();
    return failure.error;
}

std::optional<IoError> BufferedWriter::write(std::string_view bytes) {
    const std::size_t spare = capacity_ - used_;
    if (bytes.size() < spare) {
        std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return std::nullopt;
    }
    if (bytes.size() > spare) {
        if (auto error = write_out_buffer())
            return error;
    }
    if (bytes.size() >= capacity_)
        return write_directly(bytes);
    std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return std::nullopt;
}

std::optional<IoError> BufferedWriter::write_directly(std::string_view bytes) {
    if (behind_) {
        if (bytes.size() <= behind_->max_queued_direct()) {
            buffer_ = behind_->queue_direct(bytes);
            return behind_->failed() ? back_inline() : std::nullopt;
        }
        // Too big to copy: once the queue is written, write it from here.
        buffer_ = behind_->wait_idle(0);
        if (behind_->failed())
            return back_inline();
    }
    IoError error = IoError::from_errno(0);
    if (!write_all(fd_, bytes.data(), bytes.size(), IoFixedMessage::WriteZeroWhole, error))
        return error;
    return std::nullopt;
}

std::optional<IoError> BufferedWriter::write_lines(std::string_view lines) {
    while (!lines.empty()) {
        // Whole lines that together stay below the free space would each be
        // copied by write(), so copy them at once.
        const std::size_t spare = capacity_ - used_;
        const std::size_t below_spare = spare == 0 ? 0 : spare - 1;
        const std::size_t window = lines.size() < below_spare ? lines.size() : below_spare;
        const void* last_lf = window == 0 ? nullptr : ::memrchr(lines.data(), '\n', window);
        if (last_lf != nullptr) {
            const std::size_t take =
                static_cast<std::size_t>(static_cast<const char*>(last_lf) - lines.data()) + 1;
            std::memcpy(buffer_ + used_, lines.data(), take);
            used_ += take;
            lines.remove_prefix(take);
            continue;
        }
        // The next line does not fit: write() applies the write-out rules.
        const void* lf = std::memchr(lines.data(), '\n', lines.size());
        const std::size_t line =
            lf == nullptr
                ? lines.size()
                : static_cast<std::size_t>(static_cast<const char*>(lf) - lines.data()) + 1;
        if (auto error = write(lines.substr(0, line)))
            return error;
        lines.remove_prefix(line);
    }
    return std::nullopt;
}

std::optional<IoError> BufferedWriter::flush() {
    if (auto error = write_out_buffer())
        return error;
    return drain();
}

std::optional<IoError> BufferedWriter::drain() {
    if (!behind_)
        return std::nullopt;
    buffer_ = behind_->wait_idle(used_);
    return behind_->failed() ? back_inline() : std::nullopt;
}

std::optional<IoError> BufferedWriter::write_out_buffer() {
    if (behind_) {
        if (used_ > 0)
            buffer_ = behind_->commit_buffered(used_);
        used_ = 0;
        return behind_->failed() ? back_inline() : std::nullopt;
    }
    std::optional<IoError> failure;
    const std::size_t written = write_buffered(fd_, buffer_, used_, failure);
    // Keep only what was not written, so a retry never duplicates bytes.
    if (written > 0) {
        std::memmove(buffer_, buffer_ + written, used_ - written);
        used_ -= written;
    }
    return failure;
}

} // namespace rowmend
