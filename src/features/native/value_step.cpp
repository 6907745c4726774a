// The value column: which reading columns the kernel reads, and why it
// declines the others.  Plain float64 and float32 columns, integers whose
// sums stay exact in float64, pandas' nullable numbers and Arrow-backed
// floats.
#include "examination.h"
#include "library_rules.h"

#include <cmath>
#include <cstring>

namespace movra::fe4ts_layer {

std::string float64_hint(const Context &cx) {
    return "; df[" + text_of(cx.args.value) + "].astype(\"float64\") runs natively";
}

namespace {

// Whether integer readings of `bytes` bytes are small enough that every sum
// and difference the pandas path forms is exact in float64 too (and a
// difference cannot wrap around in the column's own width).
bool exact_integers(const Context &cx, int64_t rows, py::handle as_float, int bytes) {
    if (rows == 0) return true;
    // Missing readings (NaN) count as 0, zeroed in the temporary itself.
    py::object magnitude = cx.numpy.attr("abs")(as_float);
    cx.numpy.attr("nan_to_num")(magnitude, py::arg("copy") = false, py::arg("nan") = 0.0);
    return magnitude.attr("sum")().cast<double>() < kExactInDouble &&
           magnitude.attr("max")().cast<double>() < std::ldexp(1.0, 8 * bytes - 2);
}

// Readings with pd.NA cells over a datetime axis give records of mixed cell
// types, which the kernel does not build.
Reason nullable_time_step(const CallShape &call, const std::string &what, const std::string &cast) {
    if (call.time_kind == 'M')
        return what + " on a datetime axis gives records of mixed cell types the kernel does not build" + cast;
    return {};
}

// Readings of pandas' nullable Int*, UInt* and Float64: the kernel reads
// them as float64 with pd.NA as NaN, and the record frame later takes the
// cell types the pandas path's statistics give them (pd.NA, numpy ints).
// numpy.nansum is the one aggregation whose period series stays float64;
// the others give object series holding pd.NA, whose statistics pandas sums
// in another order (or, on pandas 2, cannot take).
Reason masked_value_step(const Context &cx, const CallShape &call, py::handle column, const ColumnType &t,
                         const std::string &what, const std::string &cast, const Buffers &buffers, ValueColumn &out) {
    if (!cx.args.aggfunc.is(cx.numpy.attr("nansum")))
        return what + " aggregated by " + text_of(cx.args.aggfunc) +
               " gives object period series holding pd.NA on the pandas path; numpy.nansum (the default) runs "
               "natively" + cast;
    if (t.kind == 'f' && t.size != 8) return what + " is computed in float32 arithmetic by pandas" + cast;
    if (!std::strchr("iuf", t.kind)) return what + " is not a nullable number the kernel reads" + cast;
    if (t.kind == 'u' && !call.lag.empty())
        return what + " is unsigned, and its lag differences wrap around in its own width" + cast;
    Reason axis = nullable_time_step(call, what, cast);
    if (!axis.empty()) return axis;
    py::object as_float = numbers(column, "float64");
    if (t.kind == 'f') {
        // A NaN or infinity that is not pd.NA is a value to pandas, not a
        // missing one: the kernel knows only NaN as missing.
        py::object filled = column.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = 0.0);
        if (!truth(cx.numpy.attr("isfinite")(filled).attr("all")()))
            return what + " holds NaN or infinite values besides pd.NA" + cast;
    } else if (!exact_integers(cx, call.rows, as_float, t.size)) {
        return what + " holds integers too large for exact float64 sums and differences" + cast;
    }
    out.masked = true;
    out.where_sums = true;
    out.integer = t.kind != 'f';
    out.dtype = utf8(py::str(column.attr("dtype").attr("numpy_dtype")));
    out.values = buffers.of<double>(as_float, "float64");
    return {};
}

// Where an Arrow column's chunks begin, the first left out.
std::vector<int64_t> chunk_starts(py::handle column) {
    std::vector<int64_t> starts;
    int64_t at = 0;
    for (py::handle chunk : column.attr("array").attr("__arrow_array__")().attr("chunks")) {
        if (at > 0 && (starts.empty() || starts.back() != at)) starts.push_back(at);
        at += static_cast<int64_t>(py::len(chunk));
    }
    return starts;
}

// Arrow-backed readings (double[pyarrow], float[pyarrow], and integers of
// every width): pandas hands a profile group's and the lag differences'
// statistics to pyarrow.compute, whose sums and moments (in float64, also
// of float32 values; the variance of integers of at most 4 bytes in
// integer arithmetic) the kernel reproduces, chunk by chunk where pandas
// hands over the column's chunks; the cells are Python floats (ints for
// the extremes of integers) and pd.NA where pyarrow returns null, also
// over a datetime axis (whose Timestamps make every record an object
// Series, and the cells the same Python objects).
// numpy.nansum makes each period's aggregate a numpy sum of the values with
// nulls as NaN, in the values' own precision; numpy.sum and numpy.mean hand
// the Series to pyarrow's sum (an all-null period sums to 0).  numpy.mean,
// numpy.max and numpy.min give an all-null period pd.NA, so they run
// natively on columns without nulls.  Of float32 readings, only
// numpy.nansum keeps the period series float32: pyarrow's results make it
// float64, which the kernel does not describe.
Reason arrow_value_step(const Context &cx, const CallShape &call, const Aggregation &aggregation, py::handle column,
                        const ColumnType &t, const std::string &what, const std::string &cast, const Buffers &buffers,
                        ValueColumn &out) {
    const py::object arrow_type = column.attr("dtype").attr("pyarrow_dtype");
    const std::string type = utf8(py::str(arrow_type));
    const bool narrow = type == "float", integers = t.kind == 'i' || t.kind == 'u';
    if (type != "double" && !narrow && !integers)
        return what + " is an Arrow type whose pyarrow statistics the kernel does not reproduce; Arrow floats and "
                      "integers run natively" + cast;
    const int bytes = integers ? arrow_type.attr("bit_width").cast<int>() / 8 : 8;
    out.arrow_integers = integers;
    out.narrow_integers = integers && bytes <= 4;
    if (out.narrow_integers && !k::exact_integer_variance())
        return what + " holds integers whose variance pyarrow takes in 128-bit integers, which this build of "
                      "movra lacks" + cast;
    Reason rules = arrow_rules(cx, integers ? type : std::string("double"), out.narrow_integers, what, cast);
    if (!rules.empty()) return rules;
    auto is = [&](const char *name) { return cx.args.aggfunc.is(cx.numpy.attr(name)); };
    if (narrow && !is("nansum"))
        return what + " aggregated by " + text_of(cx.args.aggfunc) +
               " gives float64 period series of pyarrow's results, which the kernel does not describe; "
               "numpy.nansum (the default) runs natively" + cast;
    if ((is("mean") || is("max") || is("min")) && has_missing(column))
        return what + " aggregated by " + text_of(cx.args.aggfunc) +
               " gives a period whose readings are all missing pd.NA, and the period series an object "
               "series; numpy.nansum (the default) and numpy.sum run natively" + cast;
    py::object as_float = numbers(column, "float64");
    if (integers) {
        // pyarrow subtracts in the readings' width and raises where a
        // difference leaves it, as below 0 for unsigned readings.
        if (t.kind == 'u' && !call.lag.empty())
            return what + " is unsigned, and pyarrow raises on its lag differences below 0" + cast;
        if (!exact_integers(cx, call.rows, as_float, bytes))
            return what + " holds integers too large for exact float64 sums and differences" + cast;
    } else {
        // pyarrow keeps NaN as a value, not a null, and orders signed zeros
        // its own way among equal extremes: the kernel takes neither.
        py::object filled = column.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = 1.0);
        if (!truth(cx.numpy.attr("isfinite")(filled).attr("all")()))
            return what + " holds NaN or infinite values besides nulls" + cast;
        if (truth((cx.numpy.attr("signbit")(filled).attr("__and__")(cx.numpy.attr("equal")(filled, 0.0))).attr("any")()))
            return what + " holds negative zeros" + cast;
    }
    if (narrow) {
        Reason r = float32_rules(cx, aggregation.moments, what, cast, out.precision);
        if (!r.empty()) return r;
    }
    out.masked = true;
    out.arrow = true;
    out.arrow_stats = true;
    out.arrow_sums = is("sum") || is("mean");
    out.dtype = "float64";
    out.chunks = chunk_starts(column);
    out.values = buffers.of<double>(as_float, "float64");
    return {};
}

// Plain numpy integers: an unsigned difference wraps around where every
// reading of a window finds its earlier one (a lag of 0, or missing times);
// otherwise exact while their sums are.
Reason integer_value_step(const Context &cx, const CallShape &call, py::handle column, const ColumnType &t,
                          const std::string &what, const std::string &cast, const Buffers &buffers, ValueColumn &out) {
    if (t.kind == 'u') {
        const bool float_time = call.time_kind == 'f';
        if (float_time && !call.lag.empty())
            return what + " is unsigned, and its lag differences wrap around where times are missing" + cast;
        for (const auto &l : call.lag) {
            int64_t i = 0;
            const bool zero = as_int64(l, i) ? i == 0 : !(is_float(l) && PyFloat_AS_DOUBLE(l.ptr()) != 0.0);
            if (zero) return what + " is unsigned, and its lag differences wrap around for the lag " + text_of(l) + cast;
        }
    }
    py::object as_float = numbers(column, "float64");
    if (!exact_integers(cx, call.rows, as_float, t.size))
        return what + " holds integers too large for exact float64 sums and differences" + cast;
    out.values = buffers.of<double>(as_float, "float64");
    return {};
}

}  // namespace

// float64, or integers small enough that every sum and difference the
// pandas path forms is exact in float64 too.
Reason value_step(const Context &cx, const CallShape &call, const Aggregation &aggregation, const Buffers &buffers,
                  ValueColumn &out) {
    py::object column = cx.args.column(cx.args.value);
    const ColumnType t = type_of(cx.pandas, cx.numpy, column);
    const std::string what = described("the value column", cx.args.value, t);
    const std::string cast = float64_hint(cx);
    if (t.numpy_kind("f") && t.size == 8) {
        out.values = buffers.of<double>(column, "float64");
        return {};
    }
    if (t.numpy_kind("f") && t.size == 4) {
        Reason r = float32_rules(cx, aggregation.moments, what, cast, out.precision);
        if (!r.empty()) return r;
        out.values = buffers.of<double>(column, "float64");
        return {};
    }
    if (t.numpy_kind("f")) return what + " is aggregated in its own precision by pandas" + cast;
    if (t.numpy_kind("b")) return what + " is bool, whose quantiles pandas cannot take" + cast;
    if (t.family == ColumnType::Masked) return masked_value_step(cx, call, column, t, what, cast, buffers, out);
    if (t.family == ColumnType::Arrow)
        return arrow_value_step(cx, call, aggregation, column, t, what, cast, buffers, out);
    if (!t.numpy_kind("iu"))
        return what + " gives object columns holding pd.NA on the pandas path, which the kernel does not build" +
               cast + " (missing values become NaN)";
    return integer_value_step(cx, call, column, t, what, cast, buffers, out);
}

}  // namespace movra::fe4ts_layer
