// movra_function: the one function type of the module.
#pragma once

#include <Python.h>

#include "runtime.h"

namespace movra {

struct FunctionObject {
    PyObject_HEAD
    const FunctionEntry *entry;  // method entry and code metadata
    PyObject *name;            // cached __name__, interned on first read
    PyObject *qualname;
    PyObject *doc;             // cached docstring (None) once read or set
    PyObject *module;          // "movra"
    PyObject *globals;         // the module namespace
    PyObject *scope;           // shared-variable record of a nested function
    PyObject *code;
    PyObject *dict;            // per-object attributes, created on first use
    PyObject *call_defaults;   // what omitted arguments receive: fixed at creation
    PyObject *defaults;        // what __defaults__ reports
    PyObject *defaults_record; // load-time default captured from numpy, or null
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *weakreflist;
};

extern PyTypeObject FunctionType;

int function_type_ready();

// A new function object; `defaults` and `loadtime` may be null.
PyObject *function_new(const FunctionEntry *entry, PyObject *globals, PyObject *scope, PyObject *code,
                       PyObject *defaults, PyObject *loadtime);

// Code object carrying a function's parameter and local names.
PyObject *code_new(const FunctionEntry *entry);

}  // namespace movra
