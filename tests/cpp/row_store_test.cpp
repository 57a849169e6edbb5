// The row store: an arena of field bytes with one word per field. Fields at
// or above the inline limit keep their length in a side table; a small
// `inline_limit` sends short test fields there too.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "parser/utf8.h"
#include "test_support.h"

namespace rowmend::test {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

// Everything a store reports about itself, checked against the expected
// rows; returns the first difference, or an empty string.
std::string store_mismatch(const RowStore& store, const Rows& expected) {
    if (store.row_count() != expected.size()) {
        return "row count " + std::to_string(store.row_count()) + ", expected " +
               std::to_string(expected.size());
    }
    if (store.empty() != expected.empty())
        return "empty() is wrong";
    std::size_t fields = 0, bytes = 0;
    for (std::size_t r = 0; r < expected.size(); ++r) {
        const std::string at = "row " + std::to_string(r) + ": ";
        const RowView row = store.row(r);
        if (to_fields(row) != expected[r])
            return at + show(to_fields(row)) + ", expected " + show(expected[r]);
        std::string joined;
        std::size_t i = 0;
        for (const FieldView field : row) {
            if (field.text != row.field(i).text)
                return at + "field(" + std::to_string(i) + ") differs";
            if (field.ascii != utf8::is_ascii(field.text.data(), field.text.size())) {
                return at + "wrong ASCII flag on " + show(field.text);
            }
            joined += field.text;
            ++i;
        }
        if (row.bytes() != joined)
            return at + "bytes() " + show(row.bytes());
        fields += expected[r].size();
        bytes += joined.size();
    }
    if (store.field_count() != fields)
        return "field_count " + std::to_string(store.field_count());
    if (store.byte_count() != bytes)
        return "byte_count " + std::to_string(store.byte_count());
    return {};
}

void expect_store_holds(const RowStore& store, const Rows& expected) {
    EXPECT_EQ(store_mismatch(store, expected), "");
}

TEST(ByteBuffer, GrowsKeepsAndMoves) {
    ByteBuffer buffer;
    EXPECT_EQ(buffer.size(), 0u);
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        buffer.push_back(static_cast<char>('a' + i % 26));
        expected.push_back(static_cast<char>('a' + i % 26));
    }
    buffer.append("xyz", 3);
    expected += "xyz";
    char* spare = buffer.spare(5000);
    std::fill_n(spare, 4000, 'q');
    buffer.commit(4000);
    expected.append(4000, 'q');
    ASSERT_EQ(std::string_view(buffer.data(), buffer.size()), expected);
    EXPECT_GE(buffer.capacity(), buffer.size());

    buffer.truncate(10);
    EXPECT_EQ(std::string_view(buffer.data(), buffer.size()), expected.substr(0, 10));
    buffer.truncate(20); // never grows
    EXPECT_EQ(buffer.size(), 10u);

    ByteBuffer moved(std::move(buffer));
    EXPECT_EQ(std::string_view(moved.data(), moved.size()), expected.substr(0, 10));
    ByteBuffer assigned;
    assigned.append("old", 3);
    assigned = std::move(moved);
    EXPECT_EQ(std::string_view(assigned.data(), assigned.size()), expected.substr(0, 10));

    const std::size_t capacity = assigned.capacity();
    assigned.clear();
    EXPECT_EQ(assigned.size(), 0u);
    EXPECT_EQ(assigned.capacity(), capacity);
    assigned.release();
    EXPECT_EQ(assigned.capacity(), 0u);
    assigned.append("again", 5);
    EXPECT_EQ(std::string_view(assigned.data(), assigned.size()), "again");
}

TEST(RowStore, FinishFieldRepairsIllFormedUtf8AndSetsTheAsciiFlag) {
    struct Case {
        std::string bytes;
        std::string text;
        bool ascii;
    };
    const std::vector<Case> table = {
        {"", "", true},
        {"abc", "abc", true},
        {"\x7F", "\x7F", true},
        {"caf\xC3\xA9", "caf\xC3\xA9", false},
        {"a\xFF"
         "b",
         "a" + kFffd + "b", false},
        {"\xC3", kFffd, false},
    };
    for (const std::uint32_t limit : {1U, 2U, RowStore::kInlineLimit}) {
        RowStore store(limit);
        for (const Case& c : table) {
            SCOPED_TRACE(show(c.bytes) + " limit " + std::to_string(limit));
            store.begin_row();
            store.append("x", 1);
            store.finish_field();
            store.append(c.bytes.data(), c.bytes.size());
            store.finish_field();
            const RowView row = store.last_row();
            ASSERT_EQ(row.size(), 2u);
            EXPECT_EQ(row.field(1).text, c.text);
            EXPECT_EQ(row.field(1).ascii, c.ascii);
            EXPECT_EQ(row.field(0).text, "x");
        }
    }
}

TEST(RowStore, EmptyFieldsAndByteAtATimeFields) {
    RowStore store(2);
    store.begin_row();
    store.push_empty_field();
    for (const char c : std::string("hello"))
        store.push_byte(c);
    store.finish_field();
    store.push_empty_field();
    store.append("ok", 2);
    store.finish_field(false);
    store.append("\xC3\xA9t\xC3\xA9", 5);
    store.finish_field(true);
    expect_store_holds(store, {{"", "hello", "", "ok", "\xC3\xA9t\xC3\xA9"}});
}

TEST(RowStore, ReshapingLongFieldsThroughTheSideTable) {
    // A limit of 4 puts every field of 4 bytes or more in the side table.
    const std::string long1(10, 'L'), long2 = "\xC3\xA9" + std::string(7, 'm'), long3(4, 'n');
    struct Case {
        const char* name;
        Fields row;
        std::function<void(RowStore&)> reshape;
        Fields expected;
    };
    const std::vector<Case> table = {
        {"pad", {long1, "ab"}, [](RowStore& s) { s.pad_last_row(4); }, {long1, "ab", "", ""}},
        {"pad to fewer does nothing",
         {long1, "ab"},
         [](RowStore& s) { s.pad_last_row(1); },
         {long1, "ab"}},
        {"merge from 1",
         {"a", long1, "b", long2},
         [](RowStore& s) { s.merge_last_row_tail(1, ","); },
         {"a", long1 + ",b," + long2}},
        {"merge from 0",
         {long1, long2},
         [](RowStore& s) { s.merge_last_row_tail(0, "\xC2\xA7"); },
         {long1 + "\xC2\xA7" + long2}},
        {"merge keeps empty fields visible",
         {"c", "", ""},
         [](RowStore& s) { s.merge_last_row_tail(0, ","); },
         {"c,,"}},
        {"merge of the last field alone does nothing",
         {long1, long3},
         [](RowStore& s) { s.merge_last_row_tail(1, ","); },
         {long1, long3}},
        {"merge past the end does nothing",
         {long1},
         [](RowStore& s) { s.merge_last_row_tail(5, ","); },
         {long1}},
        {"merge short fields into a long one",
         {"ab", "cd", "e"},
         [](RowStore& s) { s.merge_last_row_tail(0, ";;"); },
         {"ab;;cd;;e"}},
        {"merge long fields into a short one",
         {"x", long3, long3},
         [](RowStore& s) { s.merge_last_row_tail(1, ""); },
         {"x", long3 + long3}},
        {"pad then merge",
         {long1, long2},
         [](RowStore& s) {
             s.pad_last_row(3);
             s.merge_last_row_tail(1, "|");
         },
         {long1, long2 + "|"}},
    };
    for (const std::uint32_t limit : {4U, RowStore::kInlineLimit}) {
        for (const Case& c : table) {
            SCOPED_TRACE(std::string(c.name) + " limit " + std::to_string(limit));
            RowStore store(limit);
            push_row(store, {long2, "before"});
            push_row(store, c.row);
            c.reshape(store);
            // A row added afterwards must read back too: the side table must
            // not keep entries of fields that are gone.
            push_row(store, {long3, "z", long1});
            expect_store_holds(store, {{long2, "before"}, c.expected, {long3, "z", long1}});
        }
    }
}

TEST(RowStore, TakeAndPopRowsWithLongFields) {
    const std::string big(50, 'B'), accent = "\xC3\xA9" + std::string(20, 'e');
    RowStore small_limit(3);
    RowStore default_limit;
    push_row(small_limit, {"a", big});
    push_row(small_limit, {accent, "", "cde"});

    default_limit.append_row(small_limit.last_row());
    small_limit.pop_last_row();
    expect_store_holds(small_limit, {{"a", big}});
    expect_store_holds(default_limit, {{accent, "", "cde"}});

    small_limit.append_row(default_limit.last_row());
    default_limit.pop_last_row();
    expect_store_holds(small_limit, {{"a", big}, {accent, "", "cde"}});
    expect_store_holds(default_limit, {});

    small_limit.pop_last_row();
    expect_store_holds(small_limit, {{"a", big}});
    push_row(small_limit, {"xyz", accent});
    expect_store_holds(small_limit, {{"a", big}, {"xyz", accent}});
    small_limit.pop_last_row();
    small_limit.pop_last_row();
    expect_store_holds(small_limit, {});
    push_row(small_limit, {big});
    expect_store_holds(small_limit, {{big}});

    small_limit.clear();
    expect_store_holds(small_limit, {});
    push_row(small_limit, {big, "q"});
    expect_store_holds(small_limit, {{big, "q"}});
    small_limit.release();
    expect_store_holds(small_limit, {});
    push_row(small_limit, {"r", big});
    expect_store_holds(small_limit, {{"r", big}});
}

TEST(RowStore, ParsedRowsReadTheSameWhateverTheInlineLimit) {
    std::string input;
    for (int i = 0; i < 50; ++i) {
        // Quoted fields with doubled quotes, empty and non-ASCII fields, and
        // a byte that becomes U+FFFD.
        input += std::string(static_cast<std::size_t>(i), 'a') + ",\"q" +
                 std::string(2 * static_cast<std::size_t>(i % 4), '"') + "\",\xC3\xA9" +
                 std::string(static_cast<std::size_t>(i % 5), 'x') + ",,\xFF\n";
    }
    RowStore reference_store;
    {
        ResilientParser parser(input, ',', '"', true);
        while (parser.next_row(reference_store)) {
        }
    }
    const Rows expected = all_rows(reference_store);
    ASSERT_EQ(expected.size(), 50u);
    for (const std::uint32_t limit : {0U, 1U, 2U, 3U, 8U, 33U}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        RowStore store(limit);
        ResilientParser parser(input, ',', '"', true);
        while (parser.next_row(store)) {
        }
        expect_store_holds(store, expected);
    }
}

// Random sequences of every building and reshaping operation, checked after
// each step against a plain vector of rows.
TEST(RowStore, RandomOperationsMatchAPlainModel) {
    const std::vector<std::string> pieces = {"a", "bc",         "\xC3\xA9", "\xFF",
                                             "",  "0123456789", "\xE2\x82"};
    const std::vector<std::string> separators = {",", "\xC2\xA7", "", ";;"};
    for (const std::uint32_t limit : {0U, 1U, 2U, 5U, 16U, RowStore::kInlineLimit}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        std::mt19937_64 rng(limit);
        auto pick = [&](std::size_t n) {
            return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
        };
        RowStore store(limit), other(limit == 1 ? 3 : 1);
        Rows model, other_model;
        for (int step = 0; step < 1000; ++step) {
            const std::size_t op = pick(10);
            if (op <= 3 || model.empty()) {
                Fields fields;
                RowStore& target = op == 3 ? other : store;
                target.begin_row();
                const std::size_t count = 1 + pick(5);
                for (std::size_t f = 0; f < count; ++f) {
                    if (pick(5) == 0) {
                        target.push_empty_field();
                        fields.emplace_back();
                        continue;
                    }
                    std::string bytes;
                    for (std::size_t k = pick(4); k > 0; --k)
                        bytes += pieces[pick(pieces.size())];
                    target.append(bytes.data(), bytes.size());
                    target.finish_field();
                    fields.push_back(lossy_utf8(bytes));
                }
                (op == 3 ? other_model : model).push_back(fields);
            } else if (op == 4) {
                const std::size_t width = pick(7);
                store.pad_last_row(width);
                if (model.back().size() < width)
                    model.back().resize(width);
            } else if (op == 5 || op == 6) {
                const std::size_t first = pick(6);
                const std::string& separator = separators[pick(separators.size())];
                store.merge_last_row_tail(first, separator);
                Fields& row = model.back();
                if (first + 1 < row.size()) {
                    std::string merged = row[first];
                    for (std::size_t i = first + 1; i < row.size(); ++i)
                        merged += separator + row[i];
                    row.resize(first);
                    row.push_back(merged);
                }
            } else if (op == 7 && !other_model.empty()) {
                store.append_row(other.last_row());
                other.pop_last_row();
                model.push_back(other_model.back());
                other_model.pop_back();
            } else if (op == 8) {
                store.pop_last_row();
                model.pop_back();
            } else if (op == 9 && (model.size() > 30 || pick(20) == 0)) {
                store.clear();
                model.clear();
            }
            expect_store_holds(store, model);
            expect_store_holds(other, other_model);
            if (HasFailure()) {
                ADD_FAILURE() << "after step " << step << " (operation " << op << ")";
                return;
            }
        }
    }
}

} // namespace
} // namespace rowmend::test
