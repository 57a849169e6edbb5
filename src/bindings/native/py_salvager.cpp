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
#include "bindings/py_ref.h"
#include "parser/transcode.h"
#include "parser/utf8.h"
#include "salvage/clean_output.h"
#include "salvage/salvage_pass.h"

namespace rowmend::native {

using bindings::GilReleased;
using bindings::guarded;
using bindings::PyRef;

namespace {

// Tells two sinks everything; stops when either does.
class Tee final : public RowSink {
  public:
    Tee(RowSink& first, RowSink* second) noexcept : first_(first), second_(second) {}
    void also(RowSink* second) noexcept { second_ = second; }
    bool begin(const SalvageCounters& layout) override {
        return first_.begin(layout) && (second_ == nullptr || second_->begin(layout));
    }
    bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first) override {
        return first_.plain_rows(lines, rows, first) &&
               (second_ == nullptr || second_->plain_rows(lines, rows, first));
    }
    bool row(const RowEvent& event) override {
        return first_.row(event) && (second_ == nullptr || second_->row(event));
    }
    bool skipped(const SkippedRow& row) override {
        return first_.skipped(row) && (second_ == nullptr || second_->skipped(row));
    }
    bool note(const DetectionNote& note) override {
        return first_.note(note) && (second_ == nullptr || second_->note(note));
    }

  private:
    RowSink& first_;
    RowSink* second_;
};

// Spools the rows set aside as not part of the table, blank ones aside, as
// `line,kind,raw_content` records. Cleaning in place would otherwise drop
// them from the only copy, so every one is kept, not only the first
// max_records: the spool holds 8 MiB and spills the rest to a temporary file.
class SetAsideSpool final : public RowSink {
  public:
    explicit SetAsideSpool(std::string dir) : spool_(std::move(dir)) {}
    bool plain_rows(std::string_view, std::size_t, std::uint64_t) override { return true; }
    bool row(const RowEvent&) override { return true; }
    bool skipped(const SkippedRow& row) override {
        if (row.kind == SkipKind::Blank)
            return true;
        text_.clear();
        line_.clear();
        utf8::append_lossy(text_, row.text);
        append_quarantine_text_line(line_, row.line, skip_kind_name(row.kind), text_);
        error_ = spool_.add(line_);
        // One huge row must not keep its buffers for the rest of the run.
        if (line_.capacity() > kKeepCapacity) {
            std::string().swap(line_);
            std::string().swap(text_);
        }
        return !error_;
    }
    const std::optional<IoError>& error() const noexcept { return error_; }
    // Writes the header and every spooled record to `fd`.
    std::optional<IoError> write(int fd, std::size_t buffer_bytes) {
        BufferedWriter writer(fd, buffer_bytes);
        if (auto failure = writer.write("line,kind,raw_content\n"))
            return failure;
        if (auto failure = spool_.replay(writer))
            return failure;
        return writer.flush();
    }

  private:
    static constexpr std::size_t kKeepCapacity = 1U << 20;
    QuarantineSpool spool_;
    std::string text_;
    std::string line_;
    std::optional<IoError> error_;
};

// The package's output files are written a mebibyte at a time: 128 times fewer
// write calls than 8 KiB pieces, and about 40% less system time (200 MB file).
constexpr std::size_t kWriteBuffer = 1U << 20;

// Where a run writes a clean file (fd -1: none, only the quarantine spool).
struct CleanTarget {
    int fd;
    CleanOutputFormat format;
    std::optional<std::string> quarantine_dir; // spool quarantined rows here
};

// The pass refers to its sinks, so all live in one heap object that never
// moves. Input is decoded to UTF-8 straight into the pass's window.
struct Run {
    Run(const SalvageOptions& options, const ArrowSinkOptions& sink_options,
        SourceEncoding encoding, const std::optional<CleanTarget>& target,
        const std::optional<std::string>& set_aside_dir)
        : transcoder(encoding), sink(sink_options), tee(sink, nullptr), all(tee, nullptr),
          pass(options, all) {
        if (set_aside_dir) {
            set_aside.emplace(*set_aside_dir);
            all.also(&*set_aside);
        }
        if (target) {
            if (target->quarantine_dir)
                spool.emplace(*target->quarantine_dir);
            clean.emplace(target->format, spool ? &*spool : nullptr);
            if (target->fd >= 0)
                clean->attach(target->fd, write_mode(target->fd, options));
            tee.also(&*clean);
        }
    }
    Transcoder transcoder;
    ArrowSink sink;
    std::optional<QuarantineSpool> spool;
    std::optional<CleanFileSink> clean;
    Tee tee;
    std::optional<SetAsideSpool> set_aside;
    Tee all; // tee and the set-aside spool
    SalvagePass pass;

    // Why the pass stopped: a failed write of the clean file or the spools.
    std::optional<IoError> failure() const {
        if (clean && clean->error())
            return clean->error();
        if (set_aside && set_aside->error())
            return set_aside->error();
        return std::nullopt;
    }
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
    PyObject_HEAD Run* run;
    // Set while a call works on `run` with the GIL released: a second thread
    // must not touch the run meanwhile.
    bool busy;
    bool finished;
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

// The encodings decoded here; the package decodes others in Python first.
std::optional<SourceEncoding> encoding_named(std::string_view name) {
    if (name == "utf-8")
        return SourceEncoding::Utf8;
    if (name == "utf-8+cp1252")
        return SourceEncoding::Utf8OrCp1252;
    if (name == "latin-1" || name == "iso8859-1")
        return SourceEncoding::Latin1;
    if (name == "cp1252")
        return SourceEncoding::Cp1252;
    if (name == "utf-16-le")
        return SourceEncoding::Utf16Le;
    if (name == "utf-16-be")
        return SourceEncoding::Utf16Be;
    return std::nullopt;
}

bool byte_option(PyObject* value, const char* name, std::optional<std::uint8_t>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    const long byte = PyLong_AsLong(value);
    if (byte == -1 && PyErr_Occurred())
        return false;
    if (byte <= 0 || byte >= 0x80 || byte == '\n' || byte == '\r') {
        PyErr_Format(PyExc_ValueError, "%s must be an ASCII byte other than NUL, CR and LF", name);
        return false;
    }
    out = static_cast<std::uint8_t>(byte);
    return true;
}

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
        if (self->finished) {
            PyErr_SetString(PyExc_ValueError, "feed() after finish()");
            return nullptr;
        }
        bool going = true;
        {
            Busy busy(self);
            GilReleased gil;
            Run& run = *self->run;
            char* room = run.pass.window_space(Transcoder::max_output(view.size()));
            going = run.pass.commit(run.transcoder.feed(view.data(), view.size(), room));
        }
        if (!going) {
            if (const std::optional<IoError> failure = self->run->failure()) {
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
        if (!self->finished) {
            self->finished = true;
            Busy busy(self);
            GilReleased gil;
            Run& run = *self->run;
            char* room = run.pass.window_space(Transcoder::max_output(0));
            run.pass.commit(run.transcoder.finish(room));
            run.pass.finish();
            run.sink.finish();
            failure = run.failure();
            if (!failure && run.clean)
                failure = run.clean->flush();
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
PyObject* write_spooled(PyObject* self_object, PyObject* fd_object, bool (*spooled)(const Run&),
                        const char* missing, Write write) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        const int fd = PyObject_AsFileDescriptor(fd_object);
        if (fd < 0)
            return nullptr;
        if (!self->finished || !spooled(*self->run)) {
            PyErr_SetString(PyExc_ValueError, missing);
            return nullptr;
        }
        std::optional<IoError> failure;
        {
            Busy busy(self);
            GilReleased gil;
            failure = write(*self->run, fd);
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
        self_object, fd_object, [](const Run& run) { return run.spool.has_value(); },
        "write_quarantine() needs a finished run made with quarantine_dir",
        [](Run& run, int fd) { return write_quarantine_file(fd, *run.spool, kWriteBuffer); });
}

PyObject* salvager_write_set_aside(PyObject* self_object, PyObject* fd_object) {
    return write_spooled(
        self_object, fd_object, [](const Run& run) { return run.set_aside.has_value(); },
        "write_set_aside() needs a finished run made with set_aside_dir",
        [](Run& run, int fd) { return run.set_aside->write(fd, kWriteBuffer); });
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
        ArrowSink& sink = self->run->sink;
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
        return get(self->run->sink);
    });
}

PyObject* get_delimiter(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
        if (!sink.settled())
            Py_RETURN_NONE;
        const std::string_view separator = sink.separator();
        return PyUnicode_FromStringAndSize(separator.data(),
                                           static_cast<Py_ssize_t>(separator.size()));
    });
}

PyObject* get_quote_char(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
        if (!sink.settled())
            Py_RETURN_NONE;
        const char quote = static_cast<char>(sink.quote());
        return PyUnicode_FromStringAndSize(&quote, 1);
    });
}

PyObject* get_escape_char(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
        if (!sink.settled() || sink.escape() == 0)
            Py_RETURN_NONE;
        const char escape = static_cast<char>(sink.escape());
        return PyUnicode_FromStringAndSize(&escape, 1);
    });
}

PyObject* get_preamble_rows(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
        if (!sink.settled())
            Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(sink.preamble_rows());
    });
}

PyObject* get_columns(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) { return PyLong_FromSize_t(sink.width()); });
}

PyObject* get_ready(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) { return PyLong_FromSize_t(sink.ready()); });
}

PyObject* get_layout_columns(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) {
        return PyLong_FromUnsignedLongLong(sink.layout_columns());
    });
}

PyObject* get_header(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
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
    return read_sink(self, [](const ArrowSink& sink) {
        return PyLong_FromUnsignedLongLong(sink.header_rows());
    });
}

PyObject* get_notes(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
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

template <std::uint64_t DataCounters::*Counter> PyObject* get_counter(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) {
        return PyLong_FromUnsignedLongLong(sink.counters().*Counter);
    });
}

PyObject* get_replaced_bytes(PyObject* self_object, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return PyLong_FromUnsignedLongLong(self->run->transcoder.replaced_bytes());
    });
}

PyObject* get_repairs(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
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
            PyObject* record =
                Py_BuildValue("(Ks#y#O)", static_cast<unsigned long long>(row.line), action.data(),
                              static_cast<Py_ssize_t>(action.size()), row.text.data(),
                              static_cast<Py_ssize_t>(row.text.size()), fields.get());
            if (record == nullptr)
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record); // steals `record`
        }
        return list.release();
    });
}

PyObject* get_quotes_read_as_text(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
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
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
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
        return PyLong_FromUnsignedLongLong(self->run->transcoder.fallback_bytes());
    });
}

PyObject* get_c1_mapped(PyObject* self_object, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvager* self = as_salvager(self_object);
        if (!claim(self))
            return nullptr;
        return PyLong_FromUnsignedLongLong(self->run->transcoder.c1_mapped());
    });
}

PyObject* get_quarantine(PyObject* self, void*) {
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
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
    return read_sink(self, [](const ArrowSink& sink) -> PyObject* {
        PyRef counts(PyDict_New());
        if (!counts)
            return nullptr;
        for (std::size_t k = 0; k < kSkipKinds; ++k) {
            const std::string_view name = skip_kind_name(static_cast<SkipKind>(k));
            PyRef key(
                PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            PyRef count(PyLong_FromUnsignedLongLong(sink.counters().skipped_by_kind[k]));
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
    {"header", get_header, nullptr, "The header row's fields, or None.", nullptr},
    {"header_rows", get_header_rows, nullptr,
     "Rows taken as the header's names (in no other counter).", nullptr},
    {"notes", get_notes, nullptr,
     "Detection notes as (code, message): readings considered and not taken,\n"
     "rows set aside on what evidence.",
     nullptr},
    {"total_rows", get_counter<&DataCounters::total_rows>, nullptr, "Data rows read.", nullptr},
    {"salvaged_rows", get_counter<&DataCounters::salvaged_rows>, nullptr,
     "Data rows kept, repaired ones included.", nullptr},
    {"repaired_rows", get_counter<&DataCounters::repaired_rows>, nullptr,
     "Kept data rows that were padded or merged, or had a runaway quote read as text.", nullptr},
    {"quarantined_rows", get_counter<&DataCounters::quarantined_rows>, nullptr,
     "Data rows set aside.", nullptr},
    {"skipped_rows", get_counter<&DataCounters::skipped_rows>, nullptr,
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
        static const char* keywords[] = {
            "delimiter",        "quote_char",     "fill_ragged_rows", "merge_overflow",
            "expected_columns", "repair_quotes",  "batch_rows",       "header",
            "line_numbers",     "max_records",    "encoding",         "output_fd",
            "output_delimiter", "quarantine_dir", "skip_blank_rows",  "record_repairs",
            "comment",          "skip_preamble",  "skip_footer",      "detect_dialect",
            "escape_char",      "trim_blank",     "threads",          "repairs",
            "set_aside_dir", // the package keeps every row set aside
            "batch_bytes",      nullptr,
        };
        PyObject* delimiter = Py_None;
        PyObject* quote_char = nullptr;
        int fill = 1, merge = 1, repair = 1, line_numbers = 0, skip_blank = 0, record_repairs = 0;
        PyObject* header = Py_True;
        PyObject* expected = Py_None;
        Py_ssize_t batch_rows = 65536;
        Py_ssize_t max_records = 10000;
        const char* encoding_name = "utf-8";
        PyObject* output_fd = Py_None;
        PyObject* output_delimiter = Py_None;
        PyObject* quarantine_dir = Py_None;
        PyObject* comment = Py_None;
        PyObject* skip_preamble = nullptr;
        PyObject* skip_footer = Py_False;
        int detect_dialect = 0, trim_blank = 0;
        PyObject* escape_char = Py_None;
        unsigned int threads = 1;
        const char* repairs = "backend";
        PyObject* set_aside_dir = Py_None;
        Py_ssize_t batch_bytes = static_cast<Py_ssize_t>(ArrowSinkOptions{}.batch_bytes);
        if (!PyArg_ParseTupleAndKeywords(
                args, kwargs, "|$OOppOpnOpnsOOOppOOOpOpIsOn:Salvager", const_cast<char**>(keywords),
                &delimiter, &quote_char, &fill, &merge, &expected, &repair, &batch_rows, &header,
                &line_numbers, &max_records, &encoding_name, &output_fd, &output_delimiter,
                &quarantine_dir, &skip_blank, &record_repairs, &comment, &skip_preamble,
                &skip_footer, &detect_dialect, &escape_char, &trim_blank, &threads, &repairs,
                &set_aside_dir, &batch_bytes))
            return nullptr;
        // 'auto': the package's own repairs too; 'backend': the backend's only.
        const std::string_view repairs_word(repairs);
        if (repairs_word != "auto" && repairs_word != "backend") {
            PyErr_SetString(PyExc_ValueError, "repairs must be 'auto' or 'backend'");
            return nullptr;
        }
        std::optional<SourceEncoding> encoding = encoding_named(encoding_name);
        if (!encoding) {
            PyErr_Format(PyExc_ValueError, "encoding %s is not decoded natively", encoding_name);
            return nullptr;
        }

        SalvageOptions options;
        if (!byte_option(delimiter, "delimiter", options.delimiter))
            return nullptr;
        std::optional<std::uint8_t> quote;
        int quote_overflow = 0;
        // A quote_char of 0 turns quoting off: quotes are text; the clean
        // file still quotes with the double quote.
        const bool no_quote = quote_char != nullptr && PyLong_CheckExact(quote_char) &&
                              PyLong_AsLongAndOverflow(quote_char, &quote_overflow) == 0 &&
                              quote_overflow == 0;
        if (quote_char != nullptr && !no_quote && !byte_option(quote_char, "quote_char", quote))
            return nullptr;
        options.quote_char = quote.value_or('"');
        options.quoting = !no_quote;
        // With detect_dialect, a quote or escape left as None is detected.
        options.detect_dialect = detect_dialect != 0;
        options.detect_quote = options.detect_dialect && !quote && !no_quote;
        std::optional<std::uint8_t> escape;
        int overflow = 0;
        const bool no_escape = PyLong_CheckExact(escape_char) &&
                               PyLong_AsLongAndOverflow(escape_char, &overflow) == 0 &&
                               overflow == 0;
        if (!no_escape && !byte_option(escape_char, "escape_char", escape))
            return nullptr;
        options.detect_escape = options.detect_dialect && escape_char == Py_None;
        options.drop_trailing_column = options.detect_dialect;
        options.escape_char = escape.value_or(0);
        options.trim_after_delimiter = trim_blank != 0 && options.delimiter.has_value();
        options.fill_ragged_rows = fill != 0;
        options.merge_overflow = merge != 0;
        options.repair_quotes = repair != 0;
        if (repairs_word == "auto")
            options.runaway_quotes = RunawayQuoteRule{};
        options.skip_blank_rows = skip_blank != 0;
        options.threads = threads;
        if (comment != Py_None) {
            Py_ssize_t size = 0;
            const char* prefix =
                PyUnicode_Check(comment) ? PyUnicode_AsUTF8AndSize(comment, &size) : nullptr;
            if (prefix == nullptr || size == 0) {
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_ValueError,
                                    "comment must be 'auto', a non-empty prefix or None");
                return nullptr;
            }
            if (std::string_view(prefix, static_cast<std::size_t>(size)) == "auto")
                options.detect_comments = true;
            else
                options.comment_prefix.assign(prefix, static_cast<std::size_t>(size));
        }
        if (expected != Py_None) {
            const long long columns = PyLong_AsLongLong(expected);
            if (columns == -1 && PyErr_Occurred())
                return nullptr;
            // A table has a fixed width; a clean file may keep rows as parsed.
            if (columns < 0 || (columns == 0 && output_fd == Py_None)) {
                PyErr_SetString(PyExc_ValueError,
                                "expected_columns must be at least 1: a table has a fixed width");
                return nullptr;
            }
            options.expected_columns = static_cast<std::uint64_t>(columns);
        }
        if (batch_rows < 1 || batch_bytes < 1 || max_records < 0) {
            PyErr_SetString(PyExc_ValueError, "batch_rows and batch_bytes must be at least 1 and "
                                              "max_records at least 0");
            return nullptr;
        }
        if (skip_preamble != nullptr && PyUnicode_Check(skip_preamble) &&
            PyUnicode_CompareWithASCIIString(skip_preamble, "auto") == 0) {
            options.detect_preamble = true;
        } else if (skip_preamble != nullptr) {
            const Py_ssize_t rows =
                PyLong_Check(skip_preamble) ? PyLong_AsSsize_t(skip_preamble) : -1;
            if (rows == -1 && PyErr_Occurred())
                return nullptr;
            if (rows < 0) {
                PyErr_SetString(PyExc_ValueError,
                                "skip_preamble must be 'auto' or a line count of at least 0");
                return nullptr;
            }
            options.skip_preamble_rows = static_cast<std::size_t>(rows);
        }
        if (PyLong_Check(skip_footer) && !PyBool_Check(skip_footer)) {
            // A count: the last that many rows, held back until the end.
            const Py_ssize_t rows = PyLong_AsSsize_t(skip_footer);
            if (rows == -1 && PyErr_Occurred())
                return nullptr;
            if (rows < 0) {
                PyErr_SetString(PyExc_ValueError,
                                "skip_footer must be 'auto', 'section', False or a row count");
                return nullptr;
            }
            options.footer_rows = static_cast<std::size_t>(rows);
        } else if (PyUnicode_Check(skip_footer)) {
            // 'section': only a trailing section after a blank line; 'auto':
            // that and a trailing run of narrow rows.
            const bool section = PyUnicode_CompareWithASCIIString(skip_footer, "section") == 0;
            if (!section && PyUnicode_CompareWithASCIIString(skip_footer, "auto") != 0) {
                PyErr_SetString(PyExc_ValueError, "skip_footer must be 'auto', 'section' or False");
                return nullptr;
            }
            options.detect_footer = !section;
            options.detect_trailing_section = true;
            options.detect_totals = true;
        } else {
            const int footer = PyObject_IsTrue(skip_footer);
            if (footer < 0)
                return nullptr;
            options.detect_footer = footer != 0;
            options.detect_totals = footer != 0;
        }
        ArrowSinkOptions sink_options;
        sink_options.batch_rows = static_cast<std::size_t>(batch_rows);
        sink_options.batch_bytes = static_cast<std::size_t>(batch_bytes);
        if (PyUnicode_Check(header) && PyUnicode_CompareWithASCIIString(header, "auto") == 0) {
            options.detect_header = true;
            sink_options.header = false;
            sink_options.detected_header = true;
        } else {
            const int named = PyObject_IsTrue(header);
            if (named < 0)
                return nullptr;
            sink_options.header = named != 0;
        }
        sink_options.line_numbers = line_numbers != 0;
        sink_options.max_records = static_cast<std::size_t>(max_records);
        sink_options.record_repairs = record_repairs != 0;

        std::optional<CleanTarget> target;
        if (output_fd != Py_None || quarantine_dir != Py_None) {
            const int fd = output_fd == Py_None ? -1 : PyObject_AsFileDescriptor(output_fd);
            if (fd < 0 && output_fd != Py_None)
                return nullptr;
            CleanTarget clean{fd, {}, std::nullopt};
            clean.format.quote = options.quote_char;
            clean.format.quarantine_text = QuarantineText::InputText;
            clean.format.buffer_bytes = kWriteBuffer;
            if (!byte_option(output_delimiter, "output_delimiter", clean.format.delimiter))
                return nullptr;
            if (quarantine_dir != Py_None) {
                PyObject* bytes = nullptr;
                if (!PyUnicode_FSConverter(quarantine_dir, &bytes))
                    return nullptr;
                PyRef encoded(bytes);
                clean.quarantine_dir =
                    std::string(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
            }
            // Rows written to a clean file make no batches.
            sink_options.tables = fd < 0;
            target = std::move(clean);
        }

        std::optional<std::string> set_aside;
        if (set_aside_dir != Py_None) {
            PyObject* bytes = nullptr;
            if (!PyUnicode_FSConverter(set_aside_dir, &bytes))
                return nullptr;
            PyRef encoded(bytes);
            set_aside.emplace(PyBytes_AS_STRING(encoded.get()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        }

        auto run = std::make_unique<Run>(options, sink_options, *encoding, target, set_aside);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr)
            return nullptr;
        PySalvager* salvager = as_salvager(self);
        salvager->run = run.release();
        salvager->busy = false;
        salvager->finished = false;
        return self;
    });
}

void salvager_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_salvager(self)->run;
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot salvager_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Salvager(*, delimiter=None, quote_char=34, fill_ragged_rows=True, "
                       "merge_overflow=True, expected_columns=None, repair_quotes=True, "
                       "batch_rows=65536, header=True, line_numbers=False, max_records=10000, "
                       "encoding='utf-8', output_fd=None, output_delimiter=None, "
                       "quarantine_dir=None, skip_blank_rows=False, record_repairs=False, "
                       "comment=None, skip_preamble=0, skip_footer=False, detect_dialect=False, "
                       "escape_char=None, trim_blank=False, threads=1, repairs='backend', "
                       "set_aside_dir=None, batch_bytes=67108864)\n"
                       "--\n\n"
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
                       "clean file is written by a thread of its own. repairs='auto' adds the\n"
                       "package's own repairs: a quote that opens a field running on for 64\n"
                       "lines or 1 MiB, through lines that read as rows, is read as text.\n"
                       "With set_aside_dir, every row set aside as not part of the table but\n"
                       "blank ones waits there for write_set_aside().")},
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
        PyObject* created = PyType_FromSpec(&salvager_spec);
        if (created == nullptr)
            return nullptr;
        salvager_class = reinterpret_cast<PyTypeObject*>(created);
    }
    return salvager_class;
}

} // namespace rowmend::native
