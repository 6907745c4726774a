// The module namespace: global lookup, the held builtins, record types.
#pragma once

#include "runtime.h"

namespace movra {

// The module namespace first, then the interpreter's builtins module.
py::object lookup_global(PyObject *globals, py::handle name);
// The interpreter's builtins module only, at the moment of use.
py::object lookup_builtin(PyObject *globals, py::handle name);

// Looks up and holds zip, range, all, any, sorted, open, sum.
int hold_builtins();
py::object held_builtin(Builtin which);

int scope_type_ready();

// The progress-bar class `tqdm` as imported at load (null before).
py::handle tqdm_at_load();

}  // namespace movra
