// The time axis tactic[0] and the lags that shift it: integers, floats or
// datetimes, and lags in the axis' own type.
#include "examination.h"

#include <cmath>

namespace movra::fe4ts_layer {

int64_t ticks_per_second(const std::string &unit) {
    int64_t per_second = 1;
    for (const char *u : {"s", "ms", "us", "ns"}) {
        if (unit == u) return per_second;
        per_second *= 1000;
    }
    return 0;
}

namespace {

// A datetime axis as int64 ticks of its unit, with its zone.  An
// Arrow-backed one is first made the numpy-backed column of its unit and
// zone.
Reason datetime_axis(const Context &cx, py::handle column, const ColumnType &t, const Buffers &buffers,
                     TimeAxis &axis) {
    py::object dates = py::reinterpret_borrow<py::object>(column);
    if (t.family == ColumnType::Arrow) {
        py::object pa = column.attr("dtype").attr("pyarrow_dtype");
        // A date axis (date32, date64) spans datetime.date cells and
        // compares only with dates.
        if (!py::hasattr(pa, "unit"))
            return axis.what + " holds dates, whose span cells are datetime.date objects the kernel does not "
                               "build; cast it to timestamp[s][pyarrow] or datetime64[s]";
        const std::string unit = utf8(pa.attr("unit"));
        py::object tz = pa.attr("tz");
        py::object target = tz.is_none() ? py::object(py::str("datetime64[" + unit + "]"))
                                         : cx.pandas.attr("DatetimeTZDtype")(unit, tz);
        dates = column.attr("astype")(target);
    }
    py::object array = dates.attr("array");
    axis.kind = TimeAxis::Datetime;
    axis.unit = utf8(array.attr("unit"));
    axis.tz = array.attr("tz");
    axis.dtype = dates.attr("dtype");
    axis.parses_text = t.family != ColumnType::Arrow;
    const int64_t per_second = ticks_per_second(axis.unit);
    if (per_second == 0) return axis.what + " has a unit the kernel does not know";
    axis.per_second = per_second;
    axis.column.i64 = buffers.of<int64_t>(array.attr("asi8"), "int64");
    return {};
}

}  // namespace

// Without missing values where the column's kind has no NaN.
Reason time_step(const Context &cx, const CallShape &call, const Buffers &buffers, TimeAxis &out) {
    py::object name = call.tactic[0];
    py::object column = cx.args.column(name);
    const ColumnType t = type_of(cx.pandas, cx.numpy, column);
    out.what = described("the time column", name, t);
    const std::string &what = out.what;
    const bool lags = !call.lag.empty();
    if (t.numpy_kind("i") || (t.nullable_number() && t.kind == 'i')) {
        out.kind = TimeAxis::Int;
        out.width = t.family == ColumnType::Arrow
                        ? column.attr("dtype").attr("pyarrow_dtype").attr("bit_width").cast<int>() / 8
                        : t.size;
        // Day numbers of a date accessor are read at their width, where they
        // lie (Arrow ones in one chunk without nulls); any other column is
        // converted.
        if (is_narrow_time(t)) {
            narrow_column(column, t, buffers, out.column);
        } else if (!arrow_integers(column, t, buffers, true, out.column)) {
            if (t.family != ColumnType::Numpy && has_missing(column))
                return what + " has missing times; fill or drop them, or cast it to float64";
            out.column.i64 = buffers.of<int64_t>(numbers(column, "int64"), "int64");
        }
    } else if (t.numpy_kind("u") || (t.nullable_number() && t.kind == 'u')) {
        if (lags) return what + " is unsigned, and its shifted times wrap around; cast it to int64";
        if (t.size == 8 || t.family == ColumnType::Arrow) return what + " may exceed int64; cast it to int64";
        if (t.family != ColumnType::Numpy && has_missing(column))
            return what + " has missing times; fill or drop them, or cast it to float64";
        out.kind = TimeAxis::Int;
        out.column.i64 = buffers.of<int64_t>(numbers(column, "int64"), "int64");
    } else if (t.numpy_kind("f") || (t.nullable_number() && t.kind == 'f')) {
        if (t.family != ColumnType::Numpy && has_missing(column))
            return what + " holds pd.NA, which compares unlike NaN; cast it to float64";
        const bool narrow = t.family == ColumnType::Arrow ? utf8(py::str(column.attr("dtype"))).find("float") == 0
                                                          : t.size == 4;
        if (narrow && lags) return what + " shifts in float32 arithmetic; cast it to float64";
        out.kind = TimeAxis::Float;
        out.float32 = narrow;
        out.column.f64 = buffers.of<double>(numbers(column, "float64"), "float64");
    } else if (t.datetime()) {
        if (lags) return what + " is a datetime axis with lags, which the kernel does not shift; use integer days";
        if (has_missing(column)) return what + " has missing times (NaT); drop them";
        return datetime_axis(cx, column, t, buffers, out);
    } else {
        return what + " is not a number or datetime axis the kernel orders; use int64, float64 or datetime64";
    }
    return {};
}

// time - l keeps an integer axis integral for int lags and for float lags
// of integral value (merge then compares the shifted float times with the
// integer ones exactly, within 2**53); a fractional float lag on an
// integer axis makes pandas warn about the merge keys, so it stays on the
// pandas path.
Reason lag_step(const CallShape &call, const TimeAxis &time, Lags &out) {
    const bool integer = time.kind == TimeAxis::Int;
    const std::string &time_name = call.tactic_names[0];
    for (const auto &l : call.lag) {
        k::Scalar s;
        int64_t i = 0;
        if (as_int64(l, i) && !PyBool_Check(l.ptr())) {
            if (integer) {
                s.i = i;
            } else {
                if (std::fabs(static_cast<double>(i)) > kExactInDouble) return "the lag " + text_of(l) + " is beyond 2**53";
                s.f = static_cast<double>(i);
            }
        } else if (is_float(l)) {
            const double f = PyFloat_AS_DOUBLE(l.ptr());
            if (integer) {
                if (!(std::isfinite(f) && f == std::floor(f) && std::fabs(f) <= kExactInDouble))
                    return "the lag " + text_of(l) + " is not a whole number, on the integer " + time.what;
                s.i = static_cast<int64_t>(f);
                out.needs_exact_times = true;
            } else {
                s.f = f;
            }
        } else {
            return "the lag " + text_of(l) + " is not an int or float";
        }
        // A narrow integer axis shifts in its own width: only lags and times
        // that cannot wrap around there give int64's results.
        if (integer && time.width < 8) {
            if (!(std::fabs(static_cast<double>(s.i)) < std::ldexp(1.0, 8 * time.width - 2)))
                return "the lag " + text_of(l) + " could wrap around on " + time.what;
            out.narrow_time_check = true;
        }
        out.shifts.push_back(s);
        out.names.push_back(utf8(py::str(l)));
        // The shifted time column must not replace the reading column.
        if (time_name + "_" + out.names.back() == call.value)
            return "the shifted time column of the lag " + text_of(l) + " would replace the value column";
    }
    return {};
}

}  // namespace movra::fe4ts_layer
