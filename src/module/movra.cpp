// The entry point: PyInit_movra builds the module in one fixed sequence.
//
// The namespace is filled in the order in which a module body would run:
// the libraries, then the functions with their defaults, json just before
// csv2json, __test__ last.  Any failure releases the half-built module and
// leaves one traceback entry, "init movra".
#include <Python.h>

#include <cstdio>

#include "binding.h"
#include "function.h"
#include "namespace.h"
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

// `tqdm` in the namespace is the progress-bar class, not its module.  The
// class is also held: a function that finds it still bound knows exactly
// what it yields and may pass it a total and a label.
PyObject *tqdm_class;

int import_tqdm(PyObject *globals) {
    PyObject *fromlist = Py_BuildValue("[s]", "tqdm");
    if (fromlist == nullptr) return -1;
    PyObject *module = import(globals, "tqdm", fromlist);
    Py_DECREF(fromlist);
    if (module == nullptr) return -1;
    PyObject *cls = PyObject_GetAttrString(module, "tqdm");
    Py_DECREF(module);
    if (cls == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", interned("tqdm").ptr());
        }
        return -1;
    }
    Py_XSETREF(tqdm_class, Py_NewRef(cls));
    return bind(globals, "tqdm", cls);
}

// Creates one module function with its code object and defaults and binds
// it under its name.  A load-time default is taken from the global `numpy`
// now, so later rebinding of `numpy` does not change it.
int bind_function(PyObject *globals, const FunctionEntry &entry) {
    PyObject *code = code_new(&entry);
    if (code == nullptr) return -1;
    PyObject *defaults = nullptr;
    PyObject *loadtime = nullptr;
    int status = 0;
    try {
        if (entry.defaults != nullptr) defaults = entry.defaults().release().ptr();
        if (entry.loadtime_default != nullptr) {
            py::object numpy = lookup_global(globals, interned("numpy"));
            loadtime = py::object(numpy.attr(entry.loadtime_default)).release().ptr();
        }
    } catch (py::error_already_set &e) {
        e.restore();
        status = -1;
    } catch (std::exception &) {
        PyErr_NoMemory();
        status = -1;
    }
    if (status == 0)
        status = bind(globals, entry.name, function_new(&entry, globals, nullptr, code == Py_None ? nullptr : code,
                                                       defaults, loadtime));
    Py_XDECREF(loadtime);
    Py_XDECREF(defaults);
    Py_DECREF(code);
    return status;
}

// Interns every name the binding rules look up, so a call never has to.
int intern_names() {
    auto intern_all = [](const FunctionEntry &entry) {
        for (int i = 0; i < entry.argcount; ++i)
            if (!interned(entry.varnames[i])) return -1;
        return 0;
    };
    for (const FunctionEntry &entry : module_functions)
        if (intern_all(entry) < 0) return -1;
    for (const FunctionEntry *entry : {&search_entry, &fe_entry, &lambda_entry, &lambda1_entry, &lambda2_entry})
        if (intern_all(*entry) < 0) return -1;
    return interned("numpy") && interned("tqdm") ? 0 : -1;
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
    int present = PyDict_Contains(modules, interned("movra").ptr());
    if (present < 0) return -1;
    if (present == 0) {
        if (PyDict_SetItemString(modules, "movra", module) < 0) return -1;
        *entered = true;
    }

    if (hold_builtins() < 0) return -1;
    if (scope_type_ready() < 0) return -1;

    for (const char *name : {"numpy", "pandas", "datetime", "os", "re", "pickle", "time"})
        if (import_library(globals, name) < 0) return -1;
    if (import_tqdm(globals) < 0) return -1;

    const FunctionEntry *csv2json = &module_functions[kModuleFunctions - 1];
    for (const FunctionEntry &entry : module_functions) {
        if (&entry == csv2json) break;
        if (bind_function(globals, entry) < 0) return -1;
    }
    if (import_library(globals, "json") < 0) return -1;
    if (bind_function(globals, *csv2json) < 0) return -1;
    return bind(globals, "__test__", PyDict_New());
}

}  // namespace

py::handle tqdm_at_load() { return tqdm_class; }

}  // namespace movra

PyMODINIT_FUNC PyInit_movra() {
    using namespace movra;
    if (check_version() < 0) return nullptr;
    if (function_type_ready() < 0) return nullptr;
    PyObject *module = PyModule_Create2(&module_def, 1013);
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
