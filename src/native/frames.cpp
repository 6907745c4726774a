// The tables and labels a call names (frames.h).
#include "frames.h"

#include "scalars.h"

#include <string>

namespace movra::native {

bool exact_type(py::handle o, py::handle type) { return reinterpret_cast<PyObject *>(Py_TYPE(o.ptr())) == type.ptr(); }

Reason frame_reason(const char *name, py::handle frame, py::handle pandas) {
    if (exact_type(frame, pandas.attr("DataFrame"))) return {};
    return std::string(name) + " is of type " + Py_TYPE(frame.ptr())->tp_name +
           ", not a plain pandas.DataFrame; pass pandas.DataFrame(" + name + ")";
}

bool is_label(py::handle o) { return PyUnicode_CheckExact(o.ptr()) || PyLong_CheckExact(o.ptr()); }

Reason columns_reason(const char *name, py::handle frame, std::initializer_list<Named> labels) {
    py::object columns = frame.attr("columns");
    if (!truth(columns.attr("is_unique"))) return std::string(name) + " has repeated column labels; make them unique";
    for (const Named &n : labels)
        if (!is_label(n.label))
            return std::string(n.argument) + " is " + text_of(n.label) + ", not a str or int column label";
    for (auto a = labels.begin(); a != labels.end(); ++a)
        for (auto b = a + 1; b != labels.end(); ++b)
            if (truth(eq(a->label, b->label)))
                return std::string(a->argument) + " and " + b->argument + " name the same column; name two columns";
    for (const Named &n : labels)
        if (!truth(columns.attr("__contains__")(n.label)))
            return std::string(name) + " has no column " + text_of(n.label);
    return {};
}

py::list exclusive_list(py::object listed) {
    if (!PyList_CheckExact(listed.ptr()) || Py_REFCNT(listed.ptr()) != 1) {
        PyObject *copy = PySequence_List(listed.ptr());
        if (copy == nullptr) throw py::error_already_set();
        listed = py::reinterpret_steal<py::object>(copy);
    }
    return py::reinterpret_steal<py::list>(listed.release());
}

Reason row_values(const char *name, py::handle frame, py::handle label, py::list &values) {
    if (!truth(frame.attr("columns").attr("__contains__")(label)))
        return std::string(name) + " has no column " + text_of(label);
    py::list listed = exclusive_list(frame[label].attr("tolist")());
    // The layers index these by row without a check: of one value per row.
    const Py_ssize_t rows = static_cast<Py_ssize_t>(py::len(frame));
    if (PyList_GET_SIZE(listed.ptr()) != rows)
        return "the column " + text_of(label) + " of " + name + " gives " +
               std::to_string(PyList_GET_SIZE(listed.ptr())) + " values for its " + std::to_string(rows) + " rows";
    values = py::reinterpret_steal<py::list>(listed.release());
    return {};
}

}  // namespace movra::native
