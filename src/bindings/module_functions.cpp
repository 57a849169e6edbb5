#include "bindings/module_functions.h"

#include <optional>
#include <string>
#include <string_view>

#include "bindings/arg_binder.h"
#include "bindings/conversions.h"
#include "bindings/docstrings.h"
#include "bindings/gil.h"
#include "bindings/guarded_call.h"
#include "bindings/io_exceptions.h"
#include "bindings/py_ref.h"
#include "bindings/py_salvage_reader.h"
#include "bindings/py_salvage_summary.h"
#include "heuristics/delimiter_sniffer.h"
#include "salvage/byte_text.h"
#include "salvage/file_salvage.h"

namespace rowmend::bindings {

namespace {

constexpr const char* kSalvageFileParameters[] = {
    "input_path",       "output_path",    "quarantine_path",  "delimiter",     "quote_char",
    "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
};
static_assert(lists_options(kSalvageFileParameters, 3));
constexpr Signature kSalvageFileSignature{"salvage_file()", kSalvageFileParameters, 2};

constexpr const char* kSniffParameters[] = {"sample"};
constexpr Signature kSniffSignature{"sniff()", kSniffParameters, 1};

PyObject* module_salvage_file(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[9];
        if (!bind_arguments(kSalvageFileSignature, args, kwargs, bound))
            return nullptr;
        std::string_view input_path;
        if (!convert_text(bound[0], kSalvageFileParameters[0], input_path))
            return nullptr;
        std::string_view output_path;
        if (!convert_text(bound[1], kSalvageFileParameters[1], output_path))
            return nullptr;
        std::optional<std::string_view> quarantine_path;
        if (!convert_optional_text(bound[2], kSalvageFileParameters[2], quarantine_path))
            return nullptr;
        SalvageOptions options;
        if (!convert_salvage_options(std::span<PyObject* const, 6>(bound + 3, 6), options))
            return nullptr;

        std::optional<std::string> quarantine;
        if (quarantine_path)
            quarantine.emplace(*quarantine_path);
        const std::string input(input_path), output(output_path);
        Result<SalvageStats, SalvageError> result = [&] {
            GilReleased gil;
            SignalInterrupt interrupt(gil);
            return salvage_file(input, output, quarantine, options, &interrupt);
        }();
        if (!result) {
            raise_salvage_error(result.error());
            return nullptr;
        }
        return new_salvage_summary(result.value());
    });
}

PyObject* module_sniff(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kSniffSignature, args, kwargs, bound))
            return nullptr;
        std::string_view sample;
        if (!convert_text(bound[0], kSniffParameters[0], sample))
            return nullptr;
        const ByteText delimiter(sniff_delimiter(sample));
        const std::string_view text = delimiter.view();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* module_open(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* type = salvage_reader_type();
        if (type == nullptr)
            return nullptr;
        return create_salvage_reader(type, args, kwargs, "open()");
    });
}

template <class Function> PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The interpreter keeps pointers to these for as long as the functions live.
PyMethodDef module_function_defs[] = {
    {"salvage_file", as_cfunction(module_salvage_file), METH_VARARGS | METH_KEYWORDS,
     docs::kSalvageFile},
    {"sniff", as_cfunction(module_sniff), METH_VARARGS | METH_KEYWORDS, docs::kSniff},
    {"open", as_cfunction(module_open), METH_VARARGS | METH_KEYWORDS, docs::kOpen},
};

} // namespace

bool add_module_functions(PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr)
        return false;
    PyRef name(PyUnicode_FromString(module_name));
    if (!name)
        return false;
    for (PyMethodDef& def : module_function_defs) {
        PyRef function(PyCMethod_New(&def, module, name.get(), nullptr));
        if (!function)
            return false;
        if (PyObject_SetAttrString(module, def.ml_name, function.get()) < 0)
            return false;
    }
    return true;
}

} // namespace rowmend::bindings
