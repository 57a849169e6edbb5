#include "parser/utf8.h"

#include <cstring>

namespace rowmend::utf8 {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Length of the well-formed sequence a lead byte starts, with the bounds its
// second byte must lie in (Unicode Table 3-7); 0 for a byte that starts none.
struct LeadInfo {
    std::uint8_t length;
    std::uint8_t second_low;
    std::uint8_t second_high;
};

constexpr LeadInfo lead_info(std::uint8_t b) noexcept {
    if (b >= 0xC2 && b <= 0xDF)
        return {2, 0x80, 0xBF};
    if (b == 0xE0)
        return {3, 0xA0, 0xBF};
    if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF)
        return {3, 0x80, 0xBF};
    if (b == 0xED)
        return {3, 0x80, 0x9F};
    if (b == 0xF0)
        return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3)
        return {4, 0x80, 0xBF};
    if (b == 0xF4)
        return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Number of bytes of the maximal prefix of a well-formed sequence starting at
// `p` (at least 1), and whether that prefix is a complete sequence.
inline std::size_t scan_sequence(const std::uint8_t* p, const std::uint8_t* end,
                                 bool& complete) noexcept {
    const LeadInfo info = lead_info(p[0]);
    complete = false;
    if (info.length == 0)
        return 1;
    std::size_t i = 1;
    if (p + i >= end || p[i] < info.second_low || p[i] > info.second_high)
        return i;
    for (++i; i < info.length; ++i) {
        if (p + i >= end || (p[i] & 0xC0) != 0x80)
            return i;
    }
    complete = true;
    return i;
}

} // namespace

bool is_ascii(const char* data, std::size_t size) noexcept {
    std::size_t i = 0;
    std::uint64_t acc = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        acc |= word;
    }
    for (; i < size; ++i)
        acc |= static_cast<std::uint8_t>(data[i]);
    return (acc & kHighBits) == 0;
}

bool is_valid(const char* data, std::size_t size) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    const auto* end = p + size;
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & kHighBits) == 0) {
                p += 8;
                continue;
            }
        }
        if (*p < 0x80) {
            ++p;
            continue;
        }
        bool complete;
        const std::size_t n = scan_sequence(p, end, complete);
        if (!complete)
            return false;
        p += n;
    }
    return true;
}

void append_lossy(std::string& out, std::string_view in) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(in.data());
    const auto* end = p + in.size();
    out.reserve(out.size() + in.size() + 8);
    while (p < end) {
        const auto* run = p;
        while (p < end && *p < 0x80)
            ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end)
            break;
        bool complete;
        const std::size_t n = scan_sequence(p, end, complete);
        if (complete) {
            out.append(reinterpret_cast<const char*>(p), n);
        } else {
            out.append("\xEF\xBF\xBD", 3);
        }
        p += n;
    }
}

void WhitespaceMatcher::feed(std::uint8_t b) noexcept {
    switch (state_) {
    case State::Start:
        if ((b >= 0x09 && b <= 0x0D) || b == 0x20)
            return;
        state_ = b == 0xC2   ? State::C2
                 : b == 0xE1 ? State::E1
                 : b == 0xE2 ? State::E2
                 : b == 0xE3 ? State::E3
                             : State::Failed;
        return;
    case State::C2: // U+0085, U+00A0
        state_ = (b == 0x85 || b == 0xA0) ? State::Start : State::Failed;
        return;
    case State::E1: // U+1680
        state_ = b == 0x9A ? State::E19A : State::Failed;
        return;
    case State::E19A:
        state_ = b == 0x80 ? State::Start : State::Failed;
        return;
    case State::E2: // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
        state_ = b == 0x80 ? State::E280 : b == 0x81 ? State::E281 : State::Failed;
        return;
    case State::E280:
        state_ = ((b >= 0x80 && b <= 0x8A) || b == 0xA8 || b == 0xA9 || b == 0xAF) ? State::Start
                                                                                   : State::Failed;
        return;
    case State::E281:
        state_ = b == 0x9F ? State::Start : State::Failed;
        return;
    case State::E3: // U+3000
        state_ = b == 0x80 ? State::E380 : State::Failed;
        return;
    case State::E380:
        state_ = b == 0x80 ? State::Start : State::Failed;
        return;
    case State::Failed:
        return;
    }
}

} // namespace rowmend::utf8
