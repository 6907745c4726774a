// Typed views of the arrays the kernels read.  A kernel keeps a raw pointer
// into an array's memory; the view it came from stays acquired, through the
// buffer protocol, for as long as the pointer may be read, so that the
// exporter keeps the memory where it is.
#pragma once

#include "../module/runtime.h"
#include "decline.h"

#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

namespace movra::native {

// One acquired buffer view, released when destroyed (with the interpreter
// lock held: see Holder).  While it is held, an exporter that counts its
// exports refuses to move its memory (a bytearray or an array.array will
// not resize), and a numpy array refuses to resize because the view holds
// a reference to it.  Neither copied nor moved: some exporters point the
// view's `shape` into the view itself.
class BufferView {
public:
    // Raises BufferError or TypeError when `exporter` gives no such view.
    BufferView(py::handle exporter, int flags);
    ~BufferView();
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;

    const Py_buffer &get() const { return view_; }

private:
    Py_buffer view_;
};

// What the kernels' pointers point into, for the life of the holder: the
// views buffer_of acquires, and any object kept alive with them.  Holders
// live in the layers' examinations, which are made and destroyed with the
// interpreter lock held (kernels that give the lock up do it in a narrower
// scope); the destructor takes the lock itself should a thread without it
// ever destroy one.
class Holder {
public:
    Holder() = default;
    ~Holder();
    Holder(Holder &&) = default;
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;
    Holder &operator=(Holder &&) = delete;

    // Keeps `o` alive as long as the holder.
    void push_back(py::object o) { objects_.push_back(std::move(o)); }
    // Acquires a view of `exporter` (PyObject_GetBuffer's `flags`), held as
    // long as the holder.
    const Py_buffer &acquire(py::handle exporter, int flags);

private:
    std::vector<py::object> objects_;
    std::vector<std::unique_ptr<BufferView>> views_;
};

// Whether `view` is one-dimensional with `n` items of `itemsize` bytes whose
// struct format is of `kind`: 'f' floating point, 'i' signed integer, 'u'
// unsigned integer or bool.
bool view_holds(const Py_buffer &view, char kind, Py_ssize_t itemsize, Py_ssize_t n);

// A C-contiguous one-dimensional buffer of `dtype` (of n values) holding
// `values` (their own memory when they already are one), its view held by
// `hold`; Decline when numpy makes it anything else.
template <class T>
const T *buffer_of(py::handle numpy, py::handle values, const char *dtype, Py_ssize_t n, Holder &hold) {
    static_assert(std::is_arithmetic_v<T>, "a kernel reads numbers");
    py::object array = numpy.attr("ascontiguousarray")(values, py::arg("dtype") = dtype);
    const Py_buffer &view = hold.acquire(array, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    constexpr char kind = std::is_floating_point_v<T> ? 'f' : std::is_signed_v<T> ? 'i' : 'u';
    require(view_holds(view, kind, sizeof(T), n),
            "a column could not be converted (unexpected buffer shape)");
    return static_cast<const T *>(view.buf);
}

}  // namespace movra::native
