#include "errors.h"

#include <pybind11/pybind11.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace movra {

namespace py = pybind11;

namespace {

// The message as text, whatever its bytes: a kernel's message is ASCII,
// but nothing may replace the error being reported with a decoding error.
void set_error(PyObject *type, const char *what) {
    PyObject *message = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "replace");
    if (message == nullptr) return;  // MemoryError is set
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

}  // namespace

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::length_error &e) {
        set_error(PyExc_MemoryError, e.what());
    } catch (const std::invalid_argument &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::domain_error &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::out_of_range &e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::exception &e) {
        set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace movra
