// The module namespace: global lookup and the held builtins.
#pragma once

#include "runtime.h"

namespace movra {

// The module namespace first, then the interpreter's builtins module.
py::object lookup_global(PyObject *globals, py::handle name);
// The interpreter's builtins module only, at the moment of use.
py::object lookup_builtin(py::handle name);

// Looks up and holds zip, range, all, any, sorted and open.
int hold_builtins();
py::object held_builtin(Builtin which);

}  // namespace movra
