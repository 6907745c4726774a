// The object arrays of the event layers' results (object_arrays.h).
#include "object_arrays.h"

#include <stdexcept>

namespace movra::native {

ObjectArray::ObjectArray(py::handle numpy, int64_t n)
    : array(numpy.attr("empty")(n, py::arg("dtype") = py::reinterpret_borrow<py::object>(
                                       reinterpret_cast<PyObject *>(&PyBaseObject_Type)))),
      size_(n) {
    if (n == 0) return;
    // Its cells are written as object pointers: it must be numpy's object
    // array (the `numpy` global may be rebound to anything).
    view_ = py::buffer(array).request(true);
    if (!(view_.ndim == 1 && view_.size == n && view_.itemsize == static_cast<py::ssize_t>(sizeof(PyObject *)) &&
          view_.format == "O"))
        throw py::type_error("numpy.empty(n, dtype=object) did not make a one-dimensional object array");
    cells_ = static_cast<PyObject **>(view_.ptr);
}

void ObjectArray::set(int64_t i, py::object item) {
    if (i < 0 || i >= size_) throw std::logic_error("an object array cell beyond its length");
    Py_XSETREF(cells_[i], item.release().ptr());
}

py::object object_array(py::handle numpy, const py::list &items, const int64_t *at, int64_t n) {
    ObjectArray out(numpy, n);
    const int64_t size = static_cast<int64_t>(PyList_GET_SIZE(items.ptr()));
    for (int64_t i = 0; i < n; i++) {
        // The positions come from a kernel that was given `items`' length.
        if (at[i] < 0 || at[i] >= size) throw std::logic_error("an item position beyond the list of items");
        out.set(i, py::reinterpret_borrow<py::object>(PyList_GET_ITEM(items.ptr(), at[i])));
    }
    return out.array;
}

}  // namespace movra::native
