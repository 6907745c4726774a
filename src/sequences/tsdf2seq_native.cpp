// tsdf2seq on the native kernel.
//
// The pandas path sorts a copy of the whole frame, builds a boolean mask per
// cut and slices a Series: a few hundred microseconds of pandas machinery
// per call, however short the series.  Called once per consumer, that is
// most of the time spent.  Here the two columns are read as buffers, the
// kernel orders and cuts the rows, and the value column's kept entries are
// taken in one numpy call.
//
// Taken: plain DataFrames with unique column labels, a length cut ("post" or
// "pre") so the result is one-dimensional, a time column of integers,
// float64 or naive datetime64 without missing times, a value column of a
// numpy dtype, and a date the column compares with exactly (a Python int or
// float for numbers; a naive Timestamp, datetime or datetime64 for times,
// with an int look-back in days).
#include "tsdf2seq_native.h"

#include "../module/table.h"
#include "../native/buffers.h"
#include "../native/examine.h"
#include "../native/frames.h"
#include "../native/scalars.h"
#include "event_kernels.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace movra {

namespace {

using native::Reason;

constexpr int64_t kLargestTick = int64_t{1} << 62;

// Attoseconds per tick of a numpy datetime unit (those a linear count of),
// or null.
const char *attoseconds_per(const std::string &unit) {
    if (unit == "W") return "604800000000000000000000";
    if (unit == "D") return "86400000000000000000000";
    if (unit == "h") return "3600000000000000000000";
    if (unit == "m") return "60000000000000000000";
    if (unit == "s") return "1000000000000000000";
    if (unit == "ms") return "1000000000000000";
    if (unit == "us") return "1000000000000";
    if (unit == "ns") return "1000000000";
    return nullptr;
}

py::int_ big(const char *digits) { return py::reinterpret_steal<py::int_>(PyLong_FromString(digits, nullptr, 10)); }

Reason to_int64(py::handle value, int64_t &out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v >= kLargestTick || v <= -kLargestTick) return "a time or date is beyond 2**62 ticks";
    out = v;
    return {};
}

// Attoseconds per tick of a datetime64 dtype's unit, e.g. of "ns" for
// datetime64[ns]; multiples of a unit (datetime64[10s]), generic ones and
// those of no fixed length are declined.
Reason per_tick_of(const py::dtype &dtype, py::object &out) {
    const std::string name = py::str(dtype.attr("str"));  // "<M8[ns]": str(dtype) runs Python code
    const size_t open = name.find('[');
    if (dtype.kind() != 'M' || open == std::string::npos || name.back() != ']') return "a datetime64 has no unit";
    const std::string unit = name.substr(open + 1, name.size() - open - 2);
    if (unit.empty() || !std::isalpha(static_cast<unsigned char>(unit[0])))
        return "a datetime64's unit is a multiple of one; cast it to datetime64[ns]";
    const char *digits = attoseconds_per(unit);
    if (digits == nullptr) return "the datetime unit '" + unit + "' is not a fixed length of time";
    out = big(digits);
    return {};
}

// A naive point in time as attoseconds since the epoch (an exact Python
// int): pandas Timestamps, datetime.datetime and numpy datetime64 only.
Reason attoseconds(py::handle numpy, py::handle pandas, py::handle datetime, py::handle when, py::object &out) {
    py::object stamp = py::reinterpret_borrow<py::object>(when);
    if (native::exact_type(when, pandas.attr("Timestamp"))) {
        if (!py::object(stamp.attr("tz")).is_none()) return "date has a time zone, the time column none";
        stamp = stamp.attr("asm8");
    } else if (native::exact_type(when, datetime)) {
        if (!py::object(stamp.attr("tzinfo")).is_none()) return "date has a time zone, the time column none";
        stamp = numpy.attr("datetime64")(stamp, "us");
    }
    if (!native::exact_type(stamp, numpy.attr("datetime64")))
        return "date is not a pandas Timestamp, datetime.datetime or numpy.datetime64";
    py::int_ ticks = stamp.attr("view")("int64");
    int64_t tick = 0;
    if (Reason r = to_int64(ticks, tick); !r.empty()) return r;
    if (tick == INT64_MIN) return "date is NaT";
    py::object per_tick;
    if (Reason r = per_tick_of(stamp.attr("dtype"), per_tick); !r.empty()) return r;
    out = ticks * per_tick;
    return {};
}

// The column's readings were sorted with NaT first or NaN last: neither is
// a time the kernel orders as pandas does.
template <class T>
bool any_missing(const T *t, int64_t n) {
    for (int64_t i = 0; i < n; i++)
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(t[i])) return true;
        } else if (t[i] == INT64_MIN) {
            return true;
        }
    return false;
}

// The position of the one column labelled `label` (equal as pandas finds
// labels: 1 finds 1.0).
Reason position_of(const py::list &labels, py::handle label, Py_ssize_t &found) {
    found = -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.ptr()); i++) {
        const int equal = PyObject_RichCompareBool(PyList_GET_ITEM(labels.ptr(), i), label.ptr(), Py_EQ);
        if (equal < 0) throw py::error_already_set();
        if (equal) {
            if (found >= 0) return "df has more than one column equal to " + native::text_of(label);
            found = i;
        }
    }
    if (found < 0) return "df has no column " + native::text_of(label);
    return {};
}

// A column's values as numpy holds them.  Selecting the column as a Series
// costs more than the whole kernel on a year's readings, so the frame's
// column array is read directly (a pandas without that accessor takes the
// pandas path).  Extension dtypes (text, zoned times, nullable numbers) are
// declined; naive datetimes come as numpy's datetime64.
Reason column_array(py::handle df, const py::list &labels, py::handle label, py::array &out) {
    Py_ssize_t position = 0;
    Reason r = position_of(labels, label, position);
    if (!r.empty()) return r;
    py::object array = df.attr("_get_column_array")(position);
    auto the_column = [&] { return "the column " + native::text_of(label); };
    if (!py::isinstance<py::dtype>(array.attr("dtype")))
        return the_column() + " is of an extension dtype; cast it to a numpy dtype";
    // Datetime arrays wrap their numpy array; asking for it directly skips
    // numpy's conversion protocol, which runs Python code.
    if (!py::isinstance<py::array>(array)) array = array.attr("_ndarray");
    if (!py::isinstance<py::array>(array) || py::array(array).ndim() != 1)
        return the_column() + " is not held as a one-dimensional numpy array";
    out = py::reinterpret_borrow<py::array>(array);
    return {};
}

// The call being examined: its arguments and the libraries it runs on (the
// module's own bindings of pandas and numpy).
struct Context {
    explicit Context(const Call &c)
        : df(c.arg(0)), t(c.arg(1)), s(c.arg(2)), date(c.arg(3)), maxlen(c.arg(4)), cut(c.arg(5)),
          maxdays(c.arg(6)), pandas(c.global("pandas")), numpy(c.global("numpy")) {}
    py::object df, t, s, date, maxlen, cut, maxdays, pandas, numpy;
};

// columns_step: the time and value columns.
struct Columns {
    py::array times, values;
    int64_t n = 0;
};

// time_axis_step: the times as the kernel compares them, and the bounds the
// date sets.
struct TimeAxis {
    native::Holder hold;  // what the kernel's pointers point into
    bool by_date = false, float_times = false;
    const int64_t *ticks = nullptr;
    const double *reals = nullptr;
    events::TimeBounds<int64_t> tick_bounds;
    events::TimeBounds<double> real_bounds;
};

// Everything the steps produce.
struct Examination {
    events::PositionSlice keep;  // length_cut_step
    Columns columns;
    TimeAxis time;
    bool read_only = false;  // read_only_step
};

Reason frame_step(const Context &cx) { return native::frame_reason("df", cx.df, cx.pandas); }

// A one-dimensional result: a length cut, "post" or "pre".
Reason length_cut_step(const Context &cx, events::PositionSlice &keep) {
    if (!truth(cx.maxlen) || !PyLong_CheckExact(cx.maxlen.ptr()) || !PyUnicode_CheckExact(cx.cut.ptr()))
        return "the result is not a length cut of one column (maxlen a nonzero int, cut \"post\" or \"pre\")";
    const std::string side = py::str(cx.cut);
    if (side != "post" && side != "pre") return "cut is " + native::text_of(cx.cut) + ", not \"post\" or \"pre\"";
    int overflow = 0;
    long long length = PyLong_AsLongLongAndOverflow(cx.maxlen.ptr(), &overflow);
    if (length == -1 && PyErr_Occurred()) throw py::error_already_set();
    // Beyond any row count every bound acts alike.
    if (overflow != 0 || length >= kLargestTick) length = overflow < 0 ? -kLargestTick : kLargestTick;
    if (length <= -kLargestTick) length = -kLargestTick;
    if (side == "post") {
        keep.has_start = true;
        keep.start = -length;
    } else {
        keep.has_stop = true;
        keep.stop = length;
    }
    return {};
}

// The two columns, each a single column of a numpy dtype.
Reason columns_step(const Context &cx, Columns &out) {
    if (!native::is_label(cx.t) || !native::is_label(cx.s)) return "t and s are not both str or int column labels";
    py::list labels = cx.df.attr("columns").attr("tolist")();
    if (PySet_Size(py::set(labels).ptr()) != PyList_GET_SIZE(labels.ptr()))
        return "df has repeated column labels; make them unique";
    Reason r = column_array(cx.df, labels, cx.t, out.times);
    if (r.empty()) r = column_array(cx.df, labels, cx.s, out.values);
    if (!r.empty()) return r;
    if (std::string("biufcmM").find(out.values.dtype().kind()) == std::string::npos)
        return "the value column " + native::text_of(cx.s) + " is not of numbers, bool or datetimes";
    out.n = static_cast<int64_t>(out.times.size());
    return {};
}

// A datetime64 axis: ticks of the column's unit; bounds rounded inward to
// whole ticks, which keeps exactly the times pandas keeps.
Reason datetime_axis(const Context &cx, const Columns &columns, py::handle datetime, TimeAxis &out) {
    py::object datetime_type = datetime.attr("datetime");
    out.ticks = native::buffer_of<int64_t>(cx.numpy, columns.times.attr("view")("int64"), "int64", columns.n, out.hold);
    if (any_missing(out.ticks, columns.n))
        return "the time column " + native::text_of(cx.t) + " has NaT; drop those rows";
    if (!out.by_date) return {};
    py::object per_tick, upto;
    Reason r = per_tick_of(columns.times.dtype(), per_tick);
    if (r.empty()) r = attoseconds(cx.numpy, cx.pandas, datetime_type, cx.date, upto);
    if (r.empty()) r = to_int64(upto.attr("__floordiv__")(per_tick), out.tick_bounds.upto);
    if (!r.empty()) return r;
    out.tick_bounds.has_upto = true;
    if (truth(cx.maxdays)) {
        if (!PyLong_CheckExact(cx.maxdays.ptr())) return "maxdays is " + native::text_of(cx.maxdays) + ", not an int";
        py::object from = cx.date - datetime.attr("timedelta")(py::arg("days") = cx.maxdays);
        py::object since;
        r = attoseconds(cx.numpy, cx.pandas, datetime_type, from, since);
        int64_t negated = 0;
        if (r.empty()) r = to_int64((-since).attr("__floordiv__")(per_tick), negated);
        if (!r.empty()) return r;
        out.tick_bounds.has_from = true;
        out.tick_bounds.from = -negated;
    }
    return {};
}

// A number axis: integers compared as int64, or, with a float among the
// column and the date, as float64, as numpy compares them.
Reason number_axis(const Context &cx, const Columns &columns, TimeAxis &out) {
    const py::dtype dtype = columns.times.dtype();
    const char kind = dtype.kind();
    if (!(kind == 'i' || (kind == 'u' && dtype.itemsize() <= 4) || (kind == 'f' && dtype.itemsize() == 8)))
        return "the time column " + native::text_of(cx.t) + " is not of integers, float64 or datetime64";
    // A date minus a timedelta is not a number: the pandas path raises.
    if (out.by_date && truth(cx.maxdays)) return "maxdays is given with a date that is a number";
    const bool real_date = out.by_date && PyFloat_CheckExact(cx.date.ptr());
    if (out.by_date && !real_date && !PyLong_CheckExact(cx.date.ptr()))
        return "date is " + native::text_of(cx.date) + ", not an int or float";
    // numpy 1.x compares 8- and 16-bit integers with a Python float in a
    // narrower float, which rounds the date.
    if (real_date && dtype.itemsize() < 4) return "date is a float, compared with 8- or 16-bit integers";
    out.float_times = kind == 'f' || real_date;
    if (!out.float_times) {
        out.ticks = native::buffer_of<int64_t>(cx.numpy, columns.times, "int64", columns.n, out.hold);
        if (!out.by_date) return {};
        out.tick_bounds.has_upto = true;
        return to_int64(cx.date, out.tick_bounds.upto);
    }
    // numpy compares integers with a float as float64.
    out.reals = native::buffer_of<double>(cx.numpy, columns.times, "float64", columns.n, out.hold);
    if (any_missing(out.reals, columns.n))
        return "the time column " + native::text_of(cx.t) + " has NaN; drop those rows";
    if (kind != 'f')
        for (int64_t i = 0; i < columns.n; i++)
            if (std::fabs(out.reals[i]) > native::kExactInDouble)
                return "the time column " + native::text_of(cx.t) + " holds integers beyond 2**53";
    if (!out.by_date) return {};
    out.real_bounds.has_upto = true;
    if (real_date) {
        out.real_bounds.upto = PyFloat_AS_DOUBLE(cx.date.ptr());
        return {};
    }
    int64_t upto = 0;
    Reason r = to_int64(cx.date, upto);
    out.real_bounds.upto = static_cast<double>(upto);
    return r;
}

Reason time_axis_step(const Call &c, const Context &cx, const Columns &columns, TimeAxis &out) {
    out.by_date = truth(cx.date);
    py::object datetime = c.global("datetime");
    return columns.times.dtype().kind() == 'M' ? datetime_axis(cx, columns, datetime, out)
                                               : number_axis(cx, columns, out);
}

// Whether pandas hands out `.values` of a sliced Series read-only: always
// under pandas 3 (copy-on-write), on 2.x only when copy-on-write is on.
Reason read_only_step(const Context &cx, bool &read_only) {
    const std::string version = py::str(cx.pandas.attr("__version__"));
    if (std::stoi(version) >= 3) {
        read_only = true;
        return {};
    }
    py::object mode = cx.pandas.attr("get_option")("mode.copy_on_write");
    if (!PyBool_Check(mode.ptr())) return "pandas' mode.copy_on_write is " + native::text_of(mode);
    read_only = mode.ptr() == Py_True;
    return {};
}

// The steps in order; the first reason ends the examination.
using Examined = native::Examined<Context, Examination>;
constexpr Examined::Step kSteps[] = {
    [](Examined &e) { return frame_step(e.context()); },
    [](Examined &e) { return length_cut_step(*e.cx, e.x.keep); },
    [](Examined &e) { return columns_step(*e.cx, e.x.columns); },
    [](Examined &e) { return time_axis_step(e.c, *e.cx, e.x.columns, e.x.time); },
    [](Examined &e) { return read_only_step(*e.cx, e.x.read_only); },
};

// The kept values in time order, as a new array of the column's dtype.
py::object kept_values(const Examination &x) {
    std::vector<int64_t> kept;
    const TimeAxis &time = x.time;
    if (time.float_times)
        events::cut_series(time.reals, x.columns.n, time.real_bounds, x.keep, kept);
    else
        events::cut_series(time.ticks, x.columns.n, time.tick_bounds, x.keep, kept);
    // numpy's own array (the `numpy` global may be rebound to anything).
    const py::array_t<int64_t> positions(static_cast<py::ssize_t>(kept.size()), kept.data());
    py::object result = x.columns.values.attr("take")(positions);
    if (x.read_only) py::setattr(result.attr("flags"), "writeable", py::bool_(false));
    return result;
}

}  // namespace

py::object tsdf2seq_native(Call &c) {
    Examined e(c);
    // A declined call takes the pandas path without a warning: that path
    // costs about the same per call whatever the series' length, so no
    // size makes it one to warn about.
    if (!native::examine(e, kSteps).empty()) return py::object();
    MOVRA_AT(c);
    return kept_values(e.x);
}

}  // namespace movra
