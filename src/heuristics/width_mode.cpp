#include "heuristics/width_mode.h"

#include <algorithm>

#include "parser/byte_scan.h"
#include "parser/resilient_parser.h"

namespace rowmend {

WidthMode width_mode(std::span<std::size_t> widths, std::size_t min_width) {
    std::sort(widths.begin(), widths.end());
    WidthMode mode;
    const std::size_t n = widths.size();
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j < n && widths[j] == widths[i])
            ++j;
        // Ascending order with ">=" lets the larger of two equally frequent widths win.
        if (widths[i] >= min_width && j - i >= mode.rows) {
            mode.width = widths[i];
            mode.rows = j - i;
        }
        i = j;
    }
    return mode;
}

std::size_t provisional_width(std::string_view prefix, std::size_t sample_bytes,
                              const ResilientParser& grammar) {
    const std::string_view sample = prefix.substr(0, sample_bytes);
    // The sample is megabytes when a quote runs away in its first line:
    // line breaks are looked for sixteen bytes at a time.
    const char* const begin = sample.data();
    const char* const end = begin + sample.size();
    const auto next_break = [end](const char* from) {
        return scan::find_first(from, end, std::uint8_t{'\n'}, std::uint8_t{'\r'});
    };
    std::vector<std::size_t> widths;
    const char* at = next_break(begin);
    while (at != end) {
        at += (*at == '\r' && at + 1 != end && at[1] == '\n') ? 2 : 1;
        const char* const line_end = next_break(at);
        if (line_end == end)
            break; // cut off by the sample's end
        if (line_end != at)
            widths.push_back(
                grammar.line_fields(std::string_view(at, static_cast<std::size_t>(line_end - at))));
        at = line_end;
    }
    return width_mode(widths, 2).width;
}

std::optional<std::size_t> sample_row_widths(std::string_view prefix, std::uint8_t delimiter,
                                             bool final, std::span<std::size_t> out) {
    ResilientParser parser(prefix, delimiter, '"', true, final);
    std::size_t counted = 0;
    RowShape shape;
    ParseStep step = ParseStep::Row;
    while (counted < out.size() && (step = parser.step_shape(shape)) == ParseStep::Row) {
        if (!shape.blank)
            out[counted++] = shape.field_count;
    }
    if (step == ParseStep::NeedMore)
        return std::nullopt;
    return counted;
}

std::optional<std::span<const std::size_t>> RowWidthSampler::sample(std::string_view prefix,
                                                                    bool final) {
    if (!ended_ && widths_.size() < limit_) {
        if (!parser_) {
            // A leading byte-order mark must be whole in view before the
            // parser is made, which skips it once and for all.
            if (!final && prefix.size() < 3)
                return std::nullopt;
            parser_.emplace(prefix, delimiter_, '"', true, final);
        } else {
            parser_->extend_window(prefix, final);
        }
        RowShape shape;
        ParseStep step = ParseStep::Row;
        while (widths_.size() < limit_ && (step = parser_->resume_shape(shape)) == ParseStep::Row) {
            if (!shape.blank)
                widths_.push_back(shape.field_count);
        }
        if (step == ParseStep::NeedMore)
            return std::nullopt;
        ended_ = step == ParseStep::End;
    }
    return std::span<const std::size_t>(widths_);
}

} // namespace rowmend
