// The salvage pass alone over a file, with the package's default detection
// (dialect, runaway quotes, blank and comment lines, preamble, header,
// footer, trailing section, totals), into a sink that only counts: the
// engine's share of `rowmend.clean`, without Python, a writer or a decoder.
// For instruction counts that compare two builds of the engine:
//
//   valgrind --tool=callgrind build/bench/cpp/pass_speed bench/data/messy_10mb.csv
//   build/bench/cpp/pass_speed FILE --backend      # the backend's options instead
//   build/bench/cpp/pass_speed FILE --no-runaway   # the package's, quotes read as ever

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "salvage/salvage_pass.h"

namespace {

class CountingSink final : public rowmend::RowSink {
  public:
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t) override {
        bytes += lines.size();
        plain += rows;
        return true;
    }
    bool row(const rowmend::RowEvent& event) override {
        bytes += event.text.size();
        ++other;
        return true;
    }
    bool skipped(const rowmend::SkippedRow&) override {
        ++set_aside;
        return true;
    }
    std::size_t bytes = 0, plain = 0, other = 0, set_aside = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pass_speed FILE [--backend | --no-runaway]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    std::string input(static_cast<std::size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(input.data(), static_cast<std::streamsize>(input.size()));
    rowmend::SalvageOptions options;
    const std::string_view flag = argc > 2 ? argv[2] : "";
    if (flag != "--backend") {
        options.detect_dialect = options.detect_quote = options.detect_escape = true;
        if (flag != "--no-runaway")
            options.runaway_quotes = rowmend::RunawayQuoteRule{};
        options.skip_blank_rows = true;
        options.detect_comments = true;
        options.detect_preamble = true;
        options.detect_header = true;
        options.detect_footer = options.detect_trailing_section = options.detect_totals = true;
    }
    CountingSink sink;
    rowmend::SalvagePass pass(options, sink);
    const auto start = std::chrono::steady_clock::now();
    // Pushed in windows as a file is read, not run over the buffer in place.
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t n = std::min(pass.next_read_size(), input.size() - at);
        pass.feed(input.data() + at, n);
        at += n;
    }
    pass.finish();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%zu bytes, %zu plain rows, %zu other, %zu set aside: %.1f MB/s\n", input.size(),
                sink.plain, sink.other, sink.set_aside, input.size() / 1e6 / took.count());
    return 0;
}
