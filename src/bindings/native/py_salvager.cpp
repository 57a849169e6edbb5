#include "bindings/native/py_salvager.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "bindings/gil.h"
#include "bindings/guarded_call.h"
#include "bindings/native/arrow_sink.h"
#include "bindings/native/py_arrow_batch.h"
#include "bindings/native/salvager_options.h"
#include "bindings/py_ref.h"
#include "salvage/salvage_run.h"

namespace rowmend::native {

using bindings::GilReleased;
using bindings::guarded;
using bindings::PyRef;

namespace {

// The run and the batches it makes: the run refers to the batch sink, so
// both live in one heap object that never moves.
struct NativeRun {
    explicit NativeRun(const SalvagerSettings& settings)
        : batches(settings.batches), run(settings.run, settings.tables ? &batches : nullptr) {}
    ArrowBatchSink batches;
    SalvageRun run;
};

// Raises the OSError of a failed write: the class that matches its errno.
void raise_write_error(const IoError& error) {
    if (error.is_os_error()) {
        PyRef args(Py_BuildValue("(is)", error.os_code(), std::strerror(error.os_code())));
        if (args)
            PyErr_SetObject(PyExc_OSError, args.get());
        return;
    }
    PyErr_SetString(PyExc_OSError, error.text().c_str());
}

struct PySalvager {
    PyObject_HEAD NativeRun* native;
    // Set while a call works on `run` with the GIL released: a second thread
    // must not touch the run meanwhile.
    bool busy;
};

PySalvager* as_salvager(PyObject* self) {
    return reinterpret_cast<PySalvager*>(self);
}

// Claims the run for one call; false with RuntimeError set if another
// thread holds it.
bool claim(PySalvager* self) {
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "Salvager is in use by another thread");
        return false;
    }
    return true;
}

class Busy {
  public:
    explicit Busy(PySalvager* self) noexcept : self_(self) { self_->busy = true; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    ~Busy() { self_->busy = false; }

  private:
    PySalvager* self_;
};

// ---- methods -------------------------------------------------------------

// The exported buffer of a bytes-like object, released on every way out.
class BufferView {
  public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* salvager_feed(PyObject* self_object, PyObject* data) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        BufferView view;
        if (!view.acquire(data) || !claim(self))
            return nullptr;
        if (self->native->run.finished()) {
            PyErr_SetString(PyExc_ValueError, "feed() after finish()");
            return nullptr;
        }
        bool going = true;
        {
            Busy busy(self);
            GilReleased gil;
            going = self->native->run.feed(view.data(), view.size());
        }
        if (!going) {
            if (const std::optional<IoError> failure = self->native->run.failure()) {
                raise_write_error(*failure);
                return nullptr;
            }
        }
        Py_RETURN_NONE;
    });
}

PyObject* salvager_finish(PyObject* self_object, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        std::optional<IoError> failure;
        if (!self->native->run.finished()) {
            Busy busy(self);
            GilReleased gil;
            failure = self->native->run.finish();
            self->native->batches.finish();
        }
        if (failure) {
            raise_write_error(*failure);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// Writes what a finished run spooled to the file descriptor `fd_object`
// with `write(fd)`, the GIL released; `missing` is the error when the run
// was not made to spool it (`spooled` false).
template <typename Write>
PyObject* write_spooled(PyObject* self_object, PyObject* fd_object,
                        bool (*spooled)(const SalvageRun&), const char* missing, Write write) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        const int fd = PyObject_AsFileDescriptor(fd_object);
        if (fd < 0)
            return nullptr;
        if (!self->native->run.finished() || !spooled(self->native->run)) {
            PyErr_SetString(PyExc_ValueError, missing);
            return nullptr;
        }
        std::optional<IoError> failure;
        {
            Busy busy(self);
            GilReleased gil;
            failure = write(self->native->run, fd);
        }
        if (failure) {
            raise_write_error(*failure);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* salvager_write_quarantine(PyObject* self_object, PyObject* fd_object) {
    return write_spooled(
        self_object, fd_object, [](const SalvageRun& run) { return run.spools_quarantine(); },
        "write_quarantine() needs a finished run made with quarantine_dir",
        [](SalvageRun& run, int fd) { return run.write_quarantine(fd, kWriteBuffer); });
}

PyObject* salvager_write_set_aside(PyObject* self_object, PyObject* fd_object) {
    return write_spooled(
        self_object, fd_object, [](const SalvageRun& run) { return run.spools_set_aside(); },
        "write_set_aside() needs a finished run made with set_aside_dir",
        [](SalvageRun& run, int fd) { return run.write_set_aside(fd, kWriteBuffer); });
}

bool text_list(PyObject* names, std::vector<std::string>& out) {
    PyRef items(PySequence_Fast(names, "names must be a sequence of str"));
    if (!items)
        return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (text == nullptr)
            return false;
        // Arrow's C interface carries a name as a C string: a NUL would cut it.
        if (std::memchr(text, 0, static_cast<std::size_t>(size)) != nullptr) {
            PyErr_SetString(PyExc_ValueError, "a column name cannot hold a NUL character");
            return false;
        }
        out.emplace_back(text, static_cast<std::size_t>(size));
    }
    return true;
}

PyObject* salvager_take_batches(PyObject* self_object, PyObject* names_object) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        ArrowBatchSink& sink = self->native->batches;
        auto names = std::make_shared<std::vector<std::string>>();
        if (!text_list(names_object, *names))
            return nullptr;
        std::vector<std::shared_ptr<const ArrowBatch>> batches = sink.take_batches();
        PyRef list(PyList_New(0));
        if (!list)
            return nullptr;
        for (std::size_t i = 0; i < batches.size(); ++i) {
            const ArrowBatch& batch = *batches[i];
            const std::size_t expected = batch.columns.size() + (batch.with_lines ? 1 : 0);
            if (names->size() != expected) {
                PyErr_Format(PyExc_ValueError, "names must hold %zu names, not %zu", expected,
                             names->size());
                return nullptr;
            }
            PyRef item(new_arrow_batch(batches[i], names));
            if (!item || PyList_Append(list.get(), item.get()) < 0)
                return nullptr;
        }
        return list.release();
    });
}

PyMethodDef salvager_methods[] = {
    {"feed", salvager_feed, METH_O,
     "feed($self, data, /)\n--\n\n"
     "Salvage the next chunk of input (any bytes-like object) in the run's encoding,\n"
     "without the GIL."},
    {"finish", salvager_finish, METH_NOARGS,
     "finish($self, /)\n--\n\nEnd the input: the last rows and the last batch complete."},
    {"write_quarantine", salvager_write_quarantine, METH_O,
     "write_quarantine($self, fd, /)\n--\n\n"
     "Write the quarantine file (header and every set-aside row) to the descriptor fd."},
    {"write_set_aside", salvager_write_set_aside, METH_O,
     "write_set_aside($self, fd, /)\n--\n\n"
     "Write every row set aside as not part of the table, blank ones aside, to the\n"
     "descriptor fd as CSV: header line,kind,raw_content."},
    {"take_batches", salvager_take_batches, METH_O,
     "take_batches($self, names, /)\n--\n\n"
     "The batches completed since the last call, their columns named `names`\n"
     "(the table's columns, then the line column when there is one)."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- properties ------------------------------------------------------------

template <class Get> PyObject* read_sink(PyObject* self_object, Get get) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return get(self->native->run.report());
    });
}

PyObject* get_delimiter(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        if (!sink.settled())
            Py_RETURN_NONE;
        const std::string_view separator = sink.separator();
        return PyUnicode_FromStringAndSize(separator.data(),
                                           static_cast<Py_ssize_t>(separator.size()));
    });
}

PyObject* get_quote_char(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        if (!sink.settled())
            Py_RETURN_NONE;
        const char quote = static_cast<char>(sink.quote());
        return PyUnicode_FromStringAndSize(&quote, 1);
    });
}

PyObject* get_escape_char(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        if (!sink.settled() || sink.escape() == 0)
            Py_RETURN_NONE;
        const char escape = static_cast<char>(sink.escape());
        return PyUnicode_FromStringAndSize(&escape, 1);
    });
}

PyObject* get_preamble_rows(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        if (!sink.settled())
            Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(sink.preamble_rows());
    });
}

template <class Get> PyObject* read_pass(PyObject* self_object, Get get) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return get(self->native->run.pass());
    });
}

PyObject* get_range_unsure(PyObject* self, void*) {
    return read_pass(self,
                     [](const SalvagePass& pass) { return PyBool_FromLong(pass.range_unsure()); });
}

PyObject* get_settled_columns(PyObject* self, void*) {
    return read_pass(self, [](const SalvagePass& pass) -> PyObject* {
        if (!pass.settled())
            Py_RETURN_NONE;
        const RangeRead::Columns columns = pass.settled_columns();
        std::string kinds, values;
        for (const CellKind kind : columns.kinds)
            kinds.push_back(static_cast<char>(kind));
        for (const bool value : columns.values)
            values.push_back(value ? '\1' : '\0');
        const std::string profiles = encode_profiles(columns.profiles);
        return Py_BuildValue("(y#y#y#y#)", kinds.data(), static_cast<Py_ssize_t>(kinds.size()),
                             values.data(), static_cast<Py_ssize_t>(values.size()),
                             columns.header_text.data(),
                             static_cast<Py_ssize_t>(columns.header_text.size()), profiles.data(),
                             static_cast<Py_ssize_t>(profiles.size()));
    });
}

PyObject* get_parsed_rows(PyObject* self, void*) {
    return read_pass(self, [](const SalvagePass& pass) {
        return PyLong_FromUnsignedLongLong(pass.parsed_rows());
    });
}

PyObject* get_columns(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) { return PyLong_FromSize_t(sink.width()); });
}

PyObject* get_ready(PyObject* self_object, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return PyLong_FromSize_t(self->native->batches.ready());
    });
}

PyObject* get_layout_columns(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) {
        return PyLong_FromUnsignedLongLong(sink.layout_columns());
    });
}

PyObject* get_header(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        if (!sink.header())
            Py_RETURN_NONE;
        const std::vector<std::string>& fields = *sink.header();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
        if (!list)
            return nullptr;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            // Fields are valid UTF-8: the pass replaced what was not.
            PyObject* text = PyUnicode_FromStringAndSize(fields[i].data(),
                                                         static_cast<Py_ssize_t>(fields[i].size()));
            if (text == nullptr)
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text); // steals `text`
        }
        return list.release();
    });
}

PyObject* get_header_rows(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) {
        return PyLong_FromUnsignedLongLong(sink.header_rows());
    });
}

PyObject* get_notes(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        const auto& notes = sink.notes();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(notes.size())));
        if (!list)
            return nullptr;
        for (std::size_t i = 0; i < notes.size(); ++i) {
            PyObject* pair = Py_BuildValue(
                "(s#s#)", notes[i].first.data(), static_cast<Py_ssize_t>(notes[i].first.size()),
                notes[i].second.data(), static_cast<Py_ssize_t>(notes[i].second.size()));
            if (pair == nullptr)
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair); // steals `pair`
        }
        return list.release();
    });
}

template <std::uint64_t RowCounts::*Counter> PyObject* get_counter(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) {
        return PyLong_FromUnsignedLongLong(sink.counts().*Counter);
    });
}

PyObject* get_replaced_bytes(PyObject* self_object, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return PyLong_FromUnsignedLongLong(self->native->run.transcoder().replaced_bytes());
    });
}

PyObject* get_repairs(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        const std::vector<RepairedRow>& rows = sink.repairs();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        if (!list)
            return nullptr;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const RepairedRow& row = rows[i];
            PyRef fields(PyList_New(static_cast<Py_ssize_t>(row.fields.size())));
            if (!fields)
                return nullptr;
            for (std::size_t f = 0; f < row.fields.size(); ++f) {
                // Kept fields are valid UTF-8: the pass replaced what was not.
                PyObject* text = PyUnicode_FromStringAndSize(
                    row.fields[f].data(), static_cast<Py_ssize_t>(row.fields[f].size()));
                if (text == nullptr)
                    return nullptr;
                PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(f), text); // steals `text`
            }
            const std::string_view action = row_action_name(row.action);
            // The placement is the pass's own words, ASCII.
            PyObject* record = Py_BuildValue(
                "(Ks#y#Os#)", static_cast<unsigned long long>(row.line), action.data(),
                static_cast<Py_ssize_t>(action.size()), row.text.data(),
                static_cast<Py_ssize_t>(row.text.size()), fields.get(), row.placement.data(),
                static_cast<Py_ssize_t>(row.placement.size()));
            if (record == nullptr)
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record); // steals `record`
        }
        return list.release();
    });
}

PyObject* get_quotes_read_as_text(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        const std::vector<std::uint64_t>& lines = sink.quote_lines();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(lines.size())));
        if (!list)
            return nullptr;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            PyObject* line = PyLong_FromUnsignedLongLong(lines[i]);
            if (line == nullptr)
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), line); // steals `line`
        }
        return Py_BuildValue("(KO)", static_cast<unsigned long long>(sink.quotes_read_as_text()),
                             list.get());
    });
}

PyObject* get_line_histogram(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        const LineHistogram& histogram = sink.histogram();
        PyRef counts(PyDict_New());
        if (!counts)
            return nullptr;
        for (std::size_t a = 0; a < kRowActions; ++a) {
            const auto action = static_cast<RowAction>(a);
            const LineHistogram::Counts& bins = histogram.counts(action);
            PyRef list(PyList_New(static_cast<Py_ssize_t>(bins.size())));
            if (!list)
                return nullptr;
            for (std::size_t b = 0; b < bins.size(); ++b) {
                PyObject* count = PyLong_FromUnsignedLongLong(bins[b]);
                if (count == nullptr)
                    return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(b), count); // steals `count`
            }
            const std::string_view name = row_action_name(action);
            PyRef key(
                PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            if (!key || PyDict_SetItem(counts.get(), key.get(), list.get()) < 0)
                return nullptr;
        }
        return Py_BuildValue("(KKO)", static_cast<unsigned long long>(histogram.bin_lines()),
                             static_cast<unsigned long long>(histogram.last_line()), counts.get());
    });
}

PyObject* get_fallback_bytes(PyObject* self_object, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return PyLong_FromUnsignedLongLong(self->native->run.transcoder().fallback_bytes());
    });
}

PyObject* get_c1_mapped(PyObject* self_object, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return PyLong_FromUnsignedLongLong(self->native->run.transcoder().c1_mapped());
    });
}

PyObject* get_quarantine(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        const std::vector<QuarantinedRow>& rows = sink.quarantine();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        if (!list)
            return nullptr;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const QuarantinedRow& row = rows[i];
            const std::string reason =
                field_count_reason(row.fate, sink.layout_columns(), row.fields);
            PyObject* record =
                Py_BuildValue("(Ks#y#)", static_cast<unsigned long long>(row.line), reason.data(),
                              static_cast<Py_ssize_t>(reason.size()), row.text.data(),
                              static_cast<Py_ssize_t>(row.text.size()));
            if (record == nullptr)
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record); // steals `record`
        }
        return list.release();
    });
}

PyObject* get_skipped(PyObject* self, void*) {
    return read_sink(self, [](const ReportSink& sink) -> PyObject* {
        PyRef counts(PyDict_New());
        if (!counts)
            return nullptr;
        for (std::size_t k = 0; k < kSkipKinds; ++k) {
            const std::string_view name = skip_kind_name(static_cast<SkipKind>(k));
            PyRef key(
                PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            PyRef count(PyLong_FromUnsignedLongLong(sink.counts().skipped_by_kind[k]));
            if (!key || !count || PyDict_SetItem(counts.get(), key.get(), count.get()) < 0)
                return nullptr;
        }
        return counts.release();
    });
}

PyGetSetDef salvager_getset[] = {
    {"delimiter", get_delimiter, nullptr,
     "The separator, once settled (', ' when a blank follows every comma); else None.", nullptr},
    {"quote_char", get_quote_char, nullptr, "The quote character, once settled; else None.",
     nullptr},
    {"escape_char", get_escape_char, nullptr,
     "The escape character, once settled, or None when there is none.", nullptr},
    {"columns", get_columns, nullptr, "The table's column count; 0 until known.", nullptr},
    {"preamble_rows", get_preamble_rows, nullptr,
     "The leading rows set aside as the preamble, once settled; else None.", nullptr},
    {"layout_columns", get_layout_columns, nullptr,
     "The column count the pass settled on (0: rows left as parsed).", nullptr},
    {"ready", get_ready, nullptr, "Completed batches not yet taken.", nullptr},
    {"range_unsure", get_range_unsure, nullptr,
     "With range: whether its rows may differ from those of one pass over the\n"
     "whole input (a table's end or another table reaches across its cut).",
     nullptr},
    {"settled_columns", get_settled_columns, nullptr,
     "Once settled, what the layout says of the columns, for range: (kinds,\n"
     "value_columns, header_text, profiles) as bytes; else None.",
     nullptr},
    {"parsed_rows", get_parsed_rows, nullptr,
     "Rows the parser has read, header, set-aside and held ones among them.", nullptr},
    {"header", get_header, nullptr, "The header row's fields, or None.", nullptr},
    {"header_rows", get_header_rows, nullptr,
     "Rows taken as the header's names (in no other counter).", nullptr},
    {"notes", get_notes, nullptr,
     "Detection notes as (code, message): readings considered and not taken,\n"
     "rows set aside on what evidence.",
     nullptr},
    {"total_rows", get_counter<&RowCounts::total_rows>, nullptr, "Data rows read.", nullptr},
    {"salvaged_rows", get_counter<&RowCounts::salvaged_rows>, nullptr,
     "Data rows kept, repaired ones included.", nullptr},
    {"repaired_rows", get_counter<&RowCounts::repaired_rows>, nullptr,
     "Kept data rows that were padded or merged, or had a runaway quote read as text.", nullptr},
    {"quarantined_rows", get_counter<&RowCounts::quarantined_rows>, nullptr, "Data rows set aside.",
     nullptr},
    {"skipped_rows", get_counter<&RowCounts::skipped_rows>, nullptr,
     "Rows set aside as not part of the table.", nullptr},
    {"skipped", get_skipped, nullptr, "Skipped rows per kind, every kind named.", nullptr},
    {"replaced_bytes", get_replaced_bytes, nullptr,
     "Input bytes that stand for no character, replaced by U+FFFD.", nullptr},
    {"repairs", get_repairs, nullptr,
     "With record_repairs, the first max_records rows of each action as\n"
     "(line, action, raw bytes, kept fields): 'filled', 'merged', 'quote repaired',\n"
     "'bytes replaced' or 'quote read as text' rows, and rows set aside as 'blank',\n"
     "'comment', 'preamble' or 'footer' (no fields).",
     nullptr},
    {"quotes_read_as_text", get_quotes_read_as_text, nullptr,
     "Rows, a header row included, in which a quote that opened a runaway field\n"
     "was read as text: (how many, the lines of the first 100).",
     nullptr},
    {"line_histogram", get_line_histogram, nullptr,
     "Where the rows not kept as they stood sit: (lines per bin, last line,\n"
     "{action: counts per bin}), every action named.",
     nullptr},
    {"fallback_bytes", get_fallback_bytes, nullptr,
     "With encoding 'utf-8+cp1252': the bytes that were not UTF-8, read as cp1252.", nullptr},
    {"c1_mapped", get_c1_mapped, nullptr,
     "With encoding 'utf-8+cp1252': the C1 controls read as the cp1252 characters of their "
     "bytes.",
     nullptr},
    {"quarantine", get_quarantine, nullptr,
     "The first max_records set-aside rows as (line, reason, raw bytes).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- slots ---------------------------------------------------------------

PyObject* salvager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        SalvagerSettings settings;
        if (!parse_salvager_arguments(args, kwargs, settings))
            return nullptr;
        auto native = std::make_unique<NativeRun>(settings);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr)
            return nullptr;
        PySalvager* salvager = as_salvager(self);
        salvager->native = native.release();
        salvager->busy = false;
        return self;
    });
}

void salvager_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_salvager(self)->native;
    type->tp_free(self);
    Py_DECREF(type);
}

// What the class's docstring says after its signature, which comes from
// kSalvagerKeywords.
constexpr const char* kSalvagerDoc =
    "The salvage pass over input fed in chunks, its rows collected into\n"
    "Arrow batches of batch_rows rows, a batch ending early at the row that\n"
    "takes its field bytes to batch_bytes. delimiter and quote_char are byte\n"
    "values; with header, the first retained row names the columns;\n"
    "header='auto' names them when the first row reads as names.\n"
    "With output_fd the rows go to a clean CSV file on that descriptor\n"
    "instead of batches, and with quarantine_dir the set-aside rows wait\n"
    "for write_quarantine(). skip_blank_rows sets blank rows aside as\n"
    "skipped rather than data. comment='auto' sets aside '#' lines\n"
    "outside the table's shape; a prefix, every line beginning with it.\n"
    "skip_preamble='auto' sets aside the leading rows narrower than the\n"
    "table; a count, that many leading rows. skip_footer sets aside a\n"
    "trailing run of narrow rows and, as skip_footer='section' alone, the rows\n"
    "after a blank line none of which has the table's width, a second table\n"
    "under its own names, and narrow rows of words over values; a count, that\n"
    "many trailing rows. detect_dialect chooses an absent delimiter\n"
    "among more separators and detects a quote_char or escape_char left\n"
    "as None; quote_char 0 reads quotes as text, escape_char 0 means none. "
    "trim_blank makes the given\n"
    "delimiter a separator with one blank after it, as in ', '. threads bounds\n"
    "the threads the run may use (0: one per CPU); with two or more, the\n"
    "clean file is written by a thread of its own, and rows are read on\n"
    "them all unless an option judges rows by their neighbours (the output\n"
    "is the same). repairs='auto' adds the\n"
    "package's own repairs: a quote that opens a field running on for 64\n"
    "lines or 1 MiB, through lines that read as rows, is read as text.\n"
    "With set_aside_dir, every row set aside as not part of the table but\n"
    "blank ones waits there for write_set_aside(). With batches=False\n"
    "the rows make no batches either: the run only reports.";

PyType_Slot salvager_slots[] = {
    {Py_tp_doc, nullptr}, // set from kSalvagerKeywords when the class is made
    {Py_tp_new, reinterpret_cast<void*>(salvager_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(salvager_dealloc)},
    {Py_tp_methods, salvager_methods},
    {Py_tp_getset, salvager_getset},
    {0, nullptr},
};

PyType_Spec salvager_spec = {
    "rowmend._native.Salvager",
    static_cast<int>(sizeof(PySalvager)),
    0,
    Py_TPFLAGS_DEFAULT,
    salvager_slots,
};

PyTypeObject* salvager_class = nullptr;

} // namespace

PyTypeObject* salvager_type() {
    if (salvager_class == nullptr) {
        // The class copies its docstring when it is made.
        const std::string doc = salvager_signature() + "\n--\n\n" + kSalvagerDoc;
        salvager_slots[0].pfunc = const_cast<char*>(doc.c_str());
        PyObject* created = PyType_FromSpec(&salvager_spec);
        if (created == nullptr)
            return nullptr;
        salvager_class = reinterpret_cast<PyTypeObject*>(created);
    }
    return salvager_class;
}

} // namespace rowmend::native
