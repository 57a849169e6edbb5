#pragma once
// Turning input in another encoding into UTF-8 before it is parsed, a chunk
// at a time: Latin-1, Windows-1252 and UTF-16 (either byte order) are
// decoded here at the speed of a copy for ASCII; UTF-8 passes through. Every
// encoding counts the input bytes that stand for no character (and so
// become U+FFFD), so that a replacement is never silent. UTF-8 is not
// changed here: the parser replaces each maximal ill-formed subsequence of a
// field by U+FFFD, and since an ASCII byte always ends such a subsequence,
// counting them over the whole stream counts what the fields will lose.

#include <cstddef>
#include <cstdint>

namespace rowmend {

enum class SourceEncoding : std::uint8_t {
    Utf8,
    // UTF-8 whose ill-formed bytes are read as Windows-1252 instead of being
    // replaced: what a file that is UTF-8 but for a few pasted bytes needs.
    Utf8OrCp1252,
    Latin1,
    Cp1252, // with the five bytes it leaves undefined read as Latin-1
    Utf16Le,
    Utf16Be,
};

class Transcoder {
  public:
    explicit Transcoder(SourceEncoding encoding) noexcept : encoding_(encoding) {}

    // The most bytes feed() or finish() may write for `n` input bytes.
    static constexpr std::size_t max_output(std::size_t n) noexcept { return 3 * n + 16; }

    // Writes the UTF-8 of `in` to `out` (room for max_output(n) bytes) and
    // returns how many bytes it wrote. A character cut at the end of `in`
    // waits for the next call.
    std::size_t feed(const char* in, std::size_t n, char* out);
    // The end of input: whatever waits becomes U+FFFD.
    std::size_t finish(char* out);

    std::uint64_t replaced_bytes() const noexcept { return replaced_; }
    // Utf8OrCp1252: the ill-formed bytes that were read as Windows-1252.
    std::uint64_t fallback_bytes() const noexcept { return fallback_; }
    // Utf8OrCp1252: the C1 controls (U+0080 to U+009F) read as the
    // Windows-1252 characters of their bytes. Text never holds them: they
    // are cp1252 punctuation (dashes, smart quotes, the bullet) that a wrong
    // conversion took for Latin-1. The five bytes cp1252 leaves undefined
    // stay as they are.
    std::uint64_t c1_mapped() const noexcept { return c1_mapped_; }

  private:
    std::size_t feed_utf8(const std::uint8_t* in, std::size_t n, char* out);
    std::size_t feed_single_byte(const std::uint8_t* in, std::size_t n, char* out);
    std::size_t feed_utf16(const std::uint8_t* in, std::size_t n, char* out);
    std::size_t feed_utf8_or_cp1252(const std::uint8_t* in, std::size_t n, char* out);
    enum class Utf8Byte : std::uint8_t { Ascii, Pending, Complete, Handled };
    template <class IllFormed> Utf8Byte next_utf8(std::uint8_t byte, IllFormed&& ill_formed);
    char* flush_pending_as_cp1252(char* out) noexcept;

    SourceEncoding encoding_;
    std::uint64_t replaced_ = 0;
    // UTF-8: the sequence in progress, for counting.
    std::uint8_t seq_seen_ = 0; // bytes of it seen
    std::uint8_t seq_need_ = 0; // bytes it needs in all
    std::uint8_t next_low_ = 0; // bounds of its next byte
    std::uint8_t next_high_ = 0;
    std::uint8_t pending_[4] = {}; // Utf8OrCp1252: the sequence's bytes so far
    std::uint64_t fallback_ = 0;
    std::uint64_t c1_mapped_ = 0;
    // UTF-16: a lone byte of a code unit, and a high surrogate awaiting its pair.
    bool has_odd_byte_ = false;
    std::uint8_t odd_byte_ = 0;
    std::uint16_t high_surrogate_ = 0;
};

} // namespace rowmend
