#pragma once
// A delimiter or quote byte as text: the character whose code point is the
// byte's value, in UTF-8. Below 0x80 that is the byte itself; from 0x80 on it
// is two bytes (0xA7 becomes C2 A7, the section sign).

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rowmend {

class ByteText {
  public:
    explicit constexpr ByteText(std::uint8_t byte) noexcept
        : bytes_{byte < 0x80 ? static_cast<char>(byte) : static_cast<char>(0xC0 | (byte >> 6)),
                 static_cast<char>(0x80 | (byte & 0x3F))},
          size_(byte < 0x80 ? 1 : 2) {}

    constexpr std::string_view view() const noexcept { return {bytes_, size_}; }
    constexpr operator std::string_view() const noexcept { return view(); }

  private:
    char bytes_[2];
    std::size_t size_;
};

} // namespace rowmend
