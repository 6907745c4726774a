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
    py::object time_dtype;  // set when the times mix resolutions

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
        py::object zone;
        py::dict resolutions;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *o = PyList_GET_ITEM(occ.elements.ptr(), i);
            bool aware = false;
            require(reader.read(o, occ.time[i], aware) == native::TimeReader::Time);
            py::object tz = py::handle(o).attr("tzinfo");
            if (i == 0) zone = tz;
            require(tz.is(zone));
            py::object resolution = py::handle(o).attr("unit");
            if (!resolutions.contains(resolution)) resolutions[resolution] = py::handle(o);
            if ((i & 0xffff) == 0xffff && PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        if (py::len(resolutions) > 1) time_dtype = pandas.attr("Series")(resolutions.attr("values")()).attr("dtype");

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
    py::list rows(groups);
    for (int64_t g = 0; g < groups; g++) {
        const int64_t first = group_begin[g], last = group_begin[g + 1];
        py::list what(last - first);
        for (int64_t i = first; i < last; i++) {
            PyObject *kind = PyList_GET_ITEM(kinds.ptr(), occ.row[order[i]]);
            Py_INCREF(kind);
            PyList_SET_ITEM(what.ptr(), i - first, kind);
        }
        const int64_t o = order[first];
        py::object who = units[static_cast<size_t>(occ.row[o])];
        py::object when = occ.elements[static_cast<size_t>(o)];
        PyList_SET_ITEM(rows.ptr(), g, py::make_tuple(who, when, what).release().ptr());
    }
    MOVRA_AT(c);
    py::object ute = c.global("pandas").attr("DataFrame")(rows, py::arg("columns") = columns);
    if (time_dtype) set_item(ute, t, py::object(ute[t]).attr("astype")(time_dtype));
    ute.attr("columns") = columns;
    return ute;
}

}  // namespace movra
