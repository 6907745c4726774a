// Typed views of the arrays the kernels read (buffers.h).
#include "buffers.h"

#include <cstring>

namespace movra::native {

BufferView::BufferView(py::handle exporter, int flags) {
    if (PyObject_GetBuffer(exporter.ptr(), &view_, flags) != 0) throw py::error_already_set();
}

BufferView::~BufferView() { PyBuffer_Release(&view_); }

Holder::~Holder() {
    auto release = [this] {
        views_.clear();
        objects_.clear();
    };
    if (PyGILState_Check()) {
        release();
    } else {
        py::gil_scoped_acquire lock;
        release();
    }
}

const Py_buffer &Holder::acquire(py::handle exporter, int flags) {
    views_.push_back(std::make_unique<BufferView>(exporter, flags));
    return views_.back()->get();
}

namespace {

// Whether a struct-module format of one item is of `kind`; its size is
// checked apart (with a byte-order prefix the standard sizes apply).
bool format_of_kind(const char *format, char kind) {
    if (format == nullptr) return false;  // unsigned bytes
    const char native_order = PY_LITTLE_ENDIAN ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == native_order) format++;
    if (format[0] == '\0' || format[1] != '\0') return false;
    return std::strchr(kind == 'f' ? "efd" : kind == 'i' ? "bhilq" : "?BHILQ", format[0]) != nullptr;
}

}  // namespace

bool view_holds(const Py_buffer &view, char kind, Py_ssize_t itemsize, Py_ssize_t n) {
    return view.ndim == 1 && view.shape != nullptr && view.shape[0] == n && view.itemsize == itemsize &&
           view.len == n * itemsize && format_of_kind(view.format, kind);
}

}  // namespace movra::native
