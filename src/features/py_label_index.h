// An index from labels that are Python objects to ints, for ColumnPlacement
// (column_placement.h): labels are compared as a dict compares keys, as a
// frame's columns are.
#pragma once

#include "../module/runtime.h"

namespace movra {

class PyLabelIndex {
public:
    using Label = py::object;
    int find(py::handle label) const {
        PyObject *at = PyDict_GetItemWithError(map_.ptr(), label.ptr());
        if (at == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return at == nullptr ? -1 : static_cast<int>(PyLong_AsLong(at));
    }
    void set(py::handle label, int value) { map_[label] = py::int_(value); }
    static py::object stored(py::handle label) { return py::reinterpret_borrow<py::object>(label); }

private:
    py::dict map_;
};

}  // namespace movra
