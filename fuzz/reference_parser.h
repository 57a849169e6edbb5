#pragma once
// The row parser's rules written out plainly, one byte at a time, for
// differential fuzzing: no scanning fast paths, no look-ahead memo, field
// bytes kept raw. The stray-quote test rescans the rest of the line for
// every quote that reaches it, so it is quadratic on lines of many quotes;
// callers keep it to small inputs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rowmend::fuzz {

class ReferenceParser {
  public:
    ReferenceParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote,
                    bool repair_quotes, std::uint8_t escape = 0, bool trim = false) noexcept
        : in_(input), delimiter_(delimiter), quote_(quote), repair_(repair_quotes), escape_(escape),
          trim_(trim) {
        if (in_.size() >= 3 && in_.substr(0, 3) == "\xEF\xBB\xBF")
            pos_ = 3;
    }

    // Replaces `fields` with the raw bytes of the next row's fields and
    // returns true, or returns false at the end of input.
    bool next_row(std::vector<std::string>& fields) {
        fields.clear();
        if (pos_ == in_.size())
            return false;
        enum { FieldStart, Unquoted, Quoted, AfterQuote } state = FieldStart;
        std::string field;
        bool after_delimiter = false;
        auto finish = [&] {
            fields.push_back(field);
            field.clear();
        };
        for (;;) {
            if (pos_ == in_.size()) {
                if (after_delimiter) {
                    fields.emplace_back();
                } else {
                    finish();
                }
                return true;
            }
            const std::uint8_t c = at(pos_);
            const bool line_break = c == '\n' || c == '\r';
            after_delimiter = false; // every step consumes a byte or ends the row
            switch (state) {
            case FieldStart:
                if (c == quote_) {
                    ++pos_;
                    state = Quoted;
                } else if (c == delimiter_) {
                    fields.emplace_back();
                    skip_delimiter();
                    after_delimiter = true;
                } else if (line_break) {
                    fields.emplace_back();
                    end_row();
                    return true;
                } else if (escape_ != 0 && c == escape_) {
                    state = Unquoted;
                } else {
                    field.push_back(static_cast<char>(c));
                    ++pos_;
                    state = Unquoted;
                }
                break;
            case Unquoted:
                if (escape_ != 0 && c == escape_) {
                    take_escaped(field);
                } else if (c == delimiter_) {
                    finish();
                    skip_delimiter();
                    after_delimiter = true;
                    state = FieldStart;
                } else if (line_break) {
                    finish();
                    end_row();
                    return true;
                } else {
                    field.push_back(static_cast<char>(c));
                    ++pos_;
                }
                break;
            case Quoted:
                if (escape_ != 0 && c == escape_ && escape_ != quote_) {
                    take_escaped(field);
                } else if (c != quote_) {
                    field.push_back(static_cast<char>(c));
                    if (c == '\n')
                        ++line_;
                    ++pos_;
                } else if (pos_ + 1 == in_.size()) {
                    ++pos_;
                    state = AfterQuote;
                } else if (at(pos_ + 1) == quote_) {
                    field.push_back(static_cast<char>(c));
                    pos_ += 2;
                } else if (repair_ && quote_is_literal(pos_)) {
                    field.push_back(static_cast<char>(c));
                    ++pos_;
                } else {
                    ++pos_;
                    state = AfterQuote;
                }
                break;
            case AfterQuote:
                if (c == delimiter_) {
                    finish();
                    skip_delimiter();
                    after_delimiter = true;
                    state = FieldStart;
                } else if (c == ' ' || c == '\t') {
                    ++pos_;
                } else if (line_break) {
                    finish();
                    end_row();
                    return true;
                } else if (escape_ != 0 && c == escape_) {
                    state = Unquoted;
                } else {
                    field.push_back(static_cast<char>(c));
                    ++pos_;
                    state = Unquoted;
                }
                break;
            }
        }
    }

    std::size_t pos() const noexcept { return pos_; }
    std::size_t line() const noexcept { return line_; }

    // True when the quote at `q` is text, false when it closes its field:
    // the stray-quote test exactly as its rules read.
    bool quote_is_literal(std::size_t q) const noexcept {
        const std::size_t n = in_.size();
        std::size_t i = q + 1;
        while (i < n && blank(i))
            ++i;
        if (i == n || ends_field(i))
            return false;
        for (; i < n; ++i) {
            if (at(i) == '\n' || at(i) == '\r')
                return false;
            if (at(i) != quote_)
                continue;
            if (i + 1 == n)
                return true;
            std::size_t j = i + 1;
            while (j < n && blank(j))
                ++j;
            if (j == n || ends_field(j))
                return true;
        }
        return false;
    }

  private:
    std::uint8_t at(std::size_t i) const noexcept { return static_cast<std::uint8_t>(in_[i]); }
    bool blank(std::size_t i) const noexcept {
        return (at(i) == ' ' || at(i) == '\t') && at(i) != delimiter_;
    }
    bool ends_field(std::size_t i) const noexcept {
        return at(i) == delimiter_ || at(i) == '\n' || at(i) == '\r';
    }

    // An escape makes the next byte text; at the end of input it is text.
    void take_escaped(std::string& field) {
        if (pos_ + 1 == in_.size()) {
            field.push_back(static_cast<char>(escape_));
            ++pos_;
            return;
        }
        field.push_back(in_[pos_ + 1]);
        if (at(pos_ + 1) == '\n')
            ++line_;
        pos_ += 2;
    }
    void skip_delimiter() noexcept {
        ++pos_;
        if (trim_ && pos_ < in_.size() && at(pos_) == ' ')
            ++pos_;
    }

    void end_row() noexcept {
        pos_ += (at(pos_) == '\r' && pos_ + 1 < in_.size() && at(pos_ + 1) == '\n') ? 2 : 1;
        ++line_;
    }

    std::string_view in_;
    std::uint8_t delimiter_;
    std::uint8_t quote_;
    bool repair_;
    std::uint8_t escape_;
    bool trim_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

} // namespace rowmend::fuzz
