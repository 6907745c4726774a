// The function type: slots, a member table for the plain attributes, a
// getset table for those that check what they are given.
//
// Modelled on the interpreter's own function objects, with one twist that
// callers rely on: a function's defaults are fixed when it is created
// (assigning __defaults__ only changes what the attribute reports).
#include "function.h"

#include <structmember.h>

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

// Nested functions read their enclosing call's variables through their
// scope, never through cells: there is no closure to report.
PyObject *get_closure(PyObject *, void *) { Py_RETURN_NONE; }

PyObject *get_defaults(PyObject *op, void *) {
    FunctionObject *f = as_function(op);
    return Py_NewRef(f->defaults != nullptr ? f->defaults : Py_None);
}

int set_defaults(PyObject *op, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(op)->defaults, Py_XNewRef(value));
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

// Attributes that take any object, or none: a null field reads as None,
// and deleting a writable one stores null.
#define OFF(field) offsetof(FunctionObject, field)
PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, OFF(doc), 0, nullptr},
    {"func_doc", T_OBJECT, OFF(doc), 0, nullptr},
    {"__module__", T_OBJECT, OFF(module), 0, nullptr},
    {"__globals__", T_OBJECT, OFF(globals), READONLY, nullptr},
    {"func_globals", T_OBJECT, OFF(globals), READONLY, nullptr},
    {"__code__", T_OBJECT, OFF(code), READONLY, nullptr},
    {"func_code", T_OBJECT, OFF(code), READONLY, nullptr},
    {"__self__", T_OBJECT, OFF(scope), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#undef OFF

// Attributes that check what they are given, or are made on first read.
PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
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
    FunctionType.tp_members = function_members;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&FunctionType);
}

PyObject *function_new(const FunctionEntry *entry, PyObject *globals, PyObject *scope, PyObject *code,
                       PyObject *defaults) {
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
    f->call_defaults = Py_XNewRef(defaults);
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->weakreflist = nullptr;
    PyObject *self = reinterpret_cast<PyObject *>(f);
    if (f->module == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    PyObject_GC_Track(self);
    return self;
}

// The code object names the parameters, then the locals, and points at the
// function's entry in its body file.
PyObject *code_new(const FunctionEntry *entry) {
    if (!entry->has_code) return Py_NewRef(Py_None);
    const int nparams = entry->parameter_names.count, nlocals = entry->local_names.count;
    PyObject *varnames = PyTuple_New(nparams + nlocals);
    if (varnames == nullptr) return nullptr;
    for (int i = 0; i < nparams + nlocals; ++i) {
        const char *text = i < nparams ? entry->parameter_names.items[i] : entry->local_names.items[i - nparams];
        PyObject *name = PyUnicode_InternFromString(text);
        if (name == nullptr) {
            Py_DECREF(varnames);
            return nullptr;
        }
        PyTuple_SET_ITEM(varnames, i, name);
    }
    PyObject *code = nullptr;
    PyCodeObject *empty = PyCode_NewEmpty(entry->file, entry->name, entry->line);
    // code.replace() is the stable way to give a code object its parameter
    // and local names across interpreter versions.
    PyObject *replace = empty != nullptr ? PyObject_GetAttrString(reinterpret_cast<PyObject *>(empty), "replace") : nullptr;
    // A single-argument function refuses keywords, so its one parameter is
    // positional-only: inspect.signature and type checkers then see the call
    // the function really accepts.
    const int posonly = entry->convention == Convention::SingleArgument ? nparams : 0;
    PyObject *kwargs = Py_BuildValue("{s:i,s:i,s:i,s:i,s:O}", "co_argcount", nparams, "co_posonlyargcount", posonly,
                                     "co_kwonlyargcount", 0, "co_nlocals", nparams + nlocals, "co_varnames", varnames);
#if PY_VERSION_HEX >= 0x030B0000
    if (kwargs != nullptr) {
        PyObject *qualname = PyUnicode_FromString(entry->qualname);
        if (qualname == nullptr || PyDict_SetItemString(kwargs, "co_qualname", qualname) < 0) Py_CLEAR(kwargs);
        Py_XDECREF(qualname);
    }
#endif
    PyObject *noargs = PyTuple_New(0);
    if (replace != nullptr && kwargs != nullptr && noargs != nullptr) code = PyObject_Call(replace, noargs, kwargs);
    Py_XDECREF(noargs);
    Py_XDECREF(kwargs);
    Py_XDECREF(replace);
    Py_XDECREF(empty);
    Py_DECREF(varnames);
    return code;
}

}  // namespace movra
