// Hearing Ctrl-C in the module's long loops: every loop that may run long
// hears it through this header, and nowhere else.
//
// Python code hears Ctrl-C by itself: the interpreter runs the signal
// handlers pending between bytecodes, and SIGINT's default handler raises
// KeyboardInterrupt.  A loop of ours that runs many steps without calling
// into Python code (C++ work, or C API calls on lists, strings, dicts)
// never gives it the chance, so it calls check_interrupts() itself: at
// every step whose work is large, or every so many steps
// (check_interrupts_every, with the loop's own named stride) where a step
// costs little next to the check.  A check runs the handlers, which are
// Python code and may do anything; what they raise leaves the loop as
// py::error_already_set.
//
// Reads that need a CtrlC instead: a kernel that reads the caller's arrays
// where they lie (a numpy or Arrow buffer it did not copy) over several
// steps, or on several threads, must see one version of them.  A handler
// run between two of its steps, by a check, could write into those arrays
// (and one run while its threads read would race with them), and the result
// would mix the versions.  Such work therefore runs no handler from its
// first read of the caller's arrays to its last: it holds a CtrlC, made
// before that first read, and between steps asks pressed(), which runs
// nothing; when Ctrl-C was pressed it gives the work up, lets go of the
// arrays, and calls raise_interrupt().  Work over the kernel's own copies,
// or over Python objects read afresh at each step, uses check_interrupts();
// a single pass over the caller's arrays needs neither, and leaves a
// pending Ctrl-C to the first check or Python code after it.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace movra {

namespace py = pybind11;

// Runs the signal handlers pending and raises what they raise
// (KeyboardInterrupt for Ctrl-C, as error_already_set).
inline void check_interrupts() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// check_interrupts() when `count` is a multiple of `stride`: a loop passes
// its own step count (counted as it likes, from 0 or from 1) and a named
// stride, so that the check costs nothing next to the steps between two.
inline void check_interrupts_every(std::int64_t count, std::int64_t stride) {
    if (count % stride == 0) check_interrupts();
}

// Ctrl-C during work that no Python code may interrupt (see above).  Only
// SIGINT's default handler, which raises KeyboardInterrupt whatever the
// arrays hold, is watched: its flag is looked at, the work given up when it
// is up, and the handler then run.  Any other handler (and any other
// signal) runs at the first check after the work.
class CtrlC {
public:
    // Looks up SIGINT's handler now: construct it before the work begins.
    CtrlC();

    // Whether Ctrl-C was pressed, taking the signal's flag down: the work
    // must then be given up, and raise_interrupt() called.  On the thread
    // that holds the interpreter lock; no Python code runs.
    bool pressed() const;

    // Puts the flag back up and runs the handlers pending, which raise
    // KeyboardInterrupt: the exception is thrown as error_already_set.
    [[noreturn]] void raise_interrupt() const;

private:
    bool watched_ = false;  // SIGINT's handler is the default one
};

}  // namespace movra
