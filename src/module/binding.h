// Argument binding and the boundary through which every function returns.
#pragma once

#include <Python.h>

namespace movra {

struct FunctionObject;

// Binds a call's arguments by the function's convention and runs its body.
PyObject *bind_and_call(FunctionObject *f, PyObject *args, PyObject *kwargs);

// Adds a traceback entry "name (file:line)" to the pending exception.
void add_traceback_entry(const char *traceback_name, const char *file, int line);

}  // namespace movra
