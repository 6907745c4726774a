// unit_date on the native kernel.
//
// The pandas path reads every event row through iterrows and compares each
// shifted time with the unit's kept dates one Python operation at a time.
// When the table is one the kernel reproduces exactly, the shift is made
// once for the whole time column (the same arithmetic as on each row's
// Timestamp: same resolution, same zone), the thinning runs in C++ on the
// shifted times as integer ticks, and the calendar Series is built once,
// with the index that adding its units one by one would have given it.
//
// Taken: plain DataFrames with a datetime64 time column (any resolution,
// with or without a zone) holding no NaT, a unit column of integers or of
// text without missing values, and an integer daysdiff.
#include "events_native.h"
#include "kernel/event_kernels.h"

#include "../module/table.h"

#include <cstdlib>
#include <string>

namespace movra {

namespace {

using native::require;

constexpr int64_t kLargestShift = 100000;  // days; far inside what a timedelta holds
constexpr int64_t kLargestTick = int64_t{1} << 62;

int64_t ticks_per_day(const std::string &unit) {
    if (unit == "s") return 86400;
    if (unit == "ms") return 86400LL * 1000;
    if (unit == "us") return 86400LL * 1000000;
    require(unit == "ns");
    return 86400LL * 1000000000;
}

}  // namespace

py::object unit_date_native(Call &c) {
    py::object df = c.arg(0), unit = c.arg(1), date = c.arg(2), daysdiff = c.arg(3);
    std::vector<py::object> hold;
    std::vector<int64_t> codes, ticks;
    py::object shifted;
    py::list labels;
    int64_t units = 0, day = 0, spacing = 0;
    bool int_labels = false;

    native::CollectorPause pause;
    const bool taken = native::examined([&] {
        py::object pandas = c.global("pandas"), numpy = c.global("numpy");
        require(native::exact_type(df, pandas.attr("DataFrame")));
        auto is_label = [](py::handle o) { return PyUnicode_CheckExact(o.ptr()) || PyLong_CheckExact(o.ptr()); };
        py::object columns = df.attr("columns");
        require(truth(columns.attr("is_unique")) && is_label(unit) && is_label(date) && !truth(eq(unit, date)));
        require(truth(columns.attr("__contains__")(unit)) && truth(columns.attr("__contains__")(date)));
        const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(df));
        require(n > 0);
        require(PyLong_CheckExact(daysdiff.ptr()));
        int overflow = 0;
        const long long shift = PyLong_AsLongLongAndOverflow(daysdiff.ptr(), &overflow);
        require(overflow == 0 && std::llabs(shift) <= kLargestShift);
        spacing = std::llabs(shift);

        // Times: a datetime64 column without NaT.  A row of a table with a
        // time column and a unit column that is not one is an object row, so
        // each row's time is the column's own Timestamp.
        py::object times = df[date];
        py::object types = pandas.attr("api").attr("types");
        require(truth(types.attr("is_datetime64_any_dtype")(times)) && !truth(times.attr("isna")().attr("any")()));
        py::object units_column = df[unit];
        int size = 0;
        const char kind = native::column_kind(numpy, pandas, units_column, size);
        if (kind == 'O') {
            require(py::str(types.attr("infer_dtype")(units_column, py::arg("skipna") = false)).cast<std::string>() ==
                    "string");
        } else if (kind != 0) {
            require(kind == 'i' || (kind == 'u' && size <= 4));
            int_labels = true;
        }
        require(!truth(units_column.attr("isna")().attr("any")()));

        // The shift, as adding the timedelta to each row's Timestamp gives it.
        py::object span = c.global("datetime").attr("timedelta")(py::arg("days") = daysdiff);
        shifted = times + span;
        py::object array = shifted.attr("array");
        day = ticks_per_day(py::str(array.attr("unit")));
        const int64_t *t = native::buffer_of<int64_t>(numpy, array.attr("asi8"), "int64", n, hold);
        ticks.assign(t, t + n);
        for (int64_t v : ticks) require(v < kLargestTick && v > -kLargestTick);

        // Units coded in first-seen order, which is the calendar's order.
        py::object factorized = pandas.attr("factorize")(units_column);
        py::object code_array = factorized[py::int_(0)];
        const int64_t *u = native::buffer_of<int64_t>(numpy, code_array, "int64", n, hold);
        codes.assign(u, u + n);
        labels = py::list(factorized[py::int_(1)].attr("tolist")());
        units = static_cast<int64_t>(py::len(labels));
    });
    if (!taken) {
        native::warn_pandas_path(c, "unit_date", PyObject_Size(df.ptr()), 10000);
        if (PyErr_Occurred()) PyErr_Clear();
        return py::object();
    }

    MOVRA_AT(c);
    std::vector<std::vector<int64_t>> kept;
    events::thin_calendar(codes.data(), ticks.data(), static_cast<int64_t>(codes.size()), units, spacing, day, kept);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();

    // The kept shifted times as Timestamps, one list per unit.
    py::list positions;
    for (const auto &rows : kept)
        for (int64_t r : rows) positions.append(py::int_(r));
    py::list stamps = shifted.attr("iloc")[positions].attr("tolist")();
    py::list lists(units);
    Py_ssize_t next = 0;
    for (int64_t u = 0; u < units; u++) {
        const auto &rows = kept[static_cast<size_t>(u)];
        py::list dates(rows.size());
        for (size_t j = 0; j < rows.size(); j++) {
            PyObject *d = PyList_GET_ITEM(stamps.ptr(), next++);
            Py_INCREF(d);
            PyList_SET_ITEM(dates.ptr(), static_cast<Py_ssize_t>(j), d);
        }
        PyList_SET_ITEM(lists.ptr(), u, dates.release().ptr());
    }

    // The index that adding the units one at a time gives: integer labels
    // counting up by one from the first stay a range where pandas keeps an
    // appended range a range.
    MOVRA_AT(c);
    py::object pandas = c.global("pandas");
    py::object index;
    if (int_labels) {
        bool counting = true;
        for (int64_t u = 1; u < units && counting; u++)
            counting = labels[static_cast<size_t>(u)].cast<int64_t>() == labels[static_cast<size_t>(u - 1)].cast<int64_t>() + 1;
        if (counting) {
            py::object probe = pandas.attr("Series")(py::arg("dtype") = "float64").attr("astype")("object");
            set_item(probe, py::int_(0), py::list());
            set_item(probe, py::int_(1), py::list());
            py::object range_index = pandas.attr("RangeIndex");
            if (py::isinstance(probe.attr("index"), range_index)) {
                const int64_t first = labels[static_cast<size_t>(0)].cast<int64_t>();
                index = range_index(first, first + units);
            }
        }
    }
    if (!index) index = pandas.attr("Index")(labels);
    return pandas.attr("Series")(lists, py::arg("index") = index, py::arg("dtype") = "object");
}

}  // namespace movra
