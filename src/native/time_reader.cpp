// Timestamps read as nanoseconds (time_reader.h).
#include "time_reader.h"

#include "event_kernels.h"

#include <datetime.h>

namespace movra::native {

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

}  // namespace movra::native
