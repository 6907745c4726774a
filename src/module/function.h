// movra_function: the one function type of the module.
#pragma once

#include <Python.h>

#include "entry.h"

namespace movra {

struct FunctionObject {
    PyObject_HEAD
    const FunctionEntry *entry;  // method entry and code metadata
    PyObject *name;            // cached __name__, interned on first read
    PyObject *qualname;
    PyObject *doc;             // null reads as None: no function has a docstring
    PyObject *module;          // "movra"
    PyObject *globals;         // the module namespace
    PyObject *scope;           // a nested function's scope, shared with its creator
    PyObject *code;
    PyObject *dict;            // per-object attributes, created on first use
    PyObject *call_defaults;   // what omitted arguments receive: fixed at creation
    PyObject *defaults;        // what __defaults__ reports
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *weakreflist;
};

extern PyTypeObject FunctionType;

int function_type_ready();

// A new function object; `scope`, `code` and `defaults` may be null.  The
// defaults are what omitted arguments receive for good, and what
// __defaults__ reports until it is assigned.
PyObject *function_new(const FunctionEntry *entry, PyObject *globals, PyObject *scope, PyObject *code,
                       PyObject *defaults);

// Code object carrying a function's parameter and local names.
PyObject *code_new(const FunctionEntry *entry);

}  // namespace movra
