// Calls, name lookup, the helpers and the Python operations that bodies
// need beyond pybind11's object API.
#include "runtime.h"

#include <unordered_map>

#include "entry.h"
#include "function.h"
#include "namespace.h"

namespace movra {

// ---- interned names -------------------------------------------------------

PyObject *interned_or_null(const char *text) {
    // Keyed by the literal's address: bodies pass string literals, and the
    // interpreter lock serialises every use of the cache.
    static auto *cache = new std::unordered_map<const char *, PyObject *>();
    auto it = cache->find(text);
    if (it != cache->end()) return it->second;
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) return nullptr;
    cache->emplace(text, name);  // held for the life of the process
    return name;
}

py::handle interned(const char *text) {
    PyObject *name = interned_or_null(text);
    if (name == nullptr) throw py::error_already_set();
    return name;
}

// ---- calls ------------------------------------------------------------------

static FunctionObject *as_function(PyObject *op) { return reinterpret_cast<FunctionObject *>(op); }

Call::Call(PyObject *function, PyObject *const *args)
    : function_(function), args_(args), line_(as_function(function)->entry->line) {}

py::object Call::global(const char *name) const {
    return lookup_global(as_function(function_)->globals, interned(name));
}

py::object Call::builtin_now(const char *name) const {
    return lookup_builtin(interned(name));
}

py::object Call::builtin(Builtin which) const { return held_builtin(which); }

py::object Call::scope() const {
    PyObject *scope = as_function(function_)->scope;
    return py::reinterpret_borrow<py::object>(scope != nullptr ? scope : Py_None);
}

py::object Call::globals() const { return py::reinterpret_borrow<py::object>(as_function(function_)->globals); }

// A nested function is created on every call of its enclosing function; its
// code object, which only describes it, is built once and shared.
static py::object nested_code(const FunctionEntry &entry) {
    static auto *cache = new std::unordered_map<const FunctionEntry *, PyObject *>();
    auto it = cache->find(&entry);
    if (it == cache->end()) {
        PyObject *code = code_new(&entry);
        if (code == nullptr) throw py::error_already_set();
        it = cache->emplace(&entry, code).first;  // held for the life of the process
    }
    return py::reinterpret_borrow<py::object>(it->second);
}

py::object Call::make_nested(const FunctionEntry &entry, py::handle scope) const {
    py::object code = nested_code(entry);
    PyObject *code_or_null = code.is_none() ? nullptr : code.ptr();
    PyObject *f = function_new(&entry, as_function(function_)->globals, scope.ptr(), code_or_null, nullptr);
    if (f == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(f);
}

// ---- helpers for bodies ---------------------------------------------------

py::object import_module(const Call &c, const char *name, py::handle fromlist) {
    PyObject *module =
        PyImport_ImportModuleLevelObject(interned(name).ptr(), c.globals().ptr(), nullptr, fromlist.ptr(), 0);
    if (module == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(module);
}

void close_quietly(py::handle file) {
    quietly([&] { file.attr("close")(); });
}

// ---- Python operations -------------------------------------------------------

py::object open_file(const Call &c, py::handle path, py::handle mode, py::kwargs kwargs) {
    if (PyLong_Check(path.ptr())) kwargs["closefd"] = py::bool_(false);
    return c.builtin(Builtin::Open)(path, mode, **kwargs);
}

static py::object compare(py::handle a, py::handle b, int op) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
py::object le(py::handle a, py::handle b) { return compare(a, b, Py_LE); }
py::object gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }
py::object ge(py::handle a, py::handle b) { return compare(a, b, Py_GE); }
py::object eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
py::object ne(py::handle a, py::handle b) { return compare(a, b, Py_NE); }

bool truth(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

static py::object steal_or_throw(PyObject *r) {
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object neg(py::handle o) { return steal_or_throw(PyNumber_Negative(o.ptr())); }
py::object abs_of(py::handle o) { return steal_or_throw(PyNumber_Absolute(o.ptr())); }
py::object str_of(py::handle o) { return steal_or_throw(PyObject_Str(o.ptr())); }

void set_item(py::handle obj, py::handle key, py::handle value) {
    py::object held = py::reinterpret_borrow<py::object>(obj);
    if (PyObject_SetItem(held.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

void drop_failure(py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
}

py::object optional_attr(py::handle o, const char *name) {
    PyObject *value = PyObject_GetAttr(o.ptr(), interned(name).ptr());
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

std::pair<py::object, py::object> unpack2(py::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (it == nullptr) throw py::error_already_set();
    py::object iter = py::reinterpret_steal<py::object>(it);
    py::object items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(it);
        if (item == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
            throw py::error_already_set();
        }
        items[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

py::object slice(py::handle obj, py::handle start, py::handle stop, py::handle step) {
    PyMappingMethods *mp = Py_TYPE(obj.ptr())->tp_as_mapping;
    if (mp == nullptr || mp->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj.ptr())->tp_name);
        throw py::error_already_set();
    }
    PyObject *s = PySlice_New(start.ptr(), stop.ptr(), step.ptr());
    if (s == nullptr) throw py::error_already_set();
    py::object sl = py::reinterpret_steal<py::object>(s);
    PyObject *r = PyObject_GetItem(obj.ptr(), s);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace movra
