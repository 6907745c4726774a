// Ctrl-C during work that no Python code may interrupt.
//
// A signal handler is Python code, and Python code may change the arrays a
// kernel reads in place: run in the middle of the kernel's reads, a handler
// leaves it with some values from before and some from after (or, while
// the kernel's threads read, a data race).  Such work therefore runs no
// signal handler until it is done or given up.  Ctrl-C must still stop it:
// where SIGINT's handler is Python's default one, which raises
// KeyboardInterrupt whatever the arrays hold, its flag is looked at (which
// runs nothing), the work is given up when it is up, and the handler is
// then run.  Any other handler runs at the first signal check after the
// work.
#pragma once

#include "../module/runtime.h"

namespace movra::native {

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

}  // namespace movra::native
