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
#include "events_native.h"
#include "kernel/event_kernels.h"

#include "../module/table.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>

namespace movra {

namespace {

using native::require;

constexpr int64_t kLargestTick = int64_t{1} << 62;
constexpr double kExactInDouble = 9007199254740992.0;  // 2**53

// Attoseconds per tick of a numpy datetime unit (those a linear count of).
const char *attoseconds_per(const std::string &unit) {
    if (unit == "W") return "604800000000000000000000";
    if (unit == "D") return "86400000000000000000000";
    if (unit == "h") return "3600000000000000000000";
    if (unit == "m") return "60000000000000000000";
    if (unit == "s") return "1000000000000000000";
    if (unit == "ms") return "1000000000000000";
    if (unit == "us") return "1000000000000";
    if (unit == "ns") return "1000000000";
    require(false);
    return nullptr;
}

py::int_ big(const char *digits) { return py::reinterpret_steal<py::int_>(PyLong_FromString(digits, nullptr, 10)); }

int64_t to_int64(py::handle value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    require(overflow == 0 && v < kLargestTick && v > -kLargestTick);
    return v;
}

// The unit of a datetime64 dtype, e.g. "ns" of datetime64[ns]; multiples of
// a unit (datetime64[10s]) and generic ones are declined.
std::string unit_of(const py::dtype &dtype) {
    const std::string name = py::str(dtype.attr("str"));  // "<M8[ns]": str(dtype) runs Python code
    const size_t open = name.find('[');
    require(dtype.kind() == 'M' && open != std::string::npos && name.back() == ']');
    std::string unit = name.substr(open + 1, name.size() - open - 2);
    require(!unit.empty() && std::isalpha(static_cast<unsigned char>(unit[0])));
    return unit;
}

// A naive point in time as attoseconds since the epoch (an exact Python
// int): pandas Timestamps, datetime.datetime and numpy datetime64 only.
py::object attoseconds(py::handle numpy, py::handle pandas, py::handle datetime, py::handle when) {
    py::object stamp = py::reinterpret_borrow<py::object>(when);
    if (native::exact_type(when, pandas.attr("Timestamp"))) {
        require(py::object(stamp.attr("tz")).is_none());
        stamp = stamp.attr("asm8");
    } else if (native::exact_type(when, datetime)) {
        require(py::object(stamp.attr("tzinfo")).is_none());
        stamp = numpy.attr("datetime64")(stamp, "us");
    }
    require(native::exact_type(stamp, numpy.attr("datetime64")));
    py::int_ ticks = stamp.attr("view")("int64");
    require(to_int64(ticks) != INT64_MIN);  // NaT
    const py::dtype dtype = stamp.attr("dtype");
    return ticks * big(attoseconds_per(unit_of(dtype)));
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
Py_ssize_t position_of(const py::list &labels, py::handle label) {
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.ptr()); i++) {
        const int equal = PyObject_RichCompareBool(PyList_GET_ITEM(labels.ptr(), i), label.ptr(), Py_EQ);
        if (equal < 0) throw py::error_already_set();
        if (equal) {
            require(found < 0);
            found = i;
        }
    }
    require(found >= 0);
    return found;
}

// A column's values as numpy holds them.  Selecting the column as a Series
// costs more than the whole kernel on a year's readings, so the frame's
// column array is read directly (a pandas without that accessor takes the
// pandas path).  Extension dtypes (text, zoned times, nullable numbers) are
// declined; naive datetimes come as numpy's datetime64.
py::array column_array(py::handle df, Py_ssize_t position) {
    py::object array = df.attr("_get_column_array")(position);
    require(py::isinstance<py::dtype>(array.attr("dtype")));
    // Datetime arrays wrap their numpy array; asking for it directly skips
    // numpy's conversion protocol, which runs Python code.
    if (!py::isinstance<py::array>(array)) array = array.attr("_ndarray");
    require(py::isinstance<py::array>(array) && py::array(array).ndim() == 1);
    return py::reinterpret_borrow<py::array>(array);
}

// Whether pandas hands out `.values` of a sliced Series read-only: always
// under pandas 3 (copy-on-write), on 2.x only when copy-on-write is on.
bool values_read_only(py::handle pandas) {
    const std::string version = py::str(pandas.attr("__version__"));
    if (std::stoi(version) >= 3) return true;
    py::object mode = pandas.attr("get_option")("mode.copy_on_write");
    require(PyBool_Check(mode.ptr()));
    return mode.ptr() == Py_True;
}

}  // namespace

py::object tsdf2seq_native(Call &c) {
    py::object df = c.arg(0), t = c.arg(1), s = c.arg(2), date = c.arg(3), maxlen = c.arg(4), cut = c.arg(5),
               maxdays = c.arg(6);
    std::vector<py::object> hold;
    py::object values;
    bool read_only = false, float_times = false;
    const int64_t *ticks = nullptr;
    const double *reals = nullptr;
    int64_t n = 0;
    events::TimeBounds<int64_t> tick_bounds;
    events::TimeBounds<double> real_bounds;
    events::PositionSlice keep;

    const bool taken = native::examined([&] {
        py::object pandas = c.global("pandas"), numpy = c.global("numpy");
        require(native::exact_type(df, pandas.attr("DataFrame")));

        // A one-dimensional result: a length cut, "post" or "pre".
        require(truth(maxlen) && PyLong_CheckExact(maxlen.ptr()) && PyUnicode_CheckExact(cut.ptr()));
        const std::string side = py::str(cut);
        require(side == "post" || side == "pre");
        int overflow = 0;
        long long length = PyLong_AsLongLongAndOverflow(maxlen.ptr(), &overflow);
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

        // The two columns, each a single column of a numpy dtype.
        auto is_label = [](py::handle o) { return PyUnicode_CheckExact(o.ptr()) || PyLong_CheckExact(o.ptr()); };
        require(is_label(t) && is_label(s));
        py::list labels = df.attr("columns").attr("tolist")();
        require(PySet_Size(py::set(labels).ptr()) == PyList_GET_SIZE(labels.ptr()));
        py::array times = column_array(df, position_of(labels, t)), kept = column_array(df, position_of(labels, s));
        const py::dtype time_dtype = times.dtype();
        const char time_kind = time_dtype.kind(), value_kind = kept.dtype().kind();
        require(std::string("biufcmM").find(value_kind) != std::string::npos);
        n = static_cast<int64_t>(times.size());
        values = kept;
        py::object time_values = times;

        const bool by_date = truth(date);
        py::object datetime = c.global("datetime"), datetime_type = datetime.attr("datetime");
        if (time_kind == 'M') {
            // Ticks of the column's unit; bounds rounded inward to whole ticks,
            // which keeps exactly the times pandas keeps.
            ticks = native::buffer_of<int64_t>(numpy, time_values.attr("view")("int64"), "int64", n, hold);
            require(!any_missing(ticks, n));
            if (by_date) {
                py::object per_tick = big(attoseconds_per(unit_of(time_dtype)));
                tick_bounds.has_upto = true;
                py::object upto = attoseconds(numpy, pandas, datetime_type, date);
                tick_bounds.upto = to_int64(upto.attr("__floordiv__")(per_tick));
                if (truth(maxdays)) {
                    require(PyLong_CheckExact(maxdays.ptr()));
                    py::object from = date - datetime.attr("timedelta")(py::arg("days") = maxdays);
                    py::object negated = -attoseconds(numpy, pandas, datetime_type, from);
                    tick_bounds.has_from = true;
                    tick_bounds.from = -to_int64(negated.attr("__floordiv__")(per_tick));
                }
            }
        } else {
            require(time_kind == 'i' || (time_kind == 'u' && time_dtype.itemsize() <= 4) ||
                    (time_kind == 'f' && time_dtype.itemsize() == 8));
            // A date minus a timedelta is not a number: the pandas path raises.
            require(!by_date || !truth(maxdays));
            const bool real_date = by_date && PyFloat_CheckExact(date.ptr());
            require(!by_date || real_date || PyLong_CheckExact(date.ptr()));
            // numpy 1.x compares 8- and 16-bit integers with a Python float in
            // a narrower float, which rounds the date.
            require(!real_date || time_dtype.itemsize() >= 4);
            float_times = time_kind == 'f' || real_date;
            if (float_times) {
                // numpy compares integers with a float as float64.
                reals = native::buffer_of<double>(numpy, time_values, "float64", n, hold);
                require(!any_missing(reals, n));
                if (time_kind != 'f')
                    for (int64_t i = 0; i < n; i++) require(std::fabs(reals[i]) <= kExactInDouble);
                if (by_date) {
                    real_bounds.has_upto = true;
                    real_bounds.upto = real_date ? PyFloat_AS_DOUBLE(date.ptr()) : static_cast<double>(to_int64(date));
                }
            } else {
                ticks = native::buffer_of<int64_t>(numpy, time_values, "int64", n, hold);
                if (by_date) {
                    tick_bounds.has_upto = true;
                    tick_bounds.upto = to_int64(date);
                }
            }
        }
        read_only = values_read_only(pandas);
    });
    if (!taken) {
        if (PyErr_Occurred()) PyErr_Clear();
        return py::object();
    }

    MOVRA_AT(c);
    std::vector<int64_t> kept;
    if (float_times)
        events::cut_series(reals, n, real_bounds, keep, kept);
    else
        events::cut_series(ticks, n, tick_bounds, keep, kept);

    // The kept values in time order, as a new array of the column's dtype.
    py::object numpy = c.global("numpy");
    py::object positions = numpy.attr("empty")(py::int_(kept.size()), "int64");
    py::buffer_info info = py::buffer(positions).request(true);
    std::copy(kept.begin(), kept.end(), static_cast<int64_t *>(info.ptr));
    py::object result = values.attr("take")(positions);
    if (read_only) py::setattr(result.attr("flags"), "writeable", py::bool_(false));
    return result;
}

}  // namespace movra
