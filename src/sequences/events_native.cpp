// Shared pieces of the event functions' native layers (events_native.h).
#include "events_native.h"

#include "../module/table.h"
#include "../native/scalars.h"
#include "kernel/event_kernels.h"

#include <datetime.h>

#include <stdexcept>

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

Reason key_column_reason(py::handle pandas, py::handle numpy, const char *role, py::handle label, py::handle column,
                         const KeyRule &rule, bool &numeric) {
    const ColumnType t = type_of(pandas, numpy, column);
    numeric = false;
    if (t.numpy_kind("O")) {
        const std::string inferred = utf8(pandas.attr("api").attr("types").attr("infer_dtype")(column));
        if (inferred == "string" || (rule.integer_objects && inferred == "integer")) return {};
        return described(role, label, t) + " holds " + inferred + " objects, not all str" +
               (rule.integer_objects ? " or all int" : "") + "; cast it to str";
    }
    if (t.family == ColumnType::Numpy && rule.numbers(t)) {
        numeric = true;
        return {};
    }
    if (t.family != ColumnType::Numpy && t.text) return {};
    return described(role, label, t) + " is not of a dtype the kernel codes by value; cast it to int64 or str";
}

TimeReader::TimeReader(py::handle pandas)
    : timestamp_(pandas.attr("Timestamp")), nat_(pandas.attr("NaT")), value_(interned("value")),
      unit_(interned("unit")) {}

TimeReader::Kind TimeReader::read(PyObject *o, int64_t &ns, bool &aware, py::object *zone, py::object *unit) const {
    if (o == nat_.ptr()) return Missing;
    if (reinterpret_cast<PyObject *>(Py_TYPE(o)) != timestamp_.ptr()) return Other;
    // A Timestamp is a datetime, and its zone the datetime's own (what its
    // `tzinfo` property hands back): read from the object rather than
    // through the property, a function call per time.
    PyObject *tz = PyDateTime_DATE_GET_TZINFO(o);
    const bool zoned = tz != Py_None;
    auto resolution = py::reinterpret_steal<py::object>(PyObject_GetAttr(o, unit_.ptr()));
    if (!resolution) {
        clear_failure();
        return Other;
    }
    // Without a zone and coarser than nanoseconds, the time is all in the
    // datetime's calendar fields, read without a call; any other through
    // `value`, as is a day near the edge of what nanoseconds hold.
    const bool in_fields = !zoned && coarse(resolution.ptr()) &&
                           events::civil_nanoseconds(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o),
                                                     PyDateTime_GET_DAY(o), PyDateTime_DATE_GET_HOUR(o),
                                                     PyDateTime_DATE_GET_MINUTE(o), PyDateTime_DATE_GET_SECOND(o),
                                                     PyDateTime_DATE_GET_MICROSECOND(o), ns);
    if (!in_fields && !read_value(o, ns)) return Other;
    aware = zoned;
    if (zone != nullptr) *zone = py::reinterpret_borrow<py::object>(tz);
    if (unit != nullptr) *unit = std::move(resolution);
    return Time;
}

bool TimeReader::read_value(PyObject *o, int64_t &ns) const {
    // `value` is in nanoseconds whatever the Timestamp's own unit; one that
    // nanoseconds cannot hold raises, and is left to the pandas path.
    auto value = py::reinterpret_steal<py::object>(PyObject_GetAttr(o, value_.ptr()));
    if (!value) {
        clear_failure();
        return false;
    }
    int overflow = 0;
    ns = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (ns == -1 && PyErr_Occurred()) {
        clear_failure();
        return false;
    }
    return overflow == 0;
}

void TimeReader::clear_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
}

bool TimeReader::coarse(PyObject *unit) const {
    if (unit != last_unit_.ptr()) {
        last_unit_ = py::reinterpret_borrow<py::object>(unit);
        last_coarse_ = PyUnicode_Check(unit) && (PyUnicode_CompareWithASCIIString(unit, "s") == 0 ||
                                                 PyUnicode_CompareWithASCIIString(unit, "ms") == 0 ||
                                                 PyUnicode_CompareWithASCIIString(unit, "us") == 0);
    }
    return last_coarse_;
}

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
