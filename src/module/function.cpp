// The function type: slots, a getset table and small helpers.
//
// Modelled on the interpreter's own function objects, with two twists that
// callers rely on: a function's defaults are fixed when it is created
// (assigning __defaults__ only changes what the attribute reports), and
// the two load-time defaults are reported through a tuple built on the
// first read.
#include "function.h"

#include "binding.h"

namespace movra {

namespace {

FunctionObject *as_function(PyObject *op) { return reinterpret_cast<FunctionObject *>(op); }

// ---- attribute getters and setters --------------------------------------

PyObject *get_name(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    if (f->name == nullptr) {
        f->name = PyUnicode_InternFromString(f->entry->name);
        if (f->name == nullptr) return nullptr;
    }
    return Py_NewRef(f->name);
}

int set_name(PyObject *op, PyObject *value, void *) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(op)->name, Py_NewRef(value));
    return 0;
}

PyObject *get_qualname(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    if (f->qualname == nullptr) {
        f->qualname = PyUnicode_InternFromString(f->entry->qualname);
        if (f->qualname == nullptr) return nullptr;
    }
    return Py_NewRef(f->qualname);
}

int set_qualname(PyObject *op, PyObject *value, void *) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(op)->qualname, Py_NewRef(value));
    return 0;
}

// No function of the module has a docstring.
PyObject *get_doc(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    if (f->doc == nullptr) f->doc = Py_NewRef(Py_None);
    return Py_NewRef(f->doc);
}

int set_doc(PyObject *op, PyObject *value, void *) {
    Py_XSETREF(as_function(op)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject *get_dict(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) return nullptr;
    }
    return Py_NewRef(f->dict);
}

int set_dict(PyObject *op, PyObject *value, void *) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_function(op)->dict, Py_NewRef(value));
    return 0;
}

PyObject *get_globals(PyObject *op, void *) { return Py_NewRef(as_function(op)->globals); }

PyObject *get_closure(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *get_code(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    return Py_NewRef(f->code != nullptr ? f->code : Py_None);
}

// The reported tuple of a function with a load-time default is built on the
// first read, then kept: the values that omitted arguments receive, the
// captured object last.
PyObject *build_reported_defaults(FunctionObject *f) {
    return PyTuple_GetSlice(f->call_defaults, 0, PyTuple_GET_SIZE(f->call_defaults));
}

PyObject *get_defaults(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    if (f->defaults == nullptr && f->defaults_record != nullptr) {
        f->defaults = build_reported_defaults(f);
        if (f->defaults == nullptr) {
            add_traceback_entry("movra.__defaults__", __FILE__, __LINE__);
            return nullptr;
        }
    }
    return Py_NewRef(f->defaults != nullptr ? f->defaults : Py_None);
}

int set_defaults(PyObject *op, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    FunctionObject *f = as_function(op);
    Py_XSETREF(f->defaults, Py_XNewRef(value));
    // Once set, the attribute no longer falls back to the load-time getter.
    if (value == nullptr && f->defaults_record != nullptr) f->defaults = Py_NewRef(Py_None);
    return 0;
}

PyObject *get_kwdefaults(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    return Py_NewRef(f->kwdefaults != nullptr ? f->kwdefaults : Py_None);
}

int set_kwdefaults(PyObject *op, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject *get_annotations(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject *op, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject *get_self(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    return Py_NewRef(f->scope != nullptr ? f->scope : Py_None);
}

PyObject *get_module(PyObject *op, void *) { return Py_NewRef(as_function(op)->module); }

int set_module(PyObject *op, PyObject *value, void *) {
    Py_XSETREF(as_function(op)->module, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickling stores a module-level function by reference: module and name.
PyObject *function_reduce(PyObject *op, PyObject *) { return PyUnicode_FromString(as_function(op)->entry->name); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- slots ---------------------------------------------------------------

PyObject *function_repr(PyObject *op) {
    PyObject *qualname = get_qualname(op, nullptr);
    if (qualname == nullptr) return nullptr;
    PyObject *text = PyUnicode_FromFormat("<function %U at %p>", qualname, op);
    Py_DECREF(qualname);
    return text;
}

int function_traverse(PyObject *op, visitproc visit, void *arg) {
    FunctionObject *f = as_function(op);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->scope);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->call_defaults);
    Py_VISIT(f->defaults);
    Py_VISIT(f->defaults_record);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject *op) {
    FunctionObject *f = as_function(op);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->scope);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->call_defaults);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->defaults_record);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    if (as_function(op)->weakreflist != nullptr) PyObject_ClearWeakRefs(op);
    function_clear(op);
    PyObject_GC_Del(op);
}

// Read through an instance, a function binds that instance as its first
// argument; read through the class, it yields an instance-method wrapper
// that passes its arguments on unchanged.
PyObject *function_descr_get(PyObject *func, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return PyInstanceMethod_New(func);
    return PyMethod_New(func, obj);
}

PyObject *function_call(PyObject *op, PyObject *args, PyObject *kwargs) {
    return bind_and_call(as_function(op), args, kwargs);
}

}  // namespace

PyTypeObject FunctionType{};

int function_type_ready() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    // Static type: one reference held by the module for its whole life.
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&FunctionType), 1);
    FunctionType.tp_name = "movra_function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = function_call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    // No Py_TPFLAGS_BASETYPE: the type cannot be subclassed.
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&FunctionType);
}

PyObject *function_new(const FunctionEntry *entry, PyObject *globals, PyObject *scope, PyObject *code,
                       PyObject *defaults, PyObject *loadtime) {
    FunctionObject *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (f == nullptr) return nullptr;
    f->entry = entry;
    f->name = nullptr;
    f->qualname = nullptr;
    f->doc = nullptr;
    f->module = PyUnicode_InternFromString("movra");
    f->globals = Py_NewRef(globals);
    f->scope = Py_XNewRef(scope);
    f->code = Py_XNewRef(code);
    f->dict = nullptr;
    f->call_defaults = nullptr;
    f->defaults = nullptr;
    f->defaults_record = Py_XNewRef(loadtime);
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->weakreflist = nullptr;
    PyObject *self = reinterpret_cast<PyObject *>(f);
    if (f->module == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    if (defaults != nullptr) {
        if (loadtime != nullptr) {
            // Omitted arguments receive the constants followed by the
            // captured object; the reported tuple is built on first read.
            Py_ssize_t n = PyTuple_GET_SIZE(defaults);
            f->call_defaults = PyTuple_New(n + 1);
            if (f->call_defaults == nullptr) {
                Py_DECREF(self);
                return nullptr;
            }
            for (Py_ssize_t i = 0; i < n; ++i)
                PyTuple_SET_ITEM(f->call_defaults, i, Py_NewRef(PyTuple_GET_ITEM(defaults, i)));
            PyTuple_SET_ITEM(f->call_defaults, n, Py_NewRef(loadtime));
        } else {
            f->call_defaults = Py_NewRef(defaults);
            f->defaults = Py_NewRef(defaults);
        }
    }
    PyObject_GC_Track(self);
    return self;
}

PyObject *code_new(const FunctionEntry *entry) {
    if (entry->nvarnames == 0) return Py_NewRef(Py_None);
    PyCodeObject *empty = PyCode_NewEmpty(entry->file, entry->name, entry->line);
    if (empty == nullptr) return nullptr;
    PyObject *code = nullptr;
    PyObject *varnames = PyTuple_New(entry->nvarnames);
    if (varnames != nullptr) {
        bool ok = true;
        for (int i = 0; i < entry->nvarnames && ok; ++i) {
            PyObject *name = PyUnicode_InternFromString(entry->varnames[i]);
            if (name == nullptr) ok = false;
            else PyTuple_SET_ITEM(varnames, i, name);
        }
        if (ok) {
            // code.replace() is the stable way to give a code object its
            // parameter and local names across interpreter versions.
            PyObject *replace = PyObject_GetAttrString(reinterpret_cast<PyObject *>(empty), "replace");
            PyObject *kwargs = Py_BuildValue("{s:i,s:i,s:i,s:i,s:O}", "co_argcount", entry->argcount,
                                             "co_posonlyargcount", 0, "co_kwonlyargcount", 0, "co_nlocals",
                                             entry->nvarnames, "co_varnames", varnames);
#if PY_VERSION_HEX >= 0x030B0000
            if (kwargs != nullptr) {
                PyObject *qualname = PyUnicode_FromString(entry->qualname);
                if (qualname == nullptr || PyDict_SetItemString(kwargs, "co_qualname", qualname) < 0)
                    Py_CLEAR(kwargs);
                Py_XDECREF(qualname);
            }
#endif
            PyObject *noargs = PyTuple_New(0);
            if (replace != nullptr && kwargs != nullptr && noargs != nullptr)
                code = PyObject_Call(replace, noargs, kwargs);
            Py_XDECREF(noargs);
            Py_XDECREF(kwargs);
            Py_XDECREF(replace);
        }
        Py_DECREF(varnames);
    }
    Py_DECREF(empty);
    return code;
}

}  // namespace movra
