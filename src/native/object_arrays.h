// The object arrays of the event layers' results, written cell by cell.
#pragma once

#include "../module/runtime.h"

#include <cstdint>

namespace movra::native {

// A new one-dimensional object array of `n` cells (None each), made by
// `numpy`, whose cells are written in place while this holds a view of it.
class ObjectArray {
public:
    ObjectArray(py::handle numpy, int64_t n);
    void set(int64_t i, py::object item);

    py::object array;

private:
    int64_t size_;
    py::buffer_info view_;
    PyObject **cells_ = nullptr;
};

// A new one-dimensional object array holding items[at[0]], items[at[1]], ...
py::object object_array(py::handle numpy, const py::list &items, const int64_t *at, int64_t n);

}  // namespace movra::native
