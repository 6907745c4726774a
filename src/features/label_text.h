// Python objects as the text of feature_names.h's label rule: pieces are
// joined by Python's + (a piece that is not a str fails as `value + "_" + t`
// fails in Python), C-string pieces are interned str objects.
#pragma once

#include "../module/runtime.h"

namespace movra {

struct PyText {
    py::object o;

    PyText() = default;
    PyText(py::object text) : o(std::move(text)) {}  // NOLINT: a label is a Python object
    PyText operator+(const PyText &other) const { return PyText(o + other.o); }
    PyText operator+(const char *piece) const {
        return PyText(o + py::reinterpret_borrow<py::object>(interned(piece)));
    }
};

// str() of a lag or a group's key, as it enters a label.
inline PyText key_text(py::handle key) { return PyText(str_of(key)); }

}  // namespace movra
