#pragma once
// A growable byte buffer: input windows and the row store's arena.

#include <cstddef>
#include <utility>

namespace rowmend {

// A growable byte buffer that never zero-fills what it is about to overwrite.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        ByteBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~ByteBuffer();

    const char* data() const noexcept { return data_; }
    char* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    void append(const char* p, std::size_t n) {
        if (n > capacity_ - size_)
            grow(n);
        if (n != 0)
            __builtin_memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void push_back(char c) {
        if (size_ == capacity_)
            grow(1);
        data_[size_++] = c;
    }
    // Room for `n` more bytes at data() + size(); commit() what was filled.
    char* spare(std::size_t n) {
        if (n > capacity_ - size_)
            grow(n);
        return data_ + size_;
    }
    void commit(std::size_t n) noexcept { size_ += n; }
    std::size_t capacity() const noexcept { return capacity_; }
    void truncate(std::size_t n) noexcept { size_ = n < size_ ? n : size_; }
    void clear() noexcept { size_ = 0; }
    void release() noexcept;
    void swap(ByteBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

  private:
    void grow(std::size_t extra);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace rowmend
