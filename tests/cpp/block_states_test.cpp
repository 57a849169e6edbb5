// Blocks parsed apart and joined must give the rows of one parse from the
// start: the same row starts, lines, fields and stopping point, for every
// block size, every thread count and every grammar, stray quotes, quoted
// line breaks and CR LF at every block boundary included.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/block_states.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

using blocks::BlockEntry;
using blocks::Grammar;
using blocks::RowStart;

// What a parse yields: each row's start, line and fields, and where it
// stopped (the end of input, or a row left for more input).
struct Parsed {
    std::vector<std::size_t> offsets;
    std::vector<std::uint64_t> lines;
    Rows rows;
    RowStart stop;
    bool pending = false;
    bool operator==(const Parsed&) const = default;
};

Parsed parse_whole(std::string_view input, bool final, const Grammar& grammar) {
    const blocks::Block whole{input, 0, input.size(), final, true};
    RowStore store;
    std::vector<RowStart> starts;
    const blocks::BlockExit exit = blocks::parse(whole, {0, 1}, grammar, store, starts);
    Parsed parsed{{}, {}, all_rows(store), exit.next, exit.pending};
    for (const RowStart& s : starts) {
        parsed.offsets.push_back(s.offset);
        parsed.lines.push_back(s.line);
    }
    return parsed;
}

// The plan's blocks, each parsed from its entry, back to back; the entries
// must chain, each entering where the one before left.
Parsed parse_planned(std::string_view input, bool final, const Grammar& grammar,
                     std::size_t block_bytes, unsigned threads, std::size_t* walked = nullptr) {
    const std::vector<BlockEntry> plan =
        blocks::plan(input, final, true, grammar, block_bytes, threads);
    Parsed parsed;
    RowStore store;
    std::vector<RowStart> starts;
    RowStart at{0, 1};
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const BlockEntry& e = plan[k];
        EXPECT_EQ(e.entry.offset, at.offset) << "block " << k;
        EXPECT_EQ(e.entry.line, at.line) << "block " << k;
        const blocks::Block block{input, k * block_bytes,
                                  std::min(input.size(), (k + 1) * block_bytes), final, true};
        const blocks::BlockExit exit = blocks::parse(block, e.entry, grammar, store, starts);
        EXPECT_EQ(exit.next.offset, e.exit.next.offset) << "block " << k;
        EXPECT_EQ(exit.next.line, e.exit.next.line) << "block " << k;
        EXPECT_EQ(exit.rows, e.exit.rows) << "block " << k;
        EXPECT_EQ(exit.pending, e.exit.pending) << "block " << k;
        at = exit.next;
        parsed.stop = exit.next;
        parsed.pending = exit.pending;
        if (walked != nullptr)
            *walked += e.walked;
    }
    parsed.rows = all_rows(store);
    for (const RowStart& s : starts) {
        parsed.offsets.push_back(s.offset);
        parsed.lines.push_back(s.line);
    }
    return parsed;
}

Grammar comma() {
    return {};
}
Grammar no_repair() {
    Grammar g;
    g.repair_quotes = false;
    return g;
}
Grammar escaped() {
    Grammar g;
    g.escape = '\\';
    return g;
}
Grammar trimmed() {
    Grammar g;
    g.trim_after_delimiter = true;
    return g;
}
Grammar unquoted() {
    Grammar g;
    g.quoting = false;
    return g;
}
Grammar runaway() {
    Grammar g;
    g.runaway_width = 3;
    g.runaway_rule = {2, 64};
    return g;
}
Grammar semicolon_apostrophe() {
    Grammar g;
    g.delimiter = ';';
    g.quote = '\'';
    return g;
}

const std::vector<Grammar> kGrammars = {
    comma(), no_repair(), escaped(), trimmed(), unquoted(), runaway(), semicolon_apostrophe()};

TEST(BlockStates, EveryBoundaryOfTrickyInputs) {
    const std::vector<std::string> inputs = {
        "a,b,c\nd,e,f\n",
        "\"x\ny\",z\n1,2\n\"p\r\nq\",r\r\n",
        "\"He said \"hi\" there\",x\n\"a\"b,\"c\",d\n",
        "a\"b,c\n\"open,never closed\nx,y\nz,w\n",
        "\xEF\xBB\xBFid,name\n1,\"a\"\"b\"\n\xEF\xBB\xBF\"2\",x\n",
        "\r\r\n\n,\"\"\"\n\",\r\"",
        "'a;b';'c\nd'\n'x''y';z\n",
        "a\\,b,c\\\nd\n\"q\\\"r\",s\n",
        "a, \"b,c\", d\n\"x\" ,y\n",
        "1,\"a\n2,b\n3,c\n4,d\n5,e\n",
        "\"\"\"\"\"\",\"\n\"\"\n\",\"\",\n",
    };
    for (const std::string& input : inputs) {
        for (const Grammar& grammar : kGrammars) {
            for (const bool final : {true, false}) {
                const Parsed whole = parse_whole(input, final, grammar);
                for (std::size_t size = 1; size <= input.size() + 1; ++size) {
                    for (const unsigned threads : {1U, 3U}) {
                        ASSERT_EQ(parse_planned(input, final, grammar, size, threads), whole)
                            << show(input) << " blocks of " << size << ", " << threads
                            << " threads, final " << final << ", delimiter " << grammar.delimiter
                            << " escape " << int(grammar.escape) << " runaway "
                            << grammar.runaway_width;
                    }
                }
            }
        }
    }
}

TEST(BlockStates, RandomInputsAndBlockSizes) {
    const std::vector<std::string> tokens = {
        "a",   "bc",  ",",    ",",   ";", "\n", "\n",   "\r\n",         "\r",
        "\"",  "\"",  "\"\"", " ",   "'", "\\", "\xC3", "\xEF\xBB\xBF", "0123456789abcdef",
        ",\"", "\",", "\"\n", "\n\""};
    std::mt19937_64 rng(2026);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    for (int i = 0; i < 3000; ++i) {
        std::string input;
        for (std::size_t k = pick(120); k > 0; --k)
            input += tokens[pick(tokens.size())];
        const Grammar& grammar = kGrammars[pick(kGrammars.size())];
        const bool final = pick(4) != 0;
        const std::size_t size = 1 + pick(input.size() + 8);
        const Parsed whole = parse_whole(input, final, grammar);
        ASSERT_EQ(parse_planned(input, final, grammar, size, 1), whole)
            << show(input) << " blocks of " << size;
        ASSERT_EQ(parse_planned(input, final, grammar, size, 4), whole)
            << show(input) << " blocks of " << size << " on 4 threads";
    }
}

// A quoted field far longer than a block and than what a guess reads, full
// of lines that look like rows: guesses inside it are cut short or wrong,
// and the join still gives the rows of one parse.
TEST(BlockStates, RowsLongerThanWhatAGuessReads) {
    std::string input = "id,text\n1,\"";
    for (int line = 0; line < 12000; ++line)
        input += line % 5 == 0 ? "x,\"\"y\"\" z\n" : line % 5 == 1 ? "\"\"\"\",\r\n" : "a,b,c\n";
    input += "\"\n2,after\n\"3\",\"stray \"q\" here\"\n";
    for (const std::size_t size : {1000U, 4096U, 70000U}) {
        for (const Grammar& grammar : {comma(), no_repair(), runaway()}) {
            const Parsed whole = parse_whole(input, true, grammar);
            ASSERT_EQ(parse_planned(input, true, grammar, size, 2), whole) << "blocks of " << size;
        }
    }
}

// On well-formed data with quoted delimiters, doubled quotes and quoted line
// breaks, one of the guesses is right at every boundary: no block is walked
// again, so the scans are all the work.
TEST(BlockStates, GuessesHoldOnWellFormedQuotedData) {
    std::string input = "id,label,note\n";
    for (int r = 0; r < 400; ++r) {
        input += std::to_string(r) + ",\"w" + std::to_string(r) + ", x\",";
        input += r % 3 == 0   ? "\"she said \"\"hi\"\"\"\n"
                 : r % 3 == 1 ? "\"line one\nline two\"\r\n"
                              : "plain\n";
    }
    for (const std::size_t size : {7U, 64U, 333U, 4096U}) {
        std::size_t walked = 0;
        ASSERT_EQ(parse_planned(input, true, comma(), size, 2, &walked),
                  parse_whole(input, true, comma()));
        EXPECT_EQ(walked, 0U) << "blocks of " << size;
    }
}

} // namespace
} // namespace rowmend::test
