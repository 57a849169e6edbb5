#include "parser/byte_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace rowmend {

ByteBuffer::~ByteBuffer() {
    std::free(data_);
}

void ByteBuffer::release() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

void ByteBuffer::grow(std::size_t extra) {
    if (extra > SIZE_MAX / 2 - size_)
        throw std::bad_alloc();
    std::size_t wanted = size_ + extra;
    std::size_t capacity = capacity_ < 64 ? 64 : capacity_;
    while (capacity < wanted)
        capacity += capacity / 2 + 64;
    // realloc lets large buffers move by remapping pages instead of copying.
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr)
        throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
}

} // namespace rowmend
