// The entry point: PyInit_movra builds the module in one fixed sequence.
//
// The namespace is filled in the order of the module's table (table.cpp),
// as a module body would run: the libraries, then the functions with their
// defaults, json just before csv2json, __test__ last.  Any failure releases
// the half-built module and leaves one traceback entry, "init movra".
#include <Python.h>

#include <cstdio>

#include "binding.h"
#include "errors.h"
#include "function.h"
#include "namespace.h"
#include "progress.h"
#include "scope.h"
#include "table.h"

namespace movra {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "movra",
    "movra: feature engineering for metered consumption data, event-log "
    "sequences, scoring of top-k predictions, and file utilities.",
    -1,       // single-phase initialisation, no per-module state
    nullptr,  // no native method table: functions are movra_function objects
    nullptr, nullptr, nullptr, nullptr,
};

// The compile-time and run-time versions must agree in the major digit and
// the first digit of the minor number; anything else is only a warning.
int check_version() {
    char compiled[32];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    char running[4] = {0};
    const char *version = Py_GetVersion();
    for (int i = 0; i < 3 && version[i] != '\0'; ++i) running[i] = version[i];
    if (compiled[0] != running[0] || compiled[2] != running[2]) {
        char message[200];
        std::snprintf(message, sizeof message, "compiletime version %s of module '%.100s' does not match runtime version %s",
                      compiled, "movra", running);
        return PyErr_WarnEx(nullptr, message, 1);
    }
    return 0;
}

int bind(PyObject *globals, const char *name, PyObject *value) {
    if (value == nullptr) return -1;
    int status = PyDict_SetItemString(globals, name, value);
    Py_DECREF(value);
    return status;
}

// Absolute import with the namespace as globals and the given from-list.
PyObject *import(PyObject *globals, const char *name, PyObject *fromlist) {
    PyObject *text = PyUnicode_FromString(name);
    if (text == nullptr) return nullptr;
    PyObject *module = PyImport_ImportModuleLevelObject(text, globals, nullptr, fromlist, 0);
    Py_DECREF(text);
    return module;
}

int import_library(PyObject *globals, const char *name) {
    PyObject *empty = PyList_New(0);
    if (empty == nullptr) return -1;
    int status = bind(globals, name, import(globals, name, empty));
    Py_DECREF(empty);
    return status;
}

// `from name import name`: for tqdm, the progress-bar class, not its module.
int import_library_class(PyObject *globals, const char *name) {
    PyObject *fromlist = Py_BuildValue("[s]", name);
    if (fromlist == nullptr) return -1;
    PyObject *module = import(globals, name, fromlist);
    Py_DECREF(fromlist);
    if (module == nullptr) return -1;
    PyObject *cls = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    if (cls == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
        }
        return -1;
    }
    // The class held here is the one fe4ts and usest2uet recognise as the
    // progress bar loaded at import (progress.h).
    hold_progress_class(cls);
    return bind(globals, name, cls);
}

// The defaults a function receives for good: its constants, then the
// load-time default, taken from the global `numpy` now, so later rebinding
// of `numpy` does not change it.  Null without an exception: no defaults.
PyObject *function_defaults(PyObject *globals, const FunctionEntry &entry) {
    try {
        if (entry.constant_defaults == nullptr) return nullptr;
        py::tuple constants = entry.constant_defaults();
        if (entry.loadtime_default == nullptr) return constants.release().ptr();
        py::object numpy = lookup_global(globals, interned("numpy"));
        py::object captured = numpy.attr(entry.loadtime_default);
        py::list all(constants);
        all.append(captured);
        return py::tuple(all).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
    }
    return nullptr;
}

// Creates one module function with its code object and defaults and binds
// it under its name.
int bind_function(PyObject *globals, const FunctionEntry &entry) {
    PyObject *code = code_new(&entry);
    if (code == nullptr) return -1;
    PyObject *defaults = function_defaults(globals, entry);
    int status = -1;
    if (defaults != nullptr || !PyErr_Occurred())
        status = bind(globals, entry.name,
                      function_new(&entry, globals, nullptr, code == Py_None ? nullptr : code, defaults));
    Py_XDECREF(defaults);
    Py_DECREF(code);
    return status;
}

// Interns the parameter names of a function and of the nested functions
// its calls create, so that binding a call never has to.
int intern_parameters(const FunctionEntry &entry) {
    for (int i = 0; i < entry.parameter_names.count; ++i)
        if (interned_or_null(entry.parameter_names.items[i]) == nullptr) return -1;
    for (int i = 0; i < entry.nested.count; ++i)
        if (intern_parameters(*entry.nested.items[i]) < 0) return -1;
    return 0;
}

int intern_names() {
    for (int i = 0; i < module_body_length; ++i)
        if (module_body[i].kind == NamespaceEntry::Function && intern_parameters(*module_body[i].function) < 0)
            return -1;
    return interned_or_null("numpy") != nullptr && interned_or_null("movra") != nullptr ? 0 : -1;
}

int make_entry(PyObject *globals, const NamespaceEntry &item) {
    switch (item.kind) {
    case NamespaceEntry::Library:
        return import_library(globals, item.name);
    case NamespaceEntry::LibraryClass:
        return import_library_class(globals, item.name);
    case NamespaceEntry::Function:
        return bind_function(globals, *item.function);
    case NamespaceEntry::EmptyDict:
        return bind(globals, item.name, PyDict_New());
    }
    return 0;
}

int load(PyObject *module, bool *entered) {
    PyObject *globals = PyModule_GetDict(module);  // borrowed
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return -1;
    int added = PyModule_AddObjectRef(module, "__builtins__", builtins);
    Py_DECREF(builtins);
    if (added < 0) return -1;
    if (intern_names() < 0) return -1;

    PyObject *modules = PyImport_GetModuleDict();
    PyObject *name = interned_or_null("movra");
    if (name == nullptr) return -1;
    int present = PyDict_Contains(modules, name);
    if (present < 0) return -1;
    if (present == 0) {
        if (PyDict_SetItemString(modules, "movra", module) < 0) return -1;
        *entered = true;
    }

    if (hold_builtins() < 0) return -1;
    if (scope_type_ready() < 0) return -1;

    for (int i = 0; i < module_body_length; ++i)
        if (make_entry(globals, module_body[i]) < 0) return -1;
    return 0;
}

}  // namespace


}  // namespace movra

PyMODINIT_FUNC PyInit_movra() {
    using namespace movra;
    if (check_version() < 0) return nullptr;
    if (function_type_ready() < 0) return nullptr;
    PyObject *module = PyModule_Create(&module_def);
    if (module == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init movra");
        return nullptr;
    }
    bool entered = false;
    if (load(module, &entered) < 0) {
        add_traceback_entry("init movra", __FILE__, __LINE__);
        if (entered) {
            // Leave no half-built module behind for a later import to find.
#if PY_VERSION_HEX >= 0x030C0000
            PyObject *pending = PyErr_GetRaisedException();
            PyObject *modules = PyImport_GetModuleDict();
            if (PyDict_DelItemString(modules, "movra") < 0) PyErr_Clear();
            PyErr_SetRaisedException(pending);
#else
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            if (PyDict_DelItemString(PyImport_GetModuleDict(), "movra") < 0) PyErr_Clear();
            PyErr_Restore(type, value, tb);
#endif
        }
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
