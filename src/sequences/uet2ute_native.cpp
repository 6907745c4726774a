// uet2ute on the native kernel.
//
// The pandas path builds one triple per time, groups them on (unit, time)
// and calls the reducer once per group.  When the table is one the kernel
// reproduces exactly, the times are read once as nanoseconds, ordered by
// (unit, time) in C++ keeping collection order, and the result frame is
// built from one (unit, time, kinds) row per group, holding the table's own
// objects, so that pandas gives its columns the types it gives them on the
// pandas path.
//
// Taken: plain DataFrames whose rows are object rows; time cells that are
// lists or object arrays (or empty arrays) of Timestamps sharing one time
// zone; units that are all integers or all text;
// kinds that are all integers or all text.
#include "events_native.h"
#include "kernel/event_kernels.h"

#include "../module/table.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <string>
#include <utility>

namespace movra {

namespace {

using native::Decline;
using native::require;

// A scalar type shared by every value of a column: exact int within int64,
// or exact str.
class Uniform {
public:
    // Returns the int value (ints) or 0 (text).
    int64_t check(PyObject *o) {
        if (PyLong_CheckExact(o)) {
            require(kind_ != Text);
            kind_ = Int;
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            require(overflow == 0 && !(v == -1 && PyErr_Occurred()));
            return v;
        }
        require(PyUnicode_CheckExact(o) && kind_ != Int);
        kind_ = Text;
        return 0;
    }
    bool text() const { return kind_ == Text; }

private:
    enum { None, Int, Text } kind_ = None;
};

struct Occurrences {
    std::vector<int64_t> unit, time, row;
    py::list elements;  // the time objects, one per occurrence
};

}  // namespace

py::object uet2ute_native(Call &c) {
    py::object uet = c.arg(0), unit = c.arg(1), e = c.arg(2), t = c.arg(3);
    py::list units, kinds;  // per input row
    Occurrences occ;
    std::vector<int64_t> order, group_begin;
    Uniform unit_type, kind_type;
    py::object time_dtype;  // what pandas makes of the times
    py::object time_zone;   // their zone, when they have one
    bool aware = false;

    native::CollectorPause pause;
    const bool taken = native::examined([&] {
        py::object pandas = c.global("pandas"), numpy = c.global("numpy");
        require(native::exact_type(uet, pandas.attr("DataFrame")));
        py::object columns = uet.attr("columns");
        auto is_label = [](py::handle o) { return PyUnicode_CheckExact(o.ptr()) || PyLong_CheckExact(o.ptr()); };
        require(truth(columns.attr("is_unique")) && is_label(unit) && is_label(e) && is_label(t));
        require(!truth(eq(unit, e)) && !truth(eq(unit, t)) && !truth(eq(e, t)));
        // With an object column among them (the time cells), every row is
        // an object row: a row's values are each column's values as objects.
        py::list cells = native::row_values(uet, t);
        int size = 0;
        require(native::column_kind(numpy, pandas, uet[t], size) == 'O');
        units = native::row_values(uet, unit);
        kinds = native::row_values(uet, e);
        py::object ndarray = numpy.attr("ndarray");

        // Every time of every row, in collection order.
        const Py_ssize_t rows = PyList_GET_SIZE(cells.ptr());
        for (Py_ssize_t r = 0; r < rows; r++) {
            PyObject *cell = PyList_GET_ITEM(cells.ptr(), r);
            py::list items;
            if (PyList_CheckExact(cell)) {
                items = py::reinterpret_borrow<py::list>(cell);
            } else {
                require(native::exact_type(cell, ndarray));
                py::handle array(cell);
                require(array.attr("ndim").cast<int>() == 1);
                const std::string kind = py::str(array.attr("dtype").attr("kind"));
                if (kind != "O") {
                    require(py::len(array) == 0);
                    continue;
                }
                items = array.attr("tolist")();
            }
            const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
            if (n == 0) continue;
            const int64_t u = unit_type.check(PyList_GET_ITEM(units.ptr(), r));
            kind_type.check(PyList_GET_ITEM(kinds.ptr(), r));
            for (Py_ssize_t i = 0; i < n; i++) {
                occ.unit.push_back(u);
                occ.row.push_back(r);
            }
            const Py_ssize_t end = PyList_GET_SIZE(occ.elements.ptr());
            if (PyList_SetSlice(occ.elements.ptr(), end, end, items.ptr()) != 0) throw py::error_already_set();
        }

        // The times: Timestamps of one time zone, so that one column holds
        // them all and equal instants are equal times.  Of each resolution
        // one is kept aside: the column's type is the one pandas gives
        // those.
        native::TimeReader reader(pandas);
        const Py_ssize_t n = PyList_GET_SIZE(occ.elements.ptr());
        occ.time.resize(static_cast<size_t>(n));
        PyObject *zone = nullptr;
        py::dict resolutions;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *o = PyList_GET_ITEM(occ.elements.ptr(), i), *tz = nullptr;
            require(reader.read(o, occ.time[i], aware, &tz) == native::TimeReader::Time);
            if (i == 0) zone = tz;
            require(tz == zone);
            py::object resolution = py::handle(o).attr("unit");
            if (!resolutions.contains(resolution)) resolutions[resolution] = py::handle(o);
            if ((i & 0xffff) == 0xffff && PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        if (n > 0) {
            time_dtype = pandas.attr("Series")(resolutions.attr("values")()).attr("dtype");
            if (aware) time_zone = py::reinterpret_borrow<py::object>(zone);
        }

        // Text units ranked in code point order, as pandas sorts them.
        if (unit_type.text()) {
            std::vector<std::pair<std::string, Py_ssize_t>> text;
            for (Py_ssize_t i = 0; i < n; i++) {
                if (i > 0 && occ.row[i] == occ.row[i - 1]) continue;
                Py_ssize_t size = 0;
                const char *utf8 = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(units.ptr(), occ.row[i]), &size);
                if (utf8 == nullptr) throw py::error_already_set();
                text.emplace_back(std::string(utf8, static_cast<size_t>(size)), i);
            }
            std::stable_sort(text.begin(), text.end(),
                             [](const auto &a, const auto &b) { return a.first < b.first; });
            int64_t rank = -1;
            std::vector<int64_t> row_rank(static_cast<size_t>(rows), 0);
            for (size_t j = 0; j < text.size(); j++) {
                if (j == 0 || text[j].first != text[j - 1].first) rank++;
                row_rank[static_cast<size_t>(occ.row[text[j].second])] = rank;
            }
            for (Py_ssize_t i = 0; i < n; i++) occ.unit[i] = row_rank[static_cast<size_t>(occ.row[i])];
        }
    });
    if (!taken) {
        native::warn_pandas_path(c, "uet2ute", PyObject_Size(uet.ptr()), 10000);
        if (PyErr_Occurred()) PyErr_Clear();
        return py::object();
    }

    // Regrouped in C++; one row per (unit, time) with its kinds in
    // collection order.
    MOVRA_AT(c);
    const int64_t n = static_cast<int64_t>(occ.time.size());
    events::regroup(occ.unit.data(), occ.time.data(), n, order, group_begin);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    py::list columns;
    columns.append(unit);
    columns.append(t);
    columns.append(e);
    const int64_t groups = static_cast<int64_t>(group_begin.size()) - 1;
    if (groups == 0) return c.global("pandas").attr("DataFrame")(py::arg("columns") = columns);
    // The columns, each as pandas makes it of the objects on the pandas
    // path: units (int64, or text as pandas holds text), the times in the
    // type pandas gives those Timestamps, and one list of kinds per row.
    py::object pandas = c.global("pandas"), numpy = c.global("numpy");
    py::list who(groups), what(groups);
    std::vector<int64_t> when(static_cast<size_t>(groups));
    for (int64_t g = 0; g < groups; g++) {
        const int64_t first = group_begin[g], last = group_begin[g + 1];
        py::list these(last - first);
        for (int64_t i = first; i < last; i++) {
            PyObject *kind = PyList_GET_ITEM(kinds.ptr(), occ.row[order[i]]);
            Py_INCREF(kind);
            PyList_SET_ITEM(these.ptr(), i - first, kind);
        }
        const int64_t o = order[first];
        PyObject *u = PyList_GET_ITEM(units.ptr(), occ.row[o]);
        Py_INCREF(u);
        PyList_SET_ITEM(who.ptr(), g, u);
        PyList_SET_ITEM(what.ptr(), g, these.release().ptr());
        when[static_cast<size_t>(g)] = occ.time[o];
    }
    MOVRA_AT(c);
    py::object nanoseconds = py::array_t<int64_t>(static_cast<py::ssize_t>(groups), when.data());
    py::object times = pandas.attr("Series")(nanoseconds.attr("view")("M8[ns]"));
    if (time_zone) times = times.attr("dt").attr("tz_localize")("UTC").attr("dt").attr("tz_convert")(time_zone);
    times = times.attr("astype")(time_dtype);
    std::vector<int64_t> each(static_cast<size_t>(groups));
    for (int64_t g = 0; g < groups; g++) each[static_cast<size_t>(g)] = g;
    py::object lists = native::object_array(numpy, what, each.data(), groups);
    py::dict parts;
    parts[py::int_(0)] = unit_type.text() ? py::object(who) : numpy.attr("array")(who, py::arg("dtype") = "int64");
    parts[py::int_(1)] = times;
    parts[py::int_(2)] = lists;
    py::object ute = pandas.attr("DataFrame")(parts);
    ute.attr("columns") = columns;
    return ute;
}

}  // namespace movra
