// Global and builtin name lookup, and the builtins held since load.
#include "namespace.h"

namespace movra {

namespace {

PyObject *held[static_cast<int>(Builtin::Count_)];
PyObject *builtins_dict;  // the builtins module's namespace, read live
// In the order of Builtin.
const char *const held_names[] = {"zip", "range", "all", "any", "sorted", "open"};
static_assert(sizeof held_names / sizeof held_names[0] == static_cast<size_t>(Builtin::Count_));

[[noreturn]] void name_error(py::handle name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw py::error_already_set();
}

}  // namespace

py::object lookup_builtin(py::handle name) {
    // The interpreter's builtins module, as it is now.
    if (builtins_dict == nullptr) name_error(name);
    PyObject *value = PyDict_GetItemWithError(builtins_dict, name.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        name_error(name);
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object lookup_global(PyObject *globals, py::handle name) {
    PyObject *value = PyDict_GetItemWithError(globals, name.ptr());
    if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    return lookup_builtin(name);
}

int hold_builtins() {
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return -1;
    Py_XSETREF(builtins_dict, Py_NewRef(PyModule_GetDict(builtins)));
    int status = 0;
    for (int i = 0; i < static_cast<int>(Builtin::Count_) && status == 0; ++i) {
        PyObject *value = PyObject_GetAttrString(builtins, held_names[i]);
        if (value == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", held_names[i]);
            }
            status = -1;
        } else {
            Py_XSETREF(held[i], value);
        }
    }
    Py_DECREF(builtins);
    return status;
}

py::object held_builtin(Builtin which) { return py::reinterpret_borrow<py::object>(held[static_cast<int>(which)]); }

}  // namespace movra
