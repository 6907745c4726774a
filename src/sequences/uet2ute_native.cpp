// uet2ute on the native kernel.
//
// The pandas path builds one triple per time, groups them on (unit, time)
// and calls the reducer once per group.  When the table is one the kernel
// reproduces exactly, the times are read once as nanoseconds, straight from
// the cells, ordered by (unit, time) in C++ keeping collection order, and
// the result frame is built from one (unit, time, kinds) row per group,
// holding the table's own objects, so that pandas gives its columns the
// types it gives them on the pandas path.  What costs is touching each
// Timestamp once and making each row's list; the rest is done on integers.
//
// Taken: plain DataFrames whose rows are object rows; time cells that are
// lists or object arrays (or empty arrays) of Timestamps sharing one time
// zone; units that are all integers or all text;
// kinds that are all integers or all text.
#include "uet2ute_native.h"

#include "../module/table.h"
#include "../native/collector_pause.h"
#include "../native/columns.h"
#include "../native/examine.h"
#include "../native/frames.h"
#include "../native/object_arrays.h"
#include "../native/interrupts.h"
#include "../native/scalars.h"
#include "../native/time_reader.h"
#include "event_kernels.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

namespace movra {

namespace {

using native::Reason;

// A scalar type shared by every value of a column: exact int within int64,
// or exact str.
class Uniform {
public:
    // False when `o` is not of the column's type; `value` gets the int
    // (0 for text).
    bool take(PyObject *o, int64_t &value) {
        value = 0;
        if (PyLong_CheckExact(o)) {
            if (kind_ == Text) return false;
            kind_ = Int;
            int overflow = 0;
            value = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
            return overflow == 0;
        }
        if (!PyUnicode_CheckExact(o) || kind_ == Int) return false;
        kind_ = Text;
        return true;
    }
    bool text() const { return kind_ == Text; }

private:
    enum { None, Int, Text } kind_ = None;
};

// Objects where they lie: `count` pointers `stride` bytes apart (a list's
// items, an object array's cells).
struct Objects {
    const char *first = nullptr;
    Py_ssize_t count = 0, stride = sizeof(PyObject *);

    PyObject *operator[](Py_ssize_t i) const {
        PyObject *o = nullptr;
        std::memcpy(&o, first + i * stride, sizeof o);  // a strided view need not be aligned
        return o != nullptr ? o : Py_None;              // numpy gives an unset object cell as None
    }
};

// A key column (the units or the kinds) as its rows give it: row r's value
// is values[code[r]], values being a list of the layer's own.
struct Keys {
    py::list values;
    std::vector<int64_t> code;

    PyObject *of(Py_ssize_t row) const { return PyList_GET_ITEM(values.ptr(), code[static_cast<size_t>(row)]); }
};

// The call being examined: its arguments and the libraries it runs on (the
// module's own bindings of pandas and numpy).
struct Context {
    explicit Context(const Call &c)
        : uet(c.arg(0)), unit(c.arg(1)), e(c.arg(2)), t(c.arg(3)), pandas(c.global("pandas")),
          numpy(c.global("numpy")) {}
    py::object uet, unit, e, t, pandas, numpy;
};

// cells_step: the time column's cells, one per row, where numpy holds them.
struct TimeCells {
    native::Holder hold;  // a view of the time column
    Objects cells;
};

// keys_step: the unit and kind of every row.
struct RowKeys {
    Keys units, kinds;
};

// occurrences_step: every time of every row, in collection order, with its
// row's unit (ranked by unit_order_step when the units are text), and what
// pandas makes of the times.
struct Occurrences {
    std::vector<int64_t> unit, time, row;
    Uniform unit_type, kind_type;
    py::object time_dtype;  // the times' type
    py::object time_zone;   // their zone, when they have one
};

// Everything the steps produce.
struct Examination {
    TimeCells cells;
    RowKeys keys;
    Occurrences occ;
};

Reason frame_step(const Context &cx) {
    Reason r = native::frame_reason("uet", cx.uet, cx.pandas);
    if (!r.empty()) return r;
    return native::columns_reason("uet", cx.uet, {{"unit", cx.unit}, {"e", cx.e}, {"t", cx.t}});
}

// The time column: an object column, its cells read where numpy holds
// them.  With it among the columns, every row is an object row: a row's
// values are each column's values as objects.
Reason cells_step(const Context &cx, TimeCells &out) {
    py::object column = cx.uet[cx.t];
    const native::ColumnType type = native::type_of(cx.pandas, cx.numpy, column);
    if (!type.numpy_kind("O"))
        return native::described("the time column", cx.t, type) + " is not an object column of time lists";
    const Py_buffer &view = out.hold.acquire(column.attr("to_numpy")(), PyBUF_STRIDES | PyBUF_FORMAT);
    const auto rows = static_cast<Py_ssize_t>(py::len(cx.uet));
    if (!(view.ndim == 1 && view.shape[0] == rows && view.itemsize == static_cast<Py_ssize_t>(sizeof(PyObject *)) &&
          view.format != nullptr && std::strcmp(view.format, "O") == 0))
        return "the time column " + native::text_of(cx.t) + " does not give one object per row";
    out.cells = {static_cast<const char *>(view.buf), rows, view.strides[0]};
    return {};
}

// A key column's values.  Where its dtype vouches for their type (numpy
// integers, pandas' own text) and none is missing, each distinct one is
// read once, coded by pandas.factorize; else the rows' values, one by one.
// Either way they are checked row by row where they are used.
Reason key_values(const Context &cx, Py_ssize_t rows, py::handle label, Keys &keys) {
    py::object column = cx.uet[label];
    const native::ColumnType type = native::type_of(cx.pandas, cx.numpy, column);
    const bool vouched = type.numpy_kind("i") || (type.family != native::ColumnType::Numpy && type.text);
    if (!vouched || native::has_missing(column)) {
        keys.code.resize(static_cast<size_t>(rows));
        std::iota(keys.code.begin(), keys.code.end(), int64_t{0});
        return native::row_values("uet", cx.uet, label, keys.values);
    }
    py::object factorized = cx.pandas.attr("factorize")(column);
    native::Holder hold;
    const int64_t *codes = native::buffer_of<int64_t>(cx.numpy, factorized[py::int_(0)], "int64", rows, hold);
    // The values as Series.tolist gives them, as the pandas path's reducer
    // hands out the kinds.
    py::object distinct = cx.pandas.attr("Series")(factorized[py::int_(1)]);
    PyObject *values = PySequence_List(distinct.attr("tolist")().ptr());
    if (values == nullptr) throw py::error_already_set();
    keys.values = py::reinterpret_steal<py::list>(values);
    const auto n = static_cast<int64_t>(PyList_GET_SIZE(values));
    if (n != static_cast<int64_t>(py::len(distinct)))
        return "the distinct values of the column " + native::text_of(label) + " of uet come as " +
               std::to_string(n) + " values for " + std::to_string(py::len(distinct));
    keys.code.assign(codes, codes + rows);
    for (int64_t code : keys.code)
        if (code < 0 || code >= n)
            return "pandas.factorize coded the column " + native::text_of(label) + " of uet beyond its values";
    return {};
}

Reason keys_step(const Context &cx, const TimeCells &cells, RowKeys &out) {
    Reason r = key_values(cx, cells.cells.count, cx.unit, out.units);
    return r.empty() ? key_values(cx, cells.cells.count, cx.e, out.kinds) : r;
}

// A cell's times where they lie: a list's items, or a one-dimensional
// object array's.
Reason cell_times(const Context &cx, py::handle ndarray, PyObject *cell, Objects &times) {
    if (PyList_CheckExact(cell)) {
        times = {reinterpret_cast<const char *>(PySequence_Fast_ITEMS(cell)), PyList_GET_SIZE(cell)};
        return {};
    }
    auto a_cell = [&] { return "a cell of the time column " + native::text_of(cx.t); };
    if (!native::exact_type(cell, ndarray) || !py::isinstance<py::array>(cell))
        return a_cell() + " is of type " + Py_TYPE(cell)->tp_name +
               ", not a list or array; make it a list of Timestamps";
    auto array = py::reinterpret_borrow<py::array>(cell);
    if (array.ndim() != 1) return a_cell() + " is an array of more than one dimension";
    if (array.dtype().kind() == 'O' && array.itemsize() == static_cast<py::ssize_t>(sizeof(PyObject *))) {
        times = {static_cast<const char *>(array.data()), array.shape(0), array.strides(0)};
        return {};
    }
    if (array.shape(0) != 0)
        return a_cell() + " is an array of " + native::utf8(py::str(array.dtype())) +
               ", not of Timestamps; make it a list of Timestamps";
    times = {};
    return {};
}

// The times as they are read: Timestamps of one time zone, so that one
// column holds them all and equal instants are equal times.  Of each
// resolution one is kept aside: the column's type is the one pandas gives
// those.
class TimeColumn {
public:
    explicit TimeColumn(py::handle pandas) : reader_(pandas) {}

    // Empty when `o` is such a time; `ns` gets its nanoseconds.  `t` labels
    // the time column in reasons.
    Reason read(py::handle t, PyObject *o, int64_t &ns) {
        py::object tz, unit;
        if (reader_.read(o, ns, aware_, &tz, &unit) != native::TimeReader::Time)
            return "the time lists of " + native::text_of(t) + " hold a value of type " + Py_TYPE(o)->tp_name +
                   " that is not a Timestamp within nanoseconds' range; drop NaT and convert them with "
                   "pandas.Timestamp";
        if (!zone_) zone_ = tz;
        if (!tz.is(zone_))
            return "the times of " + native::text_of(t) + " are not all of one time zone; convert them to one";
        // The units come as a few str objects: as a rule the same one as
        // the time before.
        if (!unit.is(resolution_)) {
            resolution_ = unit;
            if (!resolutions_.contains(unit)) resolutions_[unit] = py::handle(o);
        }
        return {};
    }

    // The column's type and zone, once some time was read.
    void describe(py::handle pandas, Occurrences &occ) const {
        if (!zone_) return;
        occ.time_dtype = pandas.attr("Series")(resolutions_.attr("values")()).attr("dtype");
        if (aware_) occ.time_zone = zone_;
    }

private:
    native::TimeReader reader_;
    bool aware_ = false;
    py::object zone_, resolution_;  // of the first time; of the time before
    py::dict resolutions_;
};

// Asks for the memory of a cell's times (the object and the line after its
// first: a Timestamp's fields span two) to be brought into the cache.
void fetch_ahead(const Objects &times) {
#if defined(__GNUC__) || defined(__clang__)
    for (Py_ssize_t i = 0; i < times.count; i++) {
        const char *o = reinterpret_cast<const char *>(times[i]);
        __builtin_prefetch(o);
        __builtin_prefetch(o + 64);
    }
#else
    (void)times;
#endif
}

// Every time of every row, in collection order, with its row's unit.
Reason occurrences_step(const Context &cx, const TimeCells &cells, const RowKeys &keys, Occurrences &occ) {
    py::object ndarray = cx.numpy.attr("ndarray");
    const Py_ssize_t rows = cells.cells.count;
    size_t total = 0;
    for (Py_ssize_t r = 0; r < rows; r++) {
        Objects times;
        Reason reason = cell_times(cx, ndarray, cells.cells[r], times);
        if (!reason.empty()) return reason;
        total += static_cast<size_t>(times.count);
    }
    for (auto *v : {&occ.unit, &occ.time, &occ.row}) v->reserve(total);
    TimeColumn column(cx.pandas);
    // Block by block: a block's cells are found afresh (a signal handler
    // may have changed one since), then read, with nothing run in between
    // that could change them.  The times of a cell a few rows on are
    // fetched into the cache while one is read: Timestamps lie scattered,
    // and read one after another each would wait on memory.
    constexpr Py_ssize_t kBlock = 256, kAhead = 4;
    Objects block[kBlock];
    for (Py_ssize_t start = 0; start < rows; start += kBlock) {
        const Py_ssize_t end = std::min(rows, start + kBlock);
        for (Py_ssize_t r = start; r < end; r++) {
            Reason reason = cell_times(cx, ndarray, cells.cells[r], block[r - start]);
            if (!reason.empty()) return reason;
        }
        for (Py_ssize_t r = start; r < std::min(end, start + kAhead); r++) fetch_ahead(block[r - start]);
        for (Py_ssize_t r = start; r < end; r++) {
            if (r + kAhead < end) fetch_ahead(block[r + kAhead - start]);
            const Objects &times = block[r - start];
            if (times.count == 0) continue;
            int64_t u = 0, ignored = 0;
            if (!occ.unit_type.take(keys.units.of(r), u))
                return "the unit column " + native::text_of(cx.unit) + " does not hold only int64 integers or only str";
            if (!occ.kind_type.take(keys.kinds.of(r), ignored))
                return "the kind column " + native::text_of(cx.e) + " does not hold only int64 integers or only str";
            for (Py_ssize_t i = 0; i < times.count; i++) {
                int64_t ns = 0;
                Reason reason = column.read(cx.t, times[i], ns);
                if (!reason.empty()) return reason;
                occ.unit.push_back(u);
                occ.time.push_back(ns);
                occ.row.push_back(r);
            }
        }
        check_interrupts();
    }
    column.describe(cx.pandas, occ);
    return {};
}

// Text units ranked in code point order, as pandas sorts them.
Reason unit_order_step(const TimeCells &cells, const RowKeys &keys, Occurrences &occ) {
    if (!occ.unit_type.text()) return {};
    const Py_ssize_t n = static_cast<Py_ssize_t>(occ.row.size());
    std::vector<std::pair<std::string, Py_ssize_t>> text;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (i > 0 && occ.row[i] == occ.row[i - 1]) continue;
        text.emplace_back(native::utf8(keys.units.of(occ.row[i])), i);
    }
    std::stable_sort(text.begin(), text.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    int64_t rank = -1;
    std::vector<int64_t> row_rank(static_cast<size_t>(cells.cells.count), 0);
    for (size_t j = 0; j < text.size(); j++) {
        if (j == 0 || text[j].first != text[j - 1].first) rank++;
        row_rank[static_cast<size_t>(occ.row[text[j].second])] = rank;
    }
    for (Py_ssize_t i = 0; i < n; i++) occ.unit[i] = row_rank[static_cast<size_t>(occ.row[i])];
    return {};
}

// The steps in order; the first reason ends the examination.
using Examined = native::Examined<Context, Examination>;
constexpr Examined::Step kSteps[] = {
    [](Examined &e) { return frame_step(e.context()); },
    [](Examined &e) { return cells_step(*e.cx, e.x.cells); },
    [](Examined &e) { return keys_step(*e.cx, e.x.cells, e.x.keys); },
    [](Examined &e) { return occurrences_step(*e.cx, e.x.cells, e.x.keys, e.x.occ); },
    [](Examined &e) { return unit_order_step(e.x.cells, e.x.keys, e.x.occ); },
};

// The result's rows, one per (unit, time): its unit (the object for text,
// else the int), its time in ticks and the list of its kinds, in
// collection order.  The numbers go straight into the arrays the result's
// columns are made of.
struct Groups {
    py::list text_units;
    py::array_t<int64_t> units, times;
    py::object kinds;  // an object array of lists
};

// Regrouped in C++: the occurrences ordered by (unit, time), in collection
// order within each.  Their rows give their units and kinds.
Groups regrouped(const Context &cx, const Examination &x) {
    const Occurrences &occ = x.occ;
    std::vector<int64_t> order, begin;
    events::regroup(occ.unit.data(), occ.time.data(), static_cast<int64_t>(occ.time.size()), order, begin);
    check_interrupts();
    const int64_t groups = static_cast<int64_t>(begin.size()) - 1;
    const bool text = occ.unit_type.text();
    Groups out;
    if (text)
        out.text_units = py::list(groups);
    else
        out.units = py::array_t<int64_t>(groups);
    out.times = py::array_t<int64_t>(groups);
    int64_t *units = text ? nullptr : out.units.mutable_data();
    int64_t *times = out.times.mutable_data();
    native::ObjectArray kinds(cx.numpy, groups);
    for (int64_t g = 0; g < groups; g++) {
        const int64_t first = begin[g], last = begin[g + 1];
        py::list these(last - first);
        for (int64_t i = first; i < last; i++) {
            PyObject *kind = x.keys.kinds.of(occ.row[order[i]]);
            Py_INCREF(kind);
            PyList_SET_ITEM(these.ptr(), i - first, kind);
        }
        kinds.set(g, std::move(these));
        const int64_t o = order[first];
        if (text) {
            PyObject *u = x.keys.units.of(occ.row[o]);
            Py_INCREF(u);
            PyList_SET_ITEM(out.text_units.ptr(), g, u);
        } else {
            units[g] = occ.unit[o];
        }
        times[g] = occ.time[o];
    }
    out.kinds = std::move(kinds.array);
    return out;
}

// The result frame.  Its columns, each as pandas makes it of the objects on
// the pandas path: units (int64, or text as pandas holds text), the times
// in the type pandas gives those Timestamps, and one list of kinds per row.
// They are the frame's own: it takes them without a copy.
py::object ute_frame(Call &c, const Context &cx, const Occurrences &occ, const Groups &g) {
    py::list columns;
    columns.append(cx.unit);
    columns.append(cx.t);
    columns.append(cx.e);
    if (g.times.size() == 0) return cx.pandas.attr("DataFrame")(py::arg("columns") = columns);
    MOVRA_AT(c);
    py::object times = cx.pandas.attr("Series")(g.times.attr("view")("M8[ns]"));
    if (occ.time_zone)
        times = times.attr("dt").attr("tz_localize")("UTC").attr("dt").attr("tz_convert")(occ.time_zone);
    times = times.attr("astype")(occ.time_dtype);
    py::dict parts;
    parts[py::int_(0)] = occ.unit_type.text() ? py::object(g.text_units) : py::object(g.units);
    parts[py::int_(1)] = times;
    parts[py::int_(2)] = g.kinds;
    py::object ute = cx.pandas.attr("DataFrame")(parts, py::arg("copy") = false);
    ute.attr("columns") = columns;
    return ute;
}

}  // namespace

py::object uet2ute_native(Call &c) {
    native::CollectorPause pause;
    Examined e(c);
    const py::object uet = c.arg(0);
    if (!native::kernel_takes(e, kSteps, native::Layer::Uet2ute, uet)) return py::object();
    MOVRA_AT(c);
    return ute_frame(c, *e.cx, e.x.occ, regrouped(*e.cx, e.x));
}

}  // namespace movra
