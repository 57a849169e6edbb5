// Row boundaries of whole files found by blocks parsed apart: the time of
// one sequential counting parse against the block plan on one and on two
// threads (scans, joins and any block walked again), the best of a few runs,
// and how many blocks a wrong guess made walk again. The plan's rows and
// exit must equal the sequential parse's, or the run says so and fails.
//
//   build/bench/cpp/block_plan bench/data/quote_heavy_200mb.csv bench/data/messy_200mb.csv

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "parser/block_states.h"

namespace {

using namespace rowmend;

template <class Run> double best_seconds(Run&& run) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

bool report(const char* name, const std::string& text) {
    constexpr std::size_t kBlock = 1U << 20;
    const blocks::Grammar grammar;
    const blocks::Block whole{text, 0, text.size(), true, true};
    blocks::BlockExit sequential;
    const double one = best_seconds([&] { sequential = blocks::walk(whole, {0, 1}, grammar); });
    std::printf("%s: %.1f MB, %llu rows\n", name, text.size() / 1e6,
                static_cast<unsigned long long>(sequential.rows));
    std::printf("  sequential      %7.3f s  %6.2f GB/s\n", one, text.size() / one / 1e9);
    bool same = true;
    for (const unsigned threads : {1U, 2U}) {
        std::vector<blocks::BlockEntry> plan;
        const double t =
            best_seconds([&] { plan = blocks::plan(text, true, true, grammar, kBlock, threads); });
        std::uint64_t rows = 0;
        std::size_t walked = 0;
        for (const blocks::BlockEntry& e : plan) {
            rows += e.exit.rows;
            walked += e.walked;
        }
        const bool agrees = rows == sequential.rows &&
                            plan.back().exit.next.offset == sequential.next.offset &&
                            plan.back().exit.next.line == sequential.next.line;
        same = same && agrees;
        std::printf("  plan, %u thread%s %7.3f s  %6.2f GB/s  %.2fx sequential  %zu of %zu blocks "
                    "walked again%s\n",
                    threads, threads == 1 ? " " : "s", t, text.size() / t / 1e9, t / one, walked,
                    plan.size(), agrees ? "" : "  ROWS DIFFER");
    }
    return same;
}

} // namespace

int main(int argc, char** argv) {
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        ok = report(argv[i], text) && ok;
    }
    return ok ? 0 : 1;
}
