#pragma once
// PyRef: the one owner of a strong reference. Move-only; the destructor
// releases what it still owns. A call that steals a reference is handed
// `ref.release()`, so every transfer of ownership shows at its call site.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace rowmend::bindings {

class PyRef {
  public:
    PyRef() noexcept = default;
    // Takes over a new reference (or nullptr, for an API call that failed).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives up ownership: the caller, or the stealing call, now owns it.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* out = object_;
        object_ = nullptr;
        return out;
    }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

  private:
    PyObject* object_ = nullptr;
};

} // namespace rowmend::bindings
