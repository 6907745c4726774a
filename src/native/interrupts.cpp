// Ctrl-C during work that no Python code may interrupt (interrupts.h).
#include "interrupts.h"

#include <csignal>

namespace movra {

CtrlC::CtrlC() {
    // From sys.modules, where the interpreter put it at startup: an import
    // could run Python code.
    PyObject *module = PyImport_GetModule(py::str("_signal").ptr());
    if (module == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return;  // no signal module: nothing sets the flag
    }
    py::object signals = py::reinterpret_steal<py::object>(module);
    watched_ = signals.attr("getsignal")(SIGINT).is(signals.attr("default_int_handler"));
}

bool CtrlC::pressed() const { return watched_ && PyOS_InterruptOccurred() != 0; }

void CtrlC::raise_interrupt() const {
    PyErr_SetInterrupt();
    // Should the handler raise nothing (it was replaced meanwhile), the work
    // given up still ends in KeyboardInterrupt.
    if (PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

}  // namespace movra
