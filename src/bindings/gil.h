#pragma once
// Letting other Python threads run while the engine works, and answering
// Ctrl-C from inside a long call.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "salvage/interrupt.h"

namespace rowmend::bindings {

// Releases the GIL for its lifetime. The engine code run meanwhile touches
// no Python object; an exception unwinding through it takes the GIL back
// before anything turns it into a Python exception.
class GilReleased {
  public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() { PyEval_RestoreThread(state_); }

    // Runs `body` holding the GIL.
    template <class Body> auto with_gil(Body&& body) {
        struct Reacquire {
            PyThreadState*& state;
            explicit Reacquire(PyThreadState*& s) : state(s) { PyEval_RestoreThread(state); }
            ~Reacquire() { state = PyEval_SaveThread(); }
        } hold(state_);
        return body();
    }

  private:
    PyThreadState* state_;
};

// Runs the interpreter's signal handlers when asked; a handler that raises
// (KeyboardInterrupt) stops the run and leaves its exception set.
class SignalInterrupt final : public Interrupt {
  public:
    explicit SignalInterrupt(GilReleased& gil) noexcept : gil_(gil) {}
    bool requested() override {
        if (!fired_)
            fired_ = gil_.with_gil([] { return PyErr_CheckSignals() != 0; });
        return fired_;
    }
    bool fired() const noexcept { return fired_; }

  private:
    GilReleased& gil_;
    bool fired_ = false;
};

} // namespace rowmend::bindings
