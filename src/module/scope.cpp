// The scope type: a fixed number of variable slots and a link to the
// enclosing call's scope.
#include "scope.h"

namespace movra {

namespace {

struct ScopeObject {
    PyObject_VAR_HEAD
    const ScopeLayout *layout;
    PyObject *parent;
    PyObject *cells[1];
};

ScopeObject *as_scope(PyObject *op) { return reinterpret_cast<ScopeObject *>(op); }

int scope_traverse(PyObject *op, visitproc visit, void *arg) {
    ScopeObject *s = as_scope(op);
    Py_VISIT(s->parent);
    for (Py_ssize_t i = 0; i < Py_SIZE(op); ++i) Py_VISIT(s->cells[i]);
    return 0;
}

int scope_clear(PyObject *op) {
    ScopeObject *s = as_scope(op);
    Py_CLEAR(s->parent);
    for (Py_ssize_t i = 0; i < Py_SIZE(op); ++i) Py_CLEAR(s->cells[i]);
    return 0;
}

void scope_dealloc(PyObject *op) {
    PyObject_GC_UnTrack(op);
    scope_clear(op);
    PyObject_GC_Del(op);
}

PyObject *scope_repr(PyObject *op) {
    return PyUnicode_FromFormat("<movra scope of %s at %p>", as_scope(op)->layout->owner, op);
}

PyTypeObject ScopeType{};

// A bad slot is the module's own bug, reported rather than followed.
ScopeObject *checked_scope(py::handle scope, int slot) {
    if (!scope || Py_TYPE(scope.ptr()) != &ScopeType || slot < 0 || slot >= Py_SIZE(scope.ptr())) {
        PyErr_SetString(PyExc_SystemError, "movra: bad scope slot");
        throw py::error_already_set();
    }
    return as_scope(scope.ptr());
}

}  // namespace

int scope_type_ready() {
    if (ScopeType.tp_flags & Py_TPFLAGS_READY) return 0;
    // Static type: one reference held by the module for its whole life.
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&ScopeType), 1);
    ScopeType.tp_name = "movra_scope";
    ScopeType.tp_basicsize = offsetof(ScopeObject, cells);
    ScopeType.tp_itemsize = sizeof(PyObject *);
    ScopeType.tp_dealloc = scope_dealloc;
    ScopeType.tp_repr = scope_repr;
    ScopeType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    ScopeType.tp_traverse = scope_traverse;
    ScopeType.tp_clear = scope_clear;
    return PyType_Ready(&ScopeType);
}

py::object new_scope(const ScopeLayout &layout, py::handle parent) {
    ScopeObject *s = PyObject_GC_NewVar(ScopeObject, &ScopeType, layout.count);
    if (s == nullptr) throw py::error_already_set();
    s->layout = &layout;
    s->parent = parent ? Py_NewRef(parent.ptr()) : nullptr;
    for (int i = 0; i < layout.count; ++i) s->cells[i] = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(s));
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(s));
}

void scope_set(py::handle scope, int slot, py::handle value) {
    ScopeObject *s = checked_scope(scope, slot);
    Py_XSETREF(s->cells[slot], Py_XNewRef(value.ptr()));
}

py::object scope_get(py::handle scope, int slot) {
    ScopeObject *s = checked_scope(scope, slot);
    if (s->cells[slot] == nullptr) {
        PyErr_Format(PyExc_NameError, "free variable '%s' referenced before assignment in enclosing scope",
                     s->layout->names[slot]);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(s->cells[slot]);
}

py::object scope_parent(py::handle scope) {
    ScopeObject *s = checked_scope(scope, 0);
    return py::reinterpret_borrow<py::object>(s->parent != nullptr ? s->parent : Py_None);
}

}  // namespace movra
