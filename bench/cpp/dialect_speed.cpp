// How long the package's dialect detection takes on a 64 KiB sample: the
// best of many runs per input, for generated tables of each separator and
// for every corpus file given on the command line (its first 64 KiB).
//
//   build/bench/cpp/dialect_speed /work/shared/corpus/*/*.csv

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "heuristics/dialect.h"

namespace {

std::string generated(const std::string& separator, char quote) {
    std::string text = "id" + separator + "name" + separator + "price" + separator + "when\n";
    for (int i = 0; text.size() < rowmend::kDialectSample; ++i) {
        text += std::to_string(i) + separator + quote + "item " + std::to_string(i * 7) + ", big" +
                quote + separator + std::to_string(i % 97) + (separator[0] == ',' ? ".5" : ",5") +
                separator + "2024-01-" + std::to_string(1 + i % 28) + "\n";
    }
    return text;
}

double best_ms(const std::string& sample, rowmend::Dialect& found) {
    double best = 1e9;
    for (int run = 0; run < 50; ++run) {
        const auto start = std::chrono::steady_clock::now();
        // A shorter input is all there is: a final prefix.
        found = *rowmend::detect_dialect_prefix(sample, sample.size() < rowmend::kDialectSample);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

void report(const std::string& name, const std::string& sample) {
    rowmend::Dialect found;
    const double ms = best_ms(sample, found);
    std::printf("%8.3f ms  %-60s delimiter %d quote %c escape %d trim %d\n", ms, name.c_str(),
                found.delimiter, found.quote, found.escape, found.trim_blank ? 1 : 0);
}

} // namespace

int main(int argc, char** argv) {
    for (const std::string separator : {",", ";", "\t", "|", ":", "^", "~", " ", ", ", "; "})
        report("generated '" + separator + "'", generated(separator, '"'));
    report("generated apostrophes", generated(";", '\''));
    // One giant field: detection reads no further than its sample.
    report("one 1 MiB quoted field", "a,\"" + std::string(1 << 20, 'x'));
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::string text;
        text.resize(rowmend::kDialectSample);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        report(argv[i], text);
    }
    return 0;
}
