// Python scalars and text as the native layers read them (scalars.h).
#include "scalars.h"

namespace movra::native {

std::string utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return std::string(data, static_cast<size_t>(size));
}

std::string text_of(py::handle o) { return utf8(py::repr(o)); }

bool as_int64(py::handle o, int64_t &out) {
    if (!PyLong_Check(o.ptr())) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

}  // namespace movra::native
