// The collector's pause during an event call (collector_pause.h).
#include "collector_pause.h"

#include "../module/errors.h"

namespace movra::native {

namespace {

// Shared by every pause in progress, read and written with the interpreter
// lock held.  A call into the gc module may let other threads run (its
// allocation may collect, and a finalizer run Python code), so each step
// leaves them consistent before making one, and asks again after it.
int pauses = 0;   // pauses in progress
long saved = 0;   // the threshold the last of them restores

// A function of the gc module, looked up at first use and held for the life
// of the process.
py::handle gc_function(const char *name, PyObject *&held) {
    if (held == nullptr) {
        py::object f = py::module_::import("gc").attr(name);
        if (held == nullptr) held = f.release().ptr();
    }
    return held;
}

long first_threshold() {
    static PyObject *get = nullptr;
    py::tuple thresholds = gc_function("get_threshold", get)();
    return thresholds[0].cast<long>();
}

void set_first_threshold(long value) {
    static PyObject *set = nullptr;
    gc_function("set_threshold", set)(value);
}

}  // namespace

CollectorPause::CollectorPause() {
    const long current = first_threshold();
    // The first pause, or a threshold set since the pauses began: the
    // caller's own, which the last pause gives back.
    if (pauses == 0 || current != 0) saved = current;
    ++pauses;
    if (current == 0) return;
    try {
        set_first_threshold(0);
    } catch (...) {
        --pauses;
        throw;
    }
}

CollectorPause::~CollectorPause() {
    py::error_scope pending;  // an error being reported stays so
    try {
        if (pauses == 1 && first_threshold() == 0 && pauses == 1) set_first_threshold(saved);
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
    --pauses;
}

}  // namespace movra::native
