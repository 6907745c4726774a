// Window bounds on the time axis (window_bounds.h).
#include "window_bounds.h"


#include <pybind11/numpy.h>

#include <cmath>
#include <limits>

namespace movra::fe4ts_layer {

bool bound_ticks(int64_t v, int64_t from, int64_t to, bool lower, int64_t &out) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
    if (from < to) {
        // One beyond int64 in finer ticks lies beyond every time.
        const int64_t f = to / from;
        if (v > kMax / f || v < kMin / f) {
            if ((v > 0) == lower) return false;
            out = v > 0 ? kMax : kMin;
            return true;
        }
        out = v * f;
    } else if (from > to) {
        const int64_t f = from / to;
        int64_t q = v / f;
        if (v % f != 0 && v < 0) q -= 1;  // floor
        if (lower && q * f != v) q += 1;  // ceil for a lower bound
        out = q;
    } else {
        out = v;
    }
    return true;
}

Reason BoundReader::operator()(py::handle o, bool lower, k::Scalar &out) {
    switch (time_.kind) {
        case TimeAxis::Int:
            return integer(o, lower, out);
        case TimeAxis::Float:
            return floating(o, out);
        case TimeAxis::Datetime:
            return datetime(o, lower, out);
    }
    return {};
}

Reason BoundReader::integer(py::handle o, bool lower, k::Scalar &out) {
    int64_t i = 0;
    if (as_int64(o, i)) {
        out.i = i;
        return {};
    }
    if (!is_float(o)) return not_comparable(o);
    // An integer time against a float bound: numpy compares in float64,
    // which is exact while times stay within 2**53 (checked later).
    needs_exact_times = true;
    const double f = PyFloat_AS_DOUBLE(o.ptr());
    if (std::isnan(f)) {
        never = true;
        return {};
    }
    const double r = lower ? std::ceil(f) : std::floor(f);
    if (r > kExactInDouble) {
        if (lower)
            never = true;
        else
            out.i = std::numeric_limits<int64_t>::max();
    } else if (r < -kExactInDouble) {
        if (lower)
            out.i = std::numeric_limits<int64_t>::min();
        else
            never = true;
    } else {
        out.i = static_cast<int64_t>(r);
    }
    return {};
}

Reason BoundReader::floating(py::handle o, k::Scalar &out) {
    int64_t i = 0;
    double f = 0.0;
    if (as_int64(o, i)) {
        if (std::fabs(static_cast<double>(i)) > kExactInDouble) return "the bound " + text_of(o) + " is beyond 2**53";
        f = static_cast<double>(i);
    } else if (is_float(o)) {
        f = PyFloat_AS_DOUBLE(o.ptr());
    } else {
        return not_comparable(o);
    }
    if (time_.float32 && std::isfinite(f)) {
        // A float32 column compares with a bound rounded to float32.
        if (std::fabs(f) > static_cast<double>(std::numeric_limits<float>::max()))
            return "the bound " + text_of(o) + " lies beyond the float32 time axis";
        f = static_cast<double>(static_cast<float>(f));
    }
    out.f = f;
    if (std::isnan(f)) never = true;
    return {};
}

// A datetime bound as pandas compares it with the column: text parsed in
// the column's zone, zones matching, and an exact comparison at the finer
// of the two units.
Reason BoundReader::datetime(py::handle o, bool lower, k::Scalar &out) {
    const py::object &pandas = cx_.pandas;
    if (o.is(pandas.attr("NaT"))) {
        never = true;
        return {};
    }
    py::object ts;
    if (py::isinstance(o, pandas.attr("Timestamp"))) {
        ts = py::reinterpret_borrow<py::object>(o);
    } else if (is_text(o) && time_.parses_text) {
        try {
            ts = pandas.attr("Timestamp")(o, py::arg("tz") = time_.tz);
        } catch (py::error_already_set &e) {
            drop_failure(e);
            return not_comparable(o);
        }
    } else {
        return not_comparable(o);
    }
    if (ts.is(pandas.attr("NaT"))) {
        never = true;
        return {};
    }
    if (ts.attr("tz").is_none() != time_.tz.is_none()) return not_comparable(o);
    const int64_t per_second = ticks_per_second(utf8(ts.attr("unit")));
    if (per_second == 0) return not_comparable(o);
    const int64_t v = ts.attr("asm8").attr("view")("i8").cast<int64_t>();
    if (!bound_ticks(v, per_second, time_.per_second, lower, out.i)) never = true;
    return {};
}

Reason BoundReader::not_comparable(py::handle o) const {
    return "the window bound " + text_of(o) + " is not one the kernel compares with the time column " +
           text_of(time_name_);
}

void DatetimeBounds::read(const Context &cx, const TimeAxis &time, py::object values, bool lower) {
    const ColumnType t = type_of(cx.pandas, cx.numpy, values);
    if (t.kind != 'M' || (t.family != ColumnType::Numpy && t.family != ColumnType::Zoned)) return;
    py::object array = values.attr("array");
    if (array.attr("tz").is_none() != time.tz.is_none()) return;
    const int64_t per_second = ticks_per_second(utf8(array.attr("unit")));
    if (per_second == 0) return;
    // The windows index the ticks by row: what the module's numpy global
    // hands back is used only as the int64 vector of one tick per row it
    // was asked for (not converted: a cast would read other values), else
    // each bound is read on its own.
    using Ticks = py::array_t<int64_t>;
    py::object raw = cx.numpy.attr("ascontiguousarray")(array.attr("asi8"), py::arg("dtype") = "int64");
    const py::ssize_t n = static_cast<py::ssize_t>(py::len(values));
    if (!py::isinstance<Ticks>(raw)) return;
    const auto typed = py::reinterpret_borrow<Ticks>(raw);
    if (typed.ndim() != 1 || typed.shape(0) != n) return;
    auto v = typed.unchecked<1>();
    ticks.assign(static_cast<size_t>(n), 0);
    never.assign(static_cast<size_t>(n), 0);
    for (py::ssize_t i = 0; i < n; i++) {
        const int64_t tick = v(i);
        if (tick == std::numeric_limits<int64_t>::min() ||  // NaT compares false
            !bound_ticks(tick, per_second, time.per_second, lower, ticks[static_cast<size_t>(i)]))
            never[static_cast<size_t>(i)] = 1;
    }
    ok = true;
}

void DatetimeBounds::shifted(const Context &cx, const TimeAxis &time, py::object base, py::object span, bool add,
                             bool lower) {
    const ColumnType t = type_of(cx.pandas, cx.numpy, span);
    if (t.kind != 'm' || t.family != ColumnType::Numpy) return;
    read(cx, time, add ? py::object(base + span) : py::object(base - span), lower);
}

}  // namespace movra::fe4ts_layer
