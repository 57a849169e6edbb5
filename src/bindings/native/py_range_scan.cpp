#include "bindings/native/py_range_scan.h"

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "bindings/gil.h"
#include "bindings/guarded_call.h"
#include "bindings/py_ref.h"
#include "parser/block_states.h"

namespace rowmend::native {

namespace {

using bindings::guarded;
using bindings::PyRef;

// Row starts looked up per guess: the true entry of a range is its first
// row start, which a guess meets within its first rows or not at all.
constexpr std::size_t kEntriesPerGuess = 16;

// A bytes-like argument, held for the call.
class HeldBuffer {
  public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    std::string_view view() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// (delimiter, quote, quoting, repair_quotes, escape, trim_after_delimiter,
// runaway_width): the parser settings the file's layout settled.
bool parse_grammar(PyObject* value, blocks::Grammar& grammar) {
    unsigned char delimiter = 0, quote = 0, escape = 0;
    int quoting = 0, repair = 0, trim = 0;
    Py_ssize_t runaway = 0;
    if (!PyTuple_Check(value) || !PyArg_ParseTuple(value, "bbppbpn", &delimiter, &quote, &quoting,
                                                   &repair, &escape, &trim, &runaway)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError,
                        "grammar must be (delimiter, quote, quoting, repair_quotes, escape, "
                        "trim_after_delimiter, runaway_width)");
        return false;
    }
    if (runaway < 0) {
        PyErr_SetString(PyExc_ValueError, "runaway_width must be at least 0");
        return false;
    }
    grammar.delimiter = delimiter;
    grammar.quote = quote;
    grammar.quoting = quoting != 0;
    grammar.repair_quotes = repair != 0;
    grammar.escape = escape;
    grammar.trim_after_delimiter = trim != 0;
    grammar.runaway_width = static_cast<std::size_t>(runaway);
    return true;
}

// (next_offset, lines, rows, pending): where rows that enter at some start
// leave, the lines and rows from that start.
PyObject* exit_tuple(const blocks::BlockExit& exit) {
    return Py_BuildValue("(nKKO)", static_cast<Py_ssize_t>(exit.next.offset),
                         static_cast<unsigned long long>(exit.next.line),
                         static_cast<unsigned long long>(exit.rows),
                         exit.pending ? Py_True : Py_False);
}

PyObject* scan_range(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject *data = nullptr, *grammar_value = nullptr;
        Py_ssize_t end = 0;
        int final = 0, input_start = 0;
        if (!PyArg_ParseTuple(args, "OnppO:scan_range", &data, &end, &final, &input_start,
                              &grammar_value))
            return nullptr;
        blocks::Grammar grammar;
        HeldBuffer buffer;
        if (!parse_grammar(grammar_value, grammar) || !buffer.acquire(data))
            return nullptr;
        const std::string_view bytes = buffer.view();
        if (end < 0 || static_cast<std::size_t>(end) > bytes.size()) {
            PyErr_SetString(PyExc_ValueError, "end must lie within data");
            return nullptr;
        }
        const blocks::Block block{bytes, 0, static_cast<std::size_t>(end), final != 0,
                                  input_start != 0};
        std::vector<std::pair<blocks::RowStart, blocks::BlockExit>> found;
        {
            const bindings::GilReleased unlocked;
            const blocks::BlockScan scan = blocks::BlockScan::scan(block, grammar);
            for (const blocks::RowStart start : scan.entries(kEntriesPerGuess)) {
                // Joined from line 0: the exit's line is the lines crossed.
                if (const std::optional<blocks::BlockExit> exit = scan.join({start.offset, 0}))
                    found.emplace_back(start, *exit);
            }
        }
        PyRef result(PyList_New(0));
        if (!result)
            return nullptr;
        for (const auto& [start, exit] : found) {
            PyRef exit_value(exit_tuple(exit));
            if (!exit_value)
                return nullptr;
            PyRef item(
                Py_BuildValue("(nO)", static_cast<Py_ssize_t>(start.offset), exit_value.get()));
            if (!item || PyList_Append(result.get(), item.get()) < 0)
                return nullptr;
        }
        return result.release();
    });
}

PyObject* walk_range(PyObject*, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject *data = nullptr, *grammar_value = nullptr;
        Py_ssize_t entry = 0, end = 0;
        int final = 0, input_start = 0;
        if (!PyArg_ParseTuple(args, "OnnppO:walk_range", &data, &entry, &end, &final, &input_start,
                              &grammar_value))
            return nullptr;
        blocks::Grammar grammar;
        HeldBuffer buffer;
        if (!parse_grammar(grammar_value, grammar) || !buffer.acquire(data))
            return nullptr;
        const std::string_view bytes = buffer.view();
        if (end < 0 || entry < 0 || entry > end || static_cast<std::size_t>(end) > bytes.size()) {
            PyErr_SetString(PyExc_ValueError, "entry and end must lie within data, in order");
            return nullptr;
        }
        const blocks::Block block{bytes, 0, static_cast<std::size_t>(end), final != 0,
                                  input_start != 0};
        blocks::BlockExit exit;
        {
            const bindings::GilReleased unlocked;
            exit = blocks::walk(block, {static_cast<std::size_t>(entry), 0}, grammar);
        }
        return exit_tuple(exit);
    });
}

PyMethodDef methods[] = {
    {"scan_range", scan_range, METH_VARARGS,
     "scan_range($module, data, end, final, input_start, grammar, /)\n--\n\n"
     "The bytes data[:end] of a file scanned from the row starts they may\n"
     "begin with (data holds the bytes after them too, to the input's end when\n"
     "final; input_start: data begins the file). For each start found, where\n"
     "the rows entered there leave the range: [(start, (next, lines, rows,\n"
     "pending))], the first row start at or past end, the lines and rows\n"
     "crossed, and whether that row runs past data. Offsets are data's."},
    {"walk_range", walk_range, METH_VARARGS,
     "walk_range($module, data, entry, end, final, input_start, grammar, /)\n--\n\n"
     "The rows of data[:end] walked from the known row start entry: where\n"
     "they leave, (next, lines, rows, pending) as scan_range gives it."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyMethodDef* range_scan_methods() {
    return methods;
}

} // namespace rowmend::native
