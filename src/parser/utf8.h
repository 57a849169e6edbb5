#pragma once
// UTF-8 helpers for finished fields: ASCII and validity checks, lossy
// decoding, and a matcher for text made only of White_Space code points.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rowmend::utf8 {

// True when every byte is below 0x80.
bool is_ascii(const char* data, std::size_t size) noexcept;

// True when the bytes are well-formed UTF-8.
bool is_valid(const char* data, std::size_t size) noexcept;

// Appends `in` to `out`, replacing each maximal ill-formed subsequence by one
// U+FFFD (the Unicode Standard's "substitution of maximal subparts").
void append_lossy(std::string& out, std::string_view in);

// Decides, one byte at a time and without storing anything, whether a byte
// sequence is well-formed UTF-8 made only of White_Space code points:
// U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000. An ill-formed sequence would decode to
// U+FFFD, which is not whitespace, so the bytes alone decide.
class WhitespaceMatcher {
  public:
    void feed(std::uint8_t byte) noexcept;
    void feed(const char* data, std::size_t size) noexcept {
        for (std::size_t i = 0; i < size && state_ != State::Failed; ++i) {
            feed(static_cast<std::uint8_t>(data[i]));
        }
    }
    bool failed() const noexcept { return state_ == State::Failed; }
    // True when everything fed so far is complete whitespace (or nothing).
    bool matched() const noexcept { return state_ == State::Start; }

  private:
    enum class State : std::uint8_t { Start, C2, E1, E19A, E2, E280, E281, E3, E380, Failed };
    State state_ = State::Start;
};

} // namespace rowmend::utf8
