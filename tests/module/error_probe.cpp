// _movra_error_probe: a module built only with the native tests, never
// installed.  throw_cpp(kind, message) throws one kind of C++ exception and
// returns through the translation every movra function returns through, so
// tests/module/test_cpp_exceptions.py sees the Python exception each kind
// becomes.  movra's own namespace stays free of test hooks.
#define PY_SSIZE_T_CLEAN  // y# gives a Py_ssize_t length
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "module/errors.h"

namespace py = pybind11;

namespace {

struct PlainException : std::exception {
    explicit PlainException(std::string m) : message(std::move(m)) {}
    const char *what() const noexcept override { return message.c_str(); }
    std::string message;
};

[[noreturn]] void throw_kind(const std::string &kind, const std::string &message) {
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "bad_array_new_length") throw std::bad_array_new_length();
    if (kind == "length_error") throw std::length_error(message);
    if (kind == "invalid_argument") throw std::invalid_argument(message);
    if (kind == "domain_error") throw std::domain_error(message);
    if (kind == "out_of_range") throw std::out_of_range(message);
    if (kind == "logic_error") throw std::logic_error(message);
    if (kind == "runtime_error") throw std::runtime_error(message);
    if (kind == "overflow_error") throw std::overflow_error(message);
    if (kind == "system_error")
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), message);
    if (kind == "exception") throw PlainException(message);
    if (kind == "not_an_exception") throw 42;
    if (kind == "python") {
        PyErr_SetString(PyExc_KeyError, message.c_str());
        throw py::error_already_set();
    }
    if (kind == "pybind11_value_error") throw py::value_error(message);
    if (kind == "pybind11_cast_error") throw py::cast_error(message);
    throw std::logic_error("no such kind: " + kind);
}

PyObject *throw_cpp(PyObject *, PyObject *args) {
    const char *kind;
    const char *message;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "sy#", &kind, &message, &length)) return nullptr;
    try {
        throw_kind(kind, std::string(message, static_cast<size_t>(length)));
    } catch (...) {
        movra::set_error_from_current_exception();
    }
    return nullptr;
}

PyMethodDef methods[] = {
    {"throw_cpp", throw_cpp, METH_VARARGS, "throw_cpp(kind: str, message: bytes): throws and translates"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_movra_error_probe", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__movra_error_probe() { return PyModule_Create(&module); }
