// Argument binding, and the one boundary through which every body returns.
//
// Binding follows the rules of the interpreter generation the module was
// designed for, with its messages: positional arguments fill the first
// parameters, keywords are fetched by parameter name, and the full scan of
// the keyword dict runs only when some keyword was not consumed.
#include "binding.h"

#include <frameobject.h>

#include "arrow_tables.h"
#include "errors.h"
#include "function.h"

namespace movra {

namespace {

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void count_error(const FunctionEntry *entry, bool has_defaults, bool too_few, Py_ssize_t expected,
                 Py_ssize_t given) {
    const char *how = !has_defaults ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", entry->name, how,
                 expected, expected == 1 ? "" : "s", given);
}

// Step 3 of binding: finds the first bad entry of the keyword dict, in the
// dict's order.  Returns false with an exception set if there is one.
bool check_keywords(const FunctionEntry *entry, PyObject *kwargs, Py_ssize_t nargs) {
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", entry->name);
            return false;
        }
        int found = -1;
        for (int i = 0; i < entry->argcount(); ++i) {
            int cmp = PyUnicode_CompareWithASCIIString(key, entry->parameter_names.items[i]);
            if (cmp == 0) {
                found = i;
                break;
            }
        }
        if (found >= 0 && found < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", entry->name, key);
            return false;
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry->name, key);
            return false;
        }
    }
    return true;
}

// Fills `bound`, which has room for every parameter (entry.h checks the
// counts when the entries are compiled), with new references to the
// arguments of a positional-or-keyword call.  Returns false with an
// exception set.
bool bind_positional_or_keyword(FunctionObject *f, PyObject *args, PyObject *kwargs, PyObject **bound) {
    const FunctionEntry *entry = f->entry;
    const Py_ssize_t n = entry->argcount();
    PyObject *defaults = f->call_defaults;
    const Py_ssize_t ndefaults = defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t required = n - ndefaults;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const bool has_defaults = ndefaults > 0;
    auto default_of = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(defaults, i - required); };

    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        if (nargs < required || nargs > n) {
            bool too_few = nargs < required;
            count_error(entry, has_defaults, too_few, too_few ? required : n, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i)
            bound[i] = Py_NewRef(i < nargs ? PyTuple_GET_ITEM(args, i) : default_of(i));
        return true;
    }

    if (nargs > n) {
        count_error(entry, has_defaults, false, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    Py_ssize_t consumed = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject *name = interned_or_null(entry->parameter_names.items[i]);  // interned at load: found
        if (name == nullptr) return false;
        PyObject *value = PyDict_GetItemWithError(kwargs, name);
        if (value == nullptr && PyErr_Occurred()) return false;
        if (value != nullptr) {
            bound[i] = Py_NewRef(value);
            ++consumed;
        } else if (i < required) {
            count_error(entry, has_defaults, true, required, i);
            return false;
        } else {
            bound[i] = Py_NewRef(default_of(i));
        }
    }
    if (consumed < PyDict_GET_SIZE(kwargs) && !check_keywords(entry, kwargs, nargs)) return false;
    return true;
}

}  // namespace

void add_traceback_entry(const char *traceback_name, const char *file, int line) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *pending = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    file = source_path(file);
    PyObject *funcname = PyUnicode_FromFormat("%s (%s:%d)", traceback_name, file, line);
    PyCodeObject *code = nullptr;
    PyFrameObject *frame = nullptr;
    PyObject *globals = PyDict_New();
    if (funcname != nullptr && globals != nullptr) {
        const char *name = PyUnicode_AsUTF8(funcname);
        if (name != nullptr) code = PyCode_NewEmpty(file, name, line);
        if (code != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    // Building the entry must not replace the error it reports.
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
    Py_XDECREF(globals);
    Py_XDECREF(funcname);
}

// Runs a body with its bound arguments.  Whatever the body throws becomes
// the function's Python exception here, with the function's one traceback
// entry; no C++ exception leaves this function.
PyObject *run_body(FunctionObject *f, PyObject *const *bound) {
    const FunctionEntry *entry = f->entry;
    int line = entry->line;
    PyObject *result = nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback_entry(entry->traceback_name, entry->file, line);
        return nullptr;
    }
    try {
        Call call(reinterpret_cast<PyObject *>(f), bound);
        try {
            const TableArgs tables(call, *entry, bound);
            call.use_args(tables.args());
            py::object value = entry->body(call);
            result = value.release().ptr();
            if (result == nullptr && !PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
        } catch (...) {
            line = call.line();
            throw;
        }
    } catch (...) {
        set_error_from_current_exception();
    }
    Py_LeaveRecursiveCall();
    if (result == nullptr) add_traceback_entry(entry->traceback_name, entry->file, line);
    return result;
}

PyObject *bind_and_call(FunctionObject *f, PyObject *args, PyObject *kwargs) {
    const FunctionEntry *entry = f->entry;
    if (entry->convention == Convention::SingleArgument) {
        // The interpreter's own check for one-argument functions.
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", entry->name);
            return nullptr;
        }
        if (PyTuple_GET_SIZE(args) != 1) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", entry->name,
                         PyTuple_GET_SIZE(args));
            return nullptr;
        }
        PyObject *arg = PyTuple_GET_ITEM(args, 0);
        return run_body(f, &arg);
    }

    PyObject *bound[kMaxParameters] = {nullptr};
    PyObject *result = nullptr;
    if (bind_positional_or_keyword(f, args, kwargs, bound)) result = run_body(f, bound);
    for (int i = 0; i < entry->argcount(); ++i) Py_XDECREF(bound[i]);
    return result;
}

}  // namespace movra
