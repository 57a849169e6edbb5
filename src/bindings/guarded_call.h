#pragma once
// The boundary between C++ and the interpreter. Every slot and function body
// runs inside guarded(): a C++ exception never unwinds into the interpreter,
// it becomes a pending Python exception and the body's error value.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>

namespace rowmend::bindings {

// Raises MemoryError: running out of memory fails the call, never the process.
void raise_out_of_memory() noexcept;

// Raises the internal-fault exception: its class derives directly from
// BaseException, so ordinary `except Exception` handlers do not swallow a
// broken invariant. The class is created once per process on first use and
// is not a module attribute.
void raise_internal_fault(const char* what) noexcept;

// Runs `body` and returns its result; if it throws, sets the matching Python
// exception and returns `failure` (nullptr or -1, whatever the slot expects).
template <class Value, class Body> Value guarded(Value failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        raise_out_of_memory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold, say
        // rows padded to an absurd expected_columns: a request too large to
        // allocate, not a broken invariant.
        raise_out_of_memory();
    } catch (const std::exception& error) {
        raise_internal_fault(error.what());
    } catch (...) {
        raise_internal_fault("unknown C++ exception");
    }
    return failure;
}

} // namespace rowmend::bindings
