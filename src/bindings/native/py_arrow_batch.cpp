#include "bindings/native/py_arrow_batch.h"

#include <new>
#include <utility>

#include "bindings/guarded_call.h"
#include "bindings/py_ref.h"

namespace rowmend::native {

using bindings::guarded;
using bindings::PyRef;

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";

struct PyArrowBatch {
    PyObject_HEAD std::shared_ptr<const ArrowBatch> batch;
    std::shared_ptr<const std::vector<std::string>> names;
};

PyArrowBatch* as_batch(PyObject* self) {
    return reinterpret_cast<PyArrowBatch*>(self);
}

// A capsule owns its struct; a consumer that imported the data has moved it
// out and left it marked released.
void free_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr)
        schema->release(schema);
    delete schema;
}

void free_array_capsule(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, kArrayCapsule));
    if (array == nullptr) {
        PyErr_Clear();
        return;
    }
    if (array->release != nullptr)
        array->release(array);
    delete array;
}

PyObject* schema_capsule(const PyArrowBatch& self) {
    auto schema = std::make_unique<ArrowSchema>();
    export_schema(*self.batch, *self.names, schema.get());
    PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, free_schema_capsule);
    if (capsule == nullptr) {
        schema->release(schema.get());
        return nullptr;
    }
    static_cast<void>(schema.release()); // the capsule owns it now
    return capsule;
}

PyObject* array_capsule(const PyArrowBatch& self) {
    auto array = std::make_unique<ArrowArray>();
    export_batch(self.batch, array.get());
    PyObject* capsule = PyCapsule_New(array.get(), kArrayCapsule, free_array_capsule);
    if (capsule == nullptr) {
        array->release(array.get());
        return nullptr;
    }
    static_cast<void>(array.release());
    return capsule;
}

// The data comes as it is; a consumer that asked for another schema casts
// it itself, as the interface allows.
PyObject* batch_arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"requested_schema", nullptr};
        PyObject* requested = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                         const_cast<char**>(keywords), &requested))
            return nullptr;
        PyRef schema(schema_capsule(*as_batch(self)));
        if (!schema)
            return nullptr;
        PyRef array(array_capsule(*as_batch(self)));
        if (!array)
            return nullptr;
        return PyTuple_Pack(2, schema.get(), array.get());
    });
}

PyObject* batch_get_num_rows(PyObject* self, void*) {
    return PyLong_FromLongLong(static_cast<long long>(as_batch(self)->batch->rows));
}

PyObject* batch_get_large(PyObject* self, void*) {
    for (const StringColumn& column : as_batch(self)->batch->columns) {
        if (column.large())
            Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

PyMethodDef batch_methods[] = {
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "The batch as a struct array: a pair of PyCapsules (arrow_schema, arrow_array)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"num_rows", batch_get_num_rows, nullptr, "Rows in the batch.", nullptr},
    {"large", batch_get_large, nullptr,
     "Whether a column outgrew 32-bit offsets and is a large_string column.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void batch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_batch(self)->~PyArrowBatch();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>("One batch of salvaged rows in Arrow's memory layout.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "rowmend._native.ArrowBatch",
    static_cast<int>(sizeof(PyArrowBatch)),
    0,
    Py_TPFLAGS_DEFAULT,
    batch_slots,
};

PyTypeObject* batch_type = nullptr;

} // namespace

PyTypeObject* arrow_batch_type() {
    if (batch_type == nullptr) {
        PyObject* created = PyType_FromSpec(&batch_spec);
        if (created == nullptr)
            return nullptr;
        batch_type = reinterpret_cast<PyTypeObject*>(created);
        // Only the salvager makes batches.
        batch_type->tp_new = nullptr;
    }
    return batch_type;
}

PyObject* new_arrow_batch(std::shared_ptr<const ArrowBatch> batch,
                          std::shared_ptr<const std::vector<std::string>> names) {
    PyTypeObject* type = arrow_batch_type();
    if (type == nullptr)
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    PyArrowBatch* object = as_batch(self);
    new (&object->batch) std::shared_ptr<const ArrowBatch>(std::move(batch));
    new (&object->names) std::shared_ptr<const std::vector<std::string>>(std::move(names));
    return self;
}

} // namespace rowmend::native
