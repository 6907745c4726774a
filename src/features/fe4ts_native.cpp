// fe4ts on the native kernel.
//
// The pandas path costs a mask over the whole readings table and a few
// hundred library calls per window.  When a call is one the kernel
// reproduces exactly, this layer hands it the columns as int64 and float64
// buffers instead: the readings are ordered once, every window is computed
// in C++, and the record frame is built once from a single float64 array.
// The derived columns are the pandas path's own last step.
//
// Whether the kernel takes a call is decided by named steps, one per part
// of the call (progress display, arguments, aggregate, value column, time
// axis, keys, units, windows).  Each either fills in its part of the
// kernel's input or returns why the kernel cannot reproduce the pandas path
// for it; fe4ts reports that reason when a large call falls back.  Every
// conversion is a whole-column numpy or pandas operation (a view where the
// column already is int64 or float64); key columns of other kinds become
// sorted codes with a table of their labels.  Anything not understood,
// including every input that makes the pandas path raise, goes to the pandas
// path unchanged.  Nothing here modifies the caller's frames.
#include "fe4ts_native.h"

#include "../module/table.h"
#include "../native/columns.h"
#include "../native/decline.h"
#include "../native/scalars.h"
#include "column_placement.h"
#include "fe4ts_derive.h"
#include "fe_kernel.h"
#include "feature_names.h"
#include "record_layout.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace movra {

namespace {

namespace k = fe_kernel;

using native::as_int64;
using native::ColumnType;
using native::described;
using native::has_missing;
using native::is_float;
using native::is_text;
using native::kExactInDouble;
using native::numbers;
using native::Reason;
using native::text_of;
using native::type_of;
using native::utf8;

constexpr int64_t kWindowsPerStep = 512;       // progress and interrupt granularity
constexpr const char *kLabel = "fe4ts";        // the progress bar's label

// Ticks per second of a datetime unit ("s", "ms", "us", "ns"), 0 if unknown.
int64_t ticks_per_second(const std::string &unit) {
    int64_t per_second = 1;
    for (const char *u : {"s", "ms", "us", "ns"}) {
        if (unit == u) return per_second;
        per_second *= 1000;
    }
    return 0;
}

// ---- the examination ------------------------------------------------------------

// How a key column's group keys turn into label text.
struct KeyInfo {
    enum Kind { Int, Bool, Float, Coded } kind = Int;
    std::vector<std::string> labels;  // Coded: the text of each code
};

// The time axis, tactic[0], as the kernel sees it.
struct TimeAxis {
    enum Kind { Int, Float, Datetime } kind = Int;
    bool float32 = false;  // a float32 column: bounds compare in float32
    int width = 8;         // bytes of an integer axis, which shifts in its own width
    int64_t per_second = 1;  // Datetime: ticks per second of the column's unit
    std::string unit;        // Datetime: "s", "ms", "us" or "ns"
    py::object tz;           // Datetime: its zone, or None
    py::object dtype;        // Datetime: the column's dtype, for the span columns
    bool parses_text = false;  // Datetime: compared with text, pandas parses it
};

// Everything the steps find out about the call, and the kernel's inputs.
struct Examination {
    Examination(Call &call, const Fe4tsArgs &args) : c(call), a(args) {}

    Call &c;
    const Fe4tsArgs &a;
    py::object pandas, numpy;
    int64_t rows = 0, nwindows = 0;
    std::vector<py::object> tactic_list, periodic_list, lag_list;
    bool needs_exact_times = false, narrow_time_check = false;
    bool masked_values = false;   // a nullable value column: pd.NA cells in the records
    bool integer_values = false;  // ... of integers: numpy int cells too
    bool arrow_values = false;    // ... Arrow-backed: Python float cells
    std::string value_dtype;      // ... the numpy type of their statistics

    native::Holder arrays;  // what the kernel's pointers point into
    k::Table table;
    k::Options options;
    std::vector<k::Window> windows;
    TimeAxis time;
    RecordNames names;
    std::vector<KeyInfo> keys;          // per kernel key column
    std::vector<std::string> key_names;  // per kernel key column

    bool has(py::handle columns, py::handle name) const { return truth(columns.attr("__contains__")(name)); }
};

// A 1-d contiguous buffer of `dtype` holding the column's values (the column's
// own memory when it already is one), alive as long as the examination.
template <class T>
const T *buffer_of(Examination &x, py::handle values, const char *dtype) {
    return native::buffer_of<T>(x.numpy, values, dtype, x.rows, x.arrays);
}

// The progress display: the kernel keeps its own loop only with the class
// loaded with the module, which yields every window unchanged.
Reason progress_step(Examination &x) {
    if (!x.c.global("tqdm").is(tqdm_at_load()))
        return "tqdm is rebound, and the windows are those its loop yields; the kernel runs under the "
               "tqdm class loaded with movra";
    return {};
}

// The call's shape: frames, names that are str, lists of entries.
Reason arguments_step(Examination &x) {
    auto entries = [](py::handle seq, std::vector<py::object> &out) {
        if (!PyList_CheckExact(seq.ptr()) && !PyTuple_CheckExact(seq.ptr())) return false;
        for (py::handle h : seq) out.push_back(py::reinterpret_borrow<py::object>(h));
        return true;
    };
    if (!py::isinstance(x.a.df, x.pandas.attr("DataFrame")) || !py::isinstance(x.a.interval, x.pandas.attr("DataFrame")))
        return "df and interval are not both DataFrames";
    if (!is_text(x.a.unit) || !is_text(x.a.value)) return "unit and value are not both str";
    if (!entries(x.a.tactic, x.tactic_list) || !entries(x.a.periodic, x.periodic_list) || !entries(x.a.lag, x.lag_list))
        return "tactic, periodic and lag are not all lists or tuples";
    py::object columns = x.a.df.attr("columns"), window_columns = x.a.interval.attr("columns");
    if (!truth(columns.attr("is_unique")) || !truth(window_columns.attr("is_unique")))
        return "df or interval has repeated column labels";
    if (x.tactic_list.empty()) return "tactic is empty";
    for (const auto *list : {&x.tactic_list, &x.periodic_list})
        for (const auto &name : *list)
            if (!is_text(name) || !x.has(columns, name)) return text_of(name) + " is not a str naming a column of df";
    if (!x.has(columns, x.a.unit) || !x.has(columns, x.a.value) || !x.has(window_columns, x.a.unit))
        return "the unit or value column is missing";
    x.rows = static_cast<int64_t>(py::len(x.a.df));
    x.nwindows = static_cast<int64_t>(py::len(x.a.interval));
    if (x.nwindows == 0) return "interval has no windows";

    // Names enter the labels as UTF-8; the window-record labels all begin
    // with value + "_", so a unit column of such a name could clash.
    x.names.value = utf8(x.a.value);
    const std::string unit_name = utf8(x.a.unit);
    if (unit_name.compare(0, x.names.value.size() + 1, x.names.value + "_") == 0)
        return "the unit column's name begins with the value column's name and \"_\"";
    for (const auto &t : x.tactic_list) x.names.tactic.push_back(utf8(t));
    for (const auto &p : x.periodic_list) x.names.periodic.push_back(utf8(p));
    if (x.tactic_list[0].equal(x.a.value)) return "the time column tactic[0] is the value column";
    if (x.has(columns, x.a.value + py::str("_1"))) return "df has a column named value + \"_1\"";
    x.table.rows = x.rows;
    return {};
}

// The aggregation: numpy.nansum, or one of numpy's reductions that hand a
// Series over to its own method (missing values skipped).
Reason aggregate_step(Examination &x) {
    py::object numpy = x.numpy;
    if (x.a.aggfunc.is(numpy.attr("nansum")) || x.a.aggfunc.is(numpy.attr("sum")))
        x.options.aggregate = k::Aggregate::NanSum;
    else if (x.a.aggfunc.is(numpy.attr("mean")))
        x.options.aggregate = k::Aggregate::Mean;
    else if (x.a.aggfunc.is(numpy.attr("max")))
        x.options.aggregate = k::Aggregate::Max;
    else if (x.a.aggfunc.is(numpy.attr("min")))
        x.options.aggregate = k::Aggregate::Min;
    else
        return "aggfunc " + text_of(x.a.aggfunc) +
               " is not one the kernel reproduces; numpy.nansum (the default), numpy.sum, numpy.mean, "
               "numpy.max and numpy.min run natively";
    x.options.del_t_maximin = truth(x.a.del_t_maximin);

    // Skewness and kurtosis of constant data tell the two moment rules apart.
    py::list constant;
    for (int i = 0; i < 3; i++) constant.append(py::float_(1.0));
    const double probe = x.pandas.attr("Series")(constant).attr("skew")().cast<double>();
    x.options.moments = std::isnan(probe) ? k::Moments::CorrectedTwoPass : k::Moments::ZeroedTwoPass;
    return {};
}

// float32 readings: which float32 arithmetic pandas uses on them.  It differs
// with pandas' moment rule and with numpy's promotion of a float64 scalar
// against a float32 array (numpy 1.x keeps the array's type); the kernel
// knows the rules of pandas 3.1 on numpy 2 and of pandas 2.2 on numpy 1.x.
Reason float32_rules(Examination &x, const std::string &what, const std::string &cast) {
    py::object narrow = x.numpy.attr("ones")(1, py::arg("dtype") = "float32");
    py::object difference = x.numpy.attr("float64")(1.5) - narrow;
    const bool legacy = utf8(py::str(difference.attr("dtype"))) == "float32";
    const std::string pandas_version = utf8(x.pandas.attr("__version__"));
    if (x.options.moments == k::Moments::CorrectedTwoPass && !legacy) {
        x.options.precision = k::Precision::Float32;
    } else if (x.options.moments == k::Moments::ZeroedTwoPass && legacy && pandas_version.compare(0, 2, "2.") == 0) {
        x.options.precision = k::Precision::Float32Legacy;
    } else {
        return what + " is described in float32 arithmetic by pandas " + pandas_version + " on numpy " +
               utf8(x.numpy.attr("__version__")) + ", a pairing whose float32 rules the kernel does not reproduce" +
               cast;
    }
    // numpy 1.x sums a float32 array in buffers of 8192 values, numpy 2.4
    // in one pairwise pass; these probe values tell the two orders apart.
    py::object probe = x.numpy.attr("remainder")(x.numpy.attr("arange")(9000), 1000);
    probe = x.numpy.attr("add")(probe, 0.1).attr("astype")("float32");
    py::buffer_info info = py::buffer(probe).request();
    const float *values = static_cast<const float *>(info.ptr);
    const float numpy_sum = x.numpy.attr("sum")(probe).cast<float>();
    const bool blocked = x.options.precision == k::Precision::Float32Legacy;
    if (info.itemsize != sizeof(float) || numpy_sum != k::float32_sum(values, info.size, blocked))
        return what + " is summed by numpy " + utf8(x.numpy.attr("__version__")) +
               " in an order the kernel does not reproduce" + cast;
    return {};
}

// Whether integer readings of `bytes` bytes are small enough that every sum
// and difference the pandas path forms is exact in float64 too (and a
// difference cannot wrap around in the column's own width).
bool exact_integers(Examination &x, py::handle as_float, int bytes) {
    if (x.rows == 0) return true;
    // Missing readings (NaN) count as 0, zeroed in the temporary itself.
    py::object magnitude = x.numpy.attr("abs")(as_float);
    x.numpy.attr("nan_to_num")(magnitude, py::arg("copy") = false, py::arg("nan") = 0.0);
    return magnitude.attr("sum")().cast<double>() < kExactInDouble &&
           magnitude.attr("max")().cast<double>() < std::ldexp(1.0, 8 * bytes - 2);
}

// What a declined value column's reasons end with.
std::string float64_hint(const Examination &x) {
    return "; df[" + text_of(x.a.value) + "].astype(\"float64\") runs natively";
}

// The numpy kind letter of the time axis tactic[0] ('M': datetimes).
char time_kind(const Examination &x) { return utf8(x.a.df[x.tactic_list[0]].attr("dtype").attr("kind"))[0]; }

// Readings with pd.NA cells over a datetime axis give records of mixed cell
// types, which the kernel does not build.
Reason nullable_time_step(const Examination &x, const std::string &what, const std::string &cast) {
    if (time_kind(x) == 'M')
        return what + " on a datetime axis gives records of mixed cell types the kernel does not build" + cast;
    return {};
}

// Readings of pandas' nullable Int*, UInt* and Float64: the kernel reads
// them as float64 with pd.NA as NaN, and the record frame later takes the
// cell types the pandas path's statistics give them (pd.NA, numpy ints).
// numpy.nansum is the one aggregation whose period series stays float64;
// the others give object series holding pd.NA, whose statistics pandas sums
// in another order (or, on pandas 2, cannot take).
Reason masked_value_step(Examination &x, py::handle column, const ColumnType &t, const std::string &what,
                         const std::string &cast) {
    if (!x.a.aggfunc.is(x.numpy.attr("nansum")))
        return what + " aggregated by " + text_of(x.a.aggfunc) +
               " gives object period series holding pd.NA on the pandas path; numpy.nansum (the default) runs "
               "natively" + cast;
    if (t.kind == 'f' && t.size != 8) return what + " is computed in float32 arithmetic by pandas" + cast;
    if (!std::strchr("iuf", t.kind)) return what + " is not a nullable number the kernel reads" + cast;
    if (t.kind == 'u' && !x.lag_list.empty())
        return what + " is unsigned, and its lag differences wrap around in its own width" + cast;
    Reason axis = nullable_time_step(x, what, cast);
    if (!axis.empty()) return axis;
    py::object as_float = numbers(column, "float64");
    if (t.kind == 'f') {
        // A NaN or infinity that is not pd.NA is a value to pandas, not a
        // missing one: the kernel knows only NaN as missing.
        py::object filled = column.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = 0.0);
        if (!truth(x.numpy.attr("isfinite")(filled).attr("all")()))
            return what + " holds NaN or infinite values besides pd.NA" + cast;
    } else if (!exact_integers(x, as_float, t.size)) {
        return what + " holds integers too large for exact float64 sums and differences" + cast;
    }
    x.masked_values = true;
    x.options.where_sums = true;
    x.integer_values = t.kind != 'f';
    x.value_dtype = utf8(py::str(column.attr("dtype").attr("numpy_dtype")));
    x.table.value = buffer_of<double>(x, as_float, "float64");
    return {};
}

// Whether pandas and pyarrow describe an Arrow-backed Series as the kernel
// does: the nine statistics of thirds in runs between nulls, to the last
// bit, and a NaN computed for data without spread rather than the null of
// too few values.  Other versions differ (pandas 2.2 asks pyarrow for the
// biased skewness, older pyarrow has none).
Reason arrow_rules(Examination &x, const std::string &what, const std::string &cast) {
    std::vector<double> thirds;
    py::list cells;
    for (int j = 0; j < 40; j++) {
        const bool null = j == 5 || j == 20;
        thirds.push_back(null ? std::nan("") : ((j * 7) % 13 + 1) / 3.0);
        cells.append(null ? py::object(py::none()) : py::object(py::float_(thirds.back())));
    }
    std::vector<double> want(k::kStats);
    k::arrow_series_stats(thirds.data(), static_cast<int64_t>(thirds.size()), want.data());
    const std::string differs = what + " is described by pandas " + utf8(x.pandas.attr("__version__")) +
                                " with its pyarrow otherwise than the kernel does" + cast;
    try {
        auto series = [&](py::object values) {
            return x.pandas.attr("Series")(values, py::arg("dtype") = "double[pyarrow]");
        };
        py::object s = series(cells);
        py::object got[k::kStats];
        got[k::Stat::Max] = s.attr("max")();
        got[k::Stat::Min] = s.attr("min")();
        got[k::Stat::Median] = s.attr("median")();
        got[k::Stat::Q3] = s.attr("quantile")(0.75);
        got[k::Stat::Q1] = s.attr("quantile")(0.25);
        got[k::Stat::Mean] = s.attr("mean")();
        got[k::Stat::Std] = s.attr("std")();
        got[k::Stat::Skew] = s.attr("skew")();
        got[k::Stat::Kurt] = s.attr("kurt")();
        for (int i = 0; i < k::kStats; i++)
            if (!is_float(got[i]) || PyFloat_AS_DOUBLE(got[i].ptr()) != want[i]) return differs;
        py::list constant, two;
        for (int j = 0; j < 4; j++) constant.append(py::float_(5.0));
        two.append(py::float_(1.0));
        two.append(py::float_(2.0));
        py::object flat = series(constant).attr("skew")(), few = series(two).attr("skew")();
        if (!is_float(flat) || !std::isnan(PyFloat_AS_DOUBLE(flat.ptr())) || !few.is(x.pandas.attr("NA")))
            return differs;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return what + " cannot be described by pandas " + utf8(x.pandas.attr("__version__")) + " (" +
               utf8(py::str(e.value())) + ")" + cast;
    }
    return {};
}

// Arrow-backed float readings (double[pyarrow], float[pyarrow]): pandas
// hands a profile group's and the lag differences' statistics to
// pyarrow.compute, whose sums and moments (in float64, also of float32
// values) the kernel reproduces for a column of one chunk; the cells are
// Python floats and pd.NA where pyarrow returns null.  Of a column of many
// chunks (a concatenated or parquet-read table), a Series that pandas
// slices rather than copies (a group or window that is a run of the
// column's rows) keeps the chunks, and pyarrow sums each and merges their
// moments: the kernel declines those.  numpy.nansum makes each period's
// aggregate a numpy sum of the values with nulls as NaN, in the values'
// own precision; numpy.sum and numpy.mean hand the Series to pyarrow's sum
// (an all-null period sums to 0).  numpy.mean, numpy.max and numpy.min give
// an all-null period pd.NA, so they run natively on float64 columns without
// nulls.  Of float32 readings, only numpy.nansum keeps the period series
// float32: pyarrow's results make it float64, which the kernel does not
// describe.
Reason arrow_value_step(Examination &x, py::handle column, const std::string &what, const std::string &cast) {
    const std::string type = utf8(py::str(column.attr("dtype").attr("pyarrow_dtype")));
    const bool narrow = type == "float";
    if (type != "double" && !narrow)
        return what + " is an Arrow type whose pyarrow statistics the kernel does not reproduce (integers come "
                      "back as Python ints); double[pyarrow] and float[pyarrow] run natively" + cast;
    const auto chunks = column.attr("array").attr("__arrow_array__")().attr("num_chunks").cast<int64_t>();
    if (chunks > 1)
        return what + " is held in " + std::to_string(chunks) +
               " Arrow chunks, and pyarrow merges the statistics of a Series' chunks where pandas slices one out "
               "of the column without copying; a copy in one chunk (pyarrow's combine_chunks) runs natively" + cast;
    Reason rules = arrow_rules(x, what, cast);
    if (!rules.empty()) return rules;
    auto is = [&](const char *name) { return x.a.aggfunc.is(x.numpy.attr(name)); };
    if (narrow && !is("nansum"))
        return what + " aggregated by " + text_of(x.a.aggfunc) +
               " gives float64 period series of pyarrow's results, which the kernel does not describe; "
               "numpy.nansum (the default) runs natively" + cast;
    if ((is("mean") || is("max") || is("min")) && has_missing(column))
        return what + " aggregated by " + text_of(x.a.aggfunc) +
               " gives a period whose readings are all missing pd.NA, and the period series an object "
               "series; numpy.nansum (the default) and numpy.sum run natively" + cast;
    Reason axis = nullable_time_step(x, what, cast);
    if (!axis.empty()) return axis;
    // pyarrow keeps NaN as a value, not a null, and orders signed zeros
    // its own way among equal extremes: the kernel takes neither.
    py::object filled = column.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = 1.0);
    if (!truth(x.numpy.attr("isfinite")(filled).attr("all")()))
        return what + " holds NaN or infinite values besides nulls" + cast;
    if (truth((x.numpy.attr("signbit")(filled).attr("__and__")(x.numpy.attr("equal")(filled, 0.0))).attr("any")()))
        return what + " holds negative zeros" + cast;
    if (narrow) {
        Reason r = float32_rules(x, what, cast);
        if (!r.empty()) return r;
    }
    x.masked_values = true;
    x.arrow_values = true;
    x.options.arrow_stats = true;
    x.options.arrow_sums = is("sum") || is("mean");
    x.value_dtype = "float64";
    x.table.value = buffer_of<double>(x, numbers(column, "float64"), "float64");
    return {};
}

// The reading values: float64, or integers small enough that every sum and
// difference the pandas path forms is exact in float64 too.
Reason value_step(Examination &x) {
    py::object column = x.a.df[x.a.value];
    const ColumnType t = type_of(x.pandas, x.numpy, column);
    const std::string what = described("the value column", x.a.value, t);
    const std::string cast = float64_hint(x);
    if (t.numpy_kind("f") && t.size == 8) {
        x.table.value = buffer_of<double>(x, column, "float64");
        return {};
    }
    if (t.numpy_kind("f") && t.size == 4) {
        Reason r = float32_rules(x, what, cast);
        if (!r.empty()) return r;
        x.table.value = buffer_of<double>(x, column, "float64");
        return {};
    }
    if (t.numpy_kind("f")) return what + " is aggregated in its own precision by pandas" + cast;
    if (t.numpy_kind("b")) return what + " is bool, whose quantiles pandas cannot take" + cast;
    if (t.family == ColumnType::Masked) return masked_value_step(x, column, t, what, cast);
    if (t.family == ColumnType::Arrow) return arrow_value_step(x, column, what, cast);
    if (!t.numpy_kind("iu"))
        return what + " gives object columns holding pd.NA on the pandas path, which the kernel does not build" +
               cast + " (missing values become NaN)";
    if (t.kind == 'u') {
        // An unsigned difference wraps around where every reading of a
        // window finds its earlier one: a lag of 0, or missing times.
        const bool float_time = time_kind(x) == 'f';
        if (float_time && !x.lag_list.empty())
            return what + " is unsigned, and its lag differences wrap around where times are missing" + cast;
        for (const auto &l : x.lag_list) {
            int64_t i = 0;
            const bool zero = as_int64(l, i) ? i == 0 : !(is_float(l) && PyFloat_AS_DOUBLE(l.ptr()) != 0.0);
            if (zero) return what + " is unsigned, and its lag differences wrap around for the lag " + text_of(l) + cast;
        }
    }
    py::object as_float = numbers(column, "float64");
    if (!exact_integers(x, as_float, t.size))
        return what + " holds integers too large for exact float64 sums and differences" + cast;
    x.table.value = buffer_of<double>(x, as_float, "float64");
    return {};
}

// The time axis tactic[0]: integers, floats or datetimes, without missing
// values where the column's kind has no NaN.
Reason time_step(Examination &x) {
    py::object name = x.tactic_list[0];
    py::object column = x.a.df[name];
    const ColumnType t = type_of(x.pandas, x.numpy, column);
    const std::string what = described("the time column", name, t);
    const bool lags = !x.lag_list.empty();
    TimeAxis &axis = x.time;
    if (t.numpy_kind("i") || (t.nullable_number() && t.kind == 'i')) {
        if (t.family != ColumnType::Numpy && has_missing(column))
            return what + " has missing times; fill or drop them, or cast it to float64";
        axis.kind = TimeAxis::Int;
        axis.width = t.family == ColumnType::Arrow
                         ? column.attr("dtype").attr("pyarrow_dtype").attr("bit_width").cast<int>() / 8
                         : t.size;
        x.table.time.i64 = buffer_of<int64_t>(x, numbers(column, "int64"), "int64");
    } else if (t.numpy_kind("u") || (t.nullable_number() && t.kind == 'u')) {
        if (lags) return what + " is unsigned, and its shifted times wrap around; cast it to int64";
        if (t.size == 8 || t.family == ColumnType::Arrow) return what + " may exceed int64; cast it to int64";
        if (t.family != ColumnType::Numpy && has_missing(column))
            return what + " has missing times; fill or drop them, or cast it to float64";
        axis.kind = TimeAxis::Int;
        x.table.time.i64 = buffer_of<int64_t>(x, numbers(column, "int64"), "int64");
    } else if (t.numpy_kind("f") || (t.nullable_number() && t.kind == 'f')) {
        if (t.family != ColumnType::Numpy && has_missing(column))
            return what + " holds pd.NA, which compares unlike NaN; cast it to float64";
        const bool narrow = t.family == ColumnType::Arrow ? utf8(py::str(column.attr("dtype"))).find("float") == 0
                                                          : t.size == 4;
        if (narrow && lags) return what + " shifts in float32 arithmetic; cast it to float64";
        axis.kind = TimeAxis::Float;
        axis.float32 = narrow;
        x.table.time.f64 = buffer_of<double>(x, numbers(column, "float64"), "float64");
    } else if (t.datetime()) {
        if (lags) return what + " is a datetime axis with lags, which the kernel does not shift; use integer days";
        if (has_missing(column)) return what + " has missing times (NaT); drop them";
        py::object dates = column;
        if (t.family == ColumnType::Arrow) {
            py::object pa = column.attr("dtype").attr("pyarrow_dtype");
            const std::string unit = utf8(pa.attr("unit"));
            py::object tz = pa.attr("tz");
            py::object target = tz.is_none() ? py::object(py::str("datetime64[" + unit + "]"))
                                             : x.pandas.attr("DatetimeTZDtype")(unit, tz);
            dates = column.attr("astype")(target);
        }
        py::object array = dates.attr("array");
        axis.kind = TimeAxis::Datetime;
        axis.unit = utf8(array.attr("unit"));
        axis.tz = array.attr("tz");
        axis.dtype = dates.attr("dtype");
        axis.parses_text = t.family != ColumnType::Arrow;
        const int64_t per_second = ticks_per_second(axis.unit);
        if (per_second == 0) return what + " has a unit the kernel does not know";
        axis.per_second = per_second;
        x.table.time.i64 = buffer_of<int64_t>(x, array.attr("asi8"), "int64");
    } else {
        return what + " is not a number or datetime axis the kernel orders; use int64, float64 or datetime64";
    }

    // Lags in the axis' type: time - l keeps an integer axis integral for
    // int lags and for float lags of integral value (merge then compares the
    // shifted float times with the integer ones exactly, within 2**53); a
    // fractional float lag on an integer axis makes pandas warn about the
    // merge keys, so it stays on the pandas path.
    const bool integer = axis.kind == TimeAxis::Int;
    for (const auto &l : x.lag_list) {
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
                    return "the lag " + text_of(l) + " is not a whole number, on the integer " + what;
                s.i = static_cast<int64_t>(f);
                x.needs_exact_times = true;
            } else {
                s.f = f;
            }
        } else {
            return "the lag " + text_of(l) + " is not an int or float";
        }
        // A narrow integer axis shifts in its own width: only lags and times
        // that cannot wrap around there give int64's results.
        if (integer && axis.width < 8) {
            if (!(std::fabs(static_cast<double>(s.i)) < std::ldexp(1.0, 8 * axis.width - 2)))
                return "the lag " + text_of(l) + " could wrap around on " + what;
            x.narrow_time_check = true;
        }
        x.options.lags.push_back(s);
        x.names.lag.push_back(utf8(py::str(l)));
        // The shifted time column must not replace the reading column.
        if (utf8(name) + "_" + x.names.lag.back() == x.names.value)
            return "the shifted time column of the lag " + text_of(l) + " would replace the value column";
    }
    return {};
}

// A categorical key column as its category codes (missing: NaN), every
// category a group, labelled by str() of the category as the groups' index
// yields it.
void categories_of(Examination &x, py::handle column, k::Column &col, KeyInfo &info) {
    py::object codes = column.attr("cat").attr("codes");
    py::object as_float = x.numpy.attr("where")(lt(codes, py::int_(0)), x.numpy.attr("nan"), codes);
    col.f64 = buffer_of<double>(x, as_float, "float64");
    py::object dtype = column.attr("dtype");
    const py::ssize_t count = static_cast<py::ssize_t>(py::len(dtype.attr("categories")));
    col.categories = static_cast<int64_t>(count);
    info.kind = KeyInfo::Coded;
    py::object groups = x.pandas.attr("Categorical").attr("from_codes")(x.numpy.attr("arange")(count),
                                                                         py::arg("dtype") = dtype);
    for (py::handle g : groups) info.labels.push_back(utf8(str_of(g)));
}

// Key columns of the period and profile blocks: one kernel column per
// distinct name.  Numbers are their own keys; any other kind becomes codes in
// the order pandas sorts its groups, with the text of each group key.
Reason key_column(Examination &x, py::handle name, bool tactic, int &at) {
    const std::string n = utf8(name);
    for (size_t j = 0; j < x.key_names.size(); j++)
        if (x.key_names[j] == n) {
            at = static_cast<int>(j);
            return {};
        }
    py::object column = x.a.df[name];
    const ColumnType t = type_of(x.pandas, x.numpy, column);
    const std::string what = described(tactic ? "the period column" : "the periodic column", name, t);
    k::Column col;
    KeyInfo info;
    bool coded = false;
    // The time axis is its own key where its numbers are the group keys'
    // (a datetime's ticks are, as long as no label shows them).
    const bool time = n == x.names.tactic[0] && !t.numpy_kind("b");
    bool labelled = false;
    for (const auto &p : x.names.periodic) labelled = labelled || p == n;
    if (time && x.time.kind == TimeAxis::Int) {
        col.i64 = x.table.time.i64;
        info.kind = KeyInfo::Int;
    } else if (time && x.time.kind == TimeAxis::Float) {
        col.f64 = x.table.time.f64;
        info.kind = KeyInfo::Float;
    } else if (time && x.time.kind == TimeAxis::Datetime && !labelled) {
        col.i64 = x.table.time.i64;
        info.kind = KeyInfo::Int;
    } else if (t.numpy_kind("ib") || (t.numpy_kind("u") && t.size <= 4)) {
        col.i64 = buffer_of<int64_t>(x, column, "int64");
        info.kind = t.kind == 'b' ? KeyInfo::Bool : KeyInfo::Int;
    } else if (t.numpy_kind("f")) {
        col.f64 = buffer_of<double>(x, column, "float64");
        info.kind = KeyInfo::Float;
    } else if (t.family == ColumnType::Categorical) {
        if (tactic && x.options.del_t_maximin && !truth(column.attr("cat").attr("ordered")))
            return what + " is unordered, so its smallest and largest period are undefined";
        // pandas 2 groups a categorical with its unobserved categories: every
        // category is a group of every window.  Later versions group the
        // values present, as any other coded column.
        if (utf8(x.pandas.attr("__version__")).compare(0, 2, "2.") == 0) {
            categories_of(x, column, col, info);
        } else {
            coded = true;
        }
    } else if (t.numpy_kind("O")) {
        py::object inferred = x.pandas.attr("api").attr("types").attr("infer_dtype")(column, py::arg("skipna") = true);
        const std::string kind = utf8(inferred);
        if (kind != "string" && kind != "empty")
            return what + " holds " + kind + " values rather than text; give it one type";
        // unique() tells None and NaN apart, which factorize does not.
        py::object missing = column[column.attr("isna")()];
        if (py::len(x.pandas.attr("unique")(missing.attr("to_numpy")())) > 1)
            return what + " holds more than one kind of missing value";
        coded = true;
    } else {
        coded = true;
    }
    if (coded && tactic && x.options.del_t_maximin) {
        // The smallest and largest period as pandas finds them; where it
        // cannot (pandas 2 on text with missing values), it raises.
        try {
            column.attr("min")();
            column.attr("max")();
        } catch (py::error_already_set &e) {
            drop_failure(e);
            return what + " has no smallest or largest value for pandas, which del_t_maximin needs";
        }
    }
    if (coded) {
        py::tuple factorized;
        try {
            factorized = x.pandas.attr("factorize")(column, py::arg("sort") = true);
        } catch (py::error_already_set &e) {
            drop_failure(e);
            return what + " cannot be sorted by pandas";
        }
        py::object codes = factorized[0];
        py::object as_float = x.numpy.attr("where")(lt(codes, py::int_(0)), x.numpy.attr("nan"), codes);
        col.f64 = buffer_of<double>(x, as_float, "float64");
        info.kind = KeyInfo::Coded;
        for (py::handle u : factorized[1]) info.labels.push_back(utf8(str_of(u)));
    }
    x.table.keys.push_back(col);
    x.keys.push_back(std::move(info));
    x.key_names.push_back(n);
    at = static_cast<int>(x.table.keys.size()) - 1;
    return {};
}

Reason keys_step(Examination &x) {
    int at = 0;
    for (const auto &t : x.tactic_list) {
        Reason r = key_column(x, t, true, at);
        if (!r.empty()) return r;
        x.options.tactic.push_back(at);
    }
    for (const auto &p : x.periodic_list) {
        Reason r = key_column(x, p, false, at);
        if (!r.empty()) return r;
        x.options.periodic.push_back(at);
    }
    return {};
}

// Units.  Integer and bool columns are their own keys, compared with the
// windows' unit values as numpy compares numbers.  Other columns are coded
// by value, and a window's unit is looked up among the values by Python
// equality, which is how == compares them; a datetime column's windows must
// name their unit by a Timestamp (pandas would parse text).
Reason units_step(Examination &x) {
    py::object column = x.a.df[x.a.unit];
    const ColumnType t = type_of(x.pandas, x.numpy, column);
    const std::string what = described("the unit column", x.a.unit, t);
    const bool direct = t.numpy_kind("ib") || (t.numpy_kind("u") && t.size <= 4);
    if (t.numpy_kind("f") && t.size != 8) return what + " compares in float32; cast it to float64";
    if (t.kind == 'm' || t.kind == 'V' || t.kind == 'c') return what + " is of a kind the kernel does not code";
    py::list units = x.a.interval[x.a.unit].attr("tolist")();
    py::dict unit_codes;
    if (direct) {
        x.table.unit = buffer_of<int64_t>(x, column, "int64");
    } else {
        if (t.datetime()) {
            for (py::handle u : units)
                if (!py::isinstance(u, x.pandas.attr("Timestamp")) && !u.is(x.pandas.attr("NaT")))
                    return what + " is compared with the window unit " + text_of(u) + ", not a Timestamp";
        }
        py::tuple factorized = x.pandas.attr("factorize")(column);
        x.table.unit = buffer_of<int64_t>(x, factorized[0], "int64");
        int64_t code = 0;
        for (py::handle u : factorized[1]) unit_codes[u] = py::int_(code++);
    }
    x.windows.assign(static_cast<size_t>(x.nwindows), k::Window());
    for (int64_t w = 0; w < x.nwindows; w++) {
        py::handle u = units[static_cast<size_t>(w)];
        k::Window &win = x.windows[static_cast<size_t>(w)];
        int64_t i = 0;
        if (!direct) {
            PyObject *code = PyDict_GetItemWithError(unit_codes.ptr(), u.ptr());
            if (code == nullptr && PyErr_Occurred()) throw py::error_already_set();
            if (code == nullptr)
                win.matches_nothing = true;
            else
                win.unit = PyLong_AsLongLong(code);
        } else if (as_int64(u, i)) {
            win.unit = i;
        } else if (is_float(u)) {
            const double f = PyFloat_AS_DOUBLE(u.ptr());
            if (std::isfinite(f) && f == std::floor(f) && std::fabs(f) <= kExactInDouble)
                win.unit = static_cast<int64_t>(f);
            else
                win.matches_nothing = true;  // NaN, inf or a fraction equals no integer unit
        } else {
            return "the window unit " + text_of(u) + " is compared with " + what + ", not a number";
        }
    }
    return {};
}

// ---- window bounds ------------------------------------------------------------

// A datetime bound of `from` ticks per second in the axis' `to` ticks, as
// pandas compares them: exactly, at the finer unit.  A lower bound (time >=
// bound) rounds up, an upper one down.  False: no time can satisfy it.
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

// A time bound in the axis' type.  `lower`: the bound is used as
// time >= bound (else time <= bound).  Sets `never` when no reading can
// satisfy it (a missing bound compares false with every time).
struct Bounds {
    Examination &x;
    bool never = false;

    Reason operator()(py::handle o, bool lower, k::Scalar &out) {
        switch (x.time.kind) {
            case TimeAxis::Int:
                return integer(o, lower, out);
            case TimeAxis::Float:
                return floating(o, out);
            case TimeAxis::Datetime:
                return datetime(o, lower, out);
        }
        return {};
    }

    Reason integer(py::handle o, bool lower, k::Scalar &out) {
        int64_t i = 0;
        if (as_int64(o, i)) {
            out.i = i;
            return {};
        }
        if (!is_float(o)) return not_comparable(o);
        // An integer time against a float bound: numpy compares in float64,
        // which is exact while times stay within 2**53 (checked later).
        x.needs_exact_times = true;
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

    Reason floating(py::handle o, k::Scalar &out) {
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
        if (x.time.float32 && std::isfinite(f)) {
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
    // the column's zone, zones matching, and an exact comparison at the
    // finer of the two units.
    Reason datetime(py::handle o, bool lower, k::Scalar &out) {
        py::object pandas = x.pandas;
        if (o.is(pandas.attr("NaT"))) {
            never = true;
            return {};
        }
        py::object ts;
        if (py::isinstance(o, pandas.attr("Timestamp"))) {
            ts = py::reinterpret_borrow<py::object>(o);
        } else if (is_text(o) && x.time.parses_text) {
            try {
                ts = pandas.attr("Timestamp")(o, py::arg("tz") = x.time.tz);
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
        if (ts.attr("tz").is_none() != x.time.tz.is_none()) return not_comparable(o);
        const int64_t per_second = ticks_per_second(utf8(ts.attr("unit")));
        if (per_second == 0) return not_comparable(o);
        const int64_t v = ts.attr("asm8").attr("view")("i8").cast<int64_t>();
        if (!bound_ticks(v, per_second, x.time.per_second, lower, out.i)) never = true;
        return {};
    }

    Reason not_comparable(py::handle o) {
        return "the window bound " + text_of(o) + " is not one the kernel compares with the time column " +
               text_of(x.tactic_list[0]);
    }
};

// A window column of datetimes in the axis' kind of zone, converted as a
// whole (`ok`); any other column is read value by value.
struct DatetimeBounds {
    bool ok = false;
    std::vector<int64_t> ticks;
    std::vector<uint8_t> never;

    void read(Examination &x, py::object values, bool lower) {
        const ColumnType t = type_of(x.pandas, x.numpy, values);
        if (t.kind != 'M' || (t.family != ColumnType::Numpy && t.family != ColumnType::Zoned)) return;
        py::object array = values.attr("array");
        if (array.attr("tz").is_none() != x.time.tz.is_none()) return;
        const int64_t per_second = ticks_per_second(utf8(array.attr("unit")));
        if (per_second == 0) return;
        py::array_t<int64_t> raw = x.numpy.attr("ascontiguousarray")(array.attr("asi8"), py::arg("dtype") = "int64");
        auto v = raw.unchecked<1>();
        const py::ssize_t n = v.shape(0);
        ticks.assign(static_cast<size_t>(n), 0);
        never.assign(static_cast<size_t>(n), 0);
        for (py::ssize_t i = 0; i < n; i++) {
            const int64_t tick = v(i);
            if (tick == std::numeric_limits<int64_t>::min() ||  // NaT compares false
                !bound_ticks(tick, per_second, x.time.per_second, lower, ticks[static_cast<size_t>(i)]))
                never[static_cast<size_t>(i)] = 1;
        }
        ok = true;
    }

    // base - span (or base + span) as pandas computes it for two columns.
    void shifted(Examination &x, py::object base, py::object span, bool add, bool lower) {
        const ColumnType t = type_of(x.pandas, x.numpy, span);
        if (t.kind != 'm' || t.family != ColumnType::Numpy) return;
        read(x, add ? py::object(base + span) : py::object(base - span), lower);
    }
};

// The windows, read column by column as the pandas path reads them.
Reason windows_step(Examination &x) {
    py::object window_columns = x.a.interval.attr("columns");
    auto column_values = [&](const char *label, bool &present) -> py::list {
        py::handle name = interned(label);
        present = x.has(window_columns, name);
        if (!present) return py::list();
        return x.a.interval[name].attr("tolist")();
    };
    bool has_start, has_end, has_forward_t, has_backward_t, has_forward_r, has_backward_r;
    py::list start = column_values("START", has_start), end = column_values("END", has_end),
             forward_t = column_values("FORWARD_T", has_forward_t),
             backward_t = column_values("BACKWARD_T", has_backward_t),
             forward_r = column_values("FORWARD_R", has_forward_r),
             backward_r = column_values("BACKWARD_R", has_backward_r);
    if (has_forward_t && !has_end) return "FORWARD_T is given without END";
    if (has_backward_t && !has_start) return "BACKWARD_T is given without START";
    // Datetime bounds held in datetime columns are converted column by column.
    DatetimeBounds start_at, end_at, forward_from, backward_from;
    if (x.time.kind == TimeAxis::Datetime) {
        auto column = [&](const char *label) { return x.a.interval[interned(label)]; };
        if (has_start) start_at.read(x, column("START"), true);
        if (has_end) end_at.read(x, column("END"), false);
        if (has_forward_t && end_at.ok) forward_from.shifted(x, column("END"), column("FORWARD_T"), false, true);
        if (has_backward_t && start_at.ok) backward_from.shifted(x, column("START"), column("BACKWARD_T"), true, true);
    }
    for (int64_t w = 0; w < x.nwindows; w++) {
        k::Window &win = x.windows[static_cast<size_t>(w)];
        const size_t at = static_cast<size_t>(w);
        Bounds bound{x};
        Reason r;
        auto set = [&](DatetimeBounds &column, py::handle one, bool lower, k::Scalar &out) {
            if (column.ok) {
                out.i = column.ticks[at];
                if (column.never[at]) bound.never = true;
                return Reason();
            }
            return bound(one, lower, out);
        };
        if (has_start) {
            win.has_start = true;
            r = set(start_at, start[at], true, win.start);
        }
        if (r.empty() && has_end) {
            win.has_end = true;
            r = set(end_at, end[at], false, win.end);
        }
        if (r.empty() && has_forward_t) {
            win.has_forward_t = true;
            py::object from = forward_from.ok ? py::object() : py::object(end[at] - forward_t[at]);
            r = set(forward_from, from, true, win.forward_t_from);
        }
        if (r.empty() && has_backward_t) {
            win.has_backward_t = true;
            py::object from = backward_from.ok ? py::object() : py::object(start[at] + backward_t[at]);
            r = set(backward_from, from, true, win.backward_t_from);
        }
        if (!r.empty()) return r;
        if (has_forward_r) {
            py::handle n = forward_r[at];
            if (PyBool_Check(n.ptr()) || !as_int64(n, win.forward_r))
                return "the FORWARD_R " + text_of(n) + " is not an int";
            win.has_forward_r = true;
        }
        if (has_backward_r) {
            py::handle n = backward_r[at];
            if (PyBool_Check(n.ptr()) || !as_int64(n, win.backward_r))
                return "the BACKWARD_R " + text_of(n) + " is not an int";
            win.has_backward_r = true;
        }
        if (bound.never) win.matches_nothing = true;
    }
    return {};
}

// The largest magnitude of the integer time axis, as a double.
double largest_time(Examination &x) {
    py::object t = x.a.df[x.tactic_list[0]];
    py::object values = numbers(t, "float64");
    return x.numpy.attr("nanmax")(x.numpy.attr("abs")(values)).cast<double>();
}

Reason exactness_step(Examination &x) {
    if (x.time.kind != TimeAxis::Int || x.rows == 0) return {};
    if (!x.needs_exact_times && !x.narrow_time_check) return {};
    const double largest = largest_time(x);
    if (!(largest <= kExactInDouble)) return "the time column " + text_of(x.tactic_list[0]) + " holds times beyond 2**53";
    if (x.narrow_time_check && !(largest < std::ldexp(1.0, 8 * x.time.width - 2)))
        return "the time column " + text_of(x.tactic_list[0]) + " could wrap around when shifted";
    return {};
}

// Runs the steps in order; the first reason ends the examination.
Reason examine(Examination &x) {
    using Step = Reason (*)(Examination &);
    const Step steps[] = {progress_step, arguments_step, aggregate_step, value_step, time_step,
                          keys_step,     units_step,     windows_step,   exactness_step};
    for (Step step : steps) {
        Reason r = step(x);
        if (!r.empty()) return r;
    }
    return {};
}

// ---- the record frame -------------------------------------------------------------

// str() of a profile group's key as the group's index yields it: a Python
// int, float or bool, or the text of a coded key.
class KeyTexts {
public:
    KeyTexts(const k::Options &o, const std::vector<KeyInfo> &keys) : o_(o), keys_(keys) {}

    std::string operator()(size_t p, const k::Scalar &key) {
        const KeyInfo &info = keys_[static_cast<size_t>(o_.periodic[p])];
        switch (info.kind) {
            case KeyInfo::Int:
                return std::to_string(key.i);
            case KeyInfo::Bool:
                return key.i ? "True" : "False";
            case KeyInfo::Coded:
                return info.labels[static_cast<size_t>(key.f)];
            case KeyInfo::Float: {
                uint64_t bits;
                std::memcpy(&bits, &key.f, sizeof bits);
                auto it = float_text_.find(bits);
                if (it == float_text_.end()) it = float_text_.emplace(bits, utf8(py::str(py::float_(key.f)))).first;
                return it->second;
            }
        }
        return std::string();
    }

private:
    const k::Options &o_;
    const std::vector<KeyInfo> &keys_;
    std::unordered_map<uint64_t, std::string> float_text_;
};

// What a column of the record frame holds: a field of an entry of a block.
struct ColumnRole {
    Block block = Block::Span;
    int field = -1;  // -1: the unit column
    bool count() const {
        return (block == Block::Period || block == Block::Lag) && field >= k::Field::Nb0 && field <= k::Field::Nb;
    }
};

// The labels of window w's record, and what each label holds.
void labels_of(const ResultRecords &records, int64_t w, const RecordNames &names, KeyTexts &key_text,
               std::vector<std::string> &out, std::vector<ColumnRole> &roles) {
    out.clear();
    roles.clear();
    const std::string none;
    records.walk(w, [&](const RecordEntry &e) {
        const bool profile = e.block == Block::Profile;
        append_labels(names, e, profile ? key_text(e.index, records.result().profile_keys[e.group]) : none, out);
        for (int f = 0; f < fields_of(e.block); f++) roles.push_back(ColumnRole{e.block, f});
    });
}

// Identifies the labels of a record: its entries, with the profile groups'
// keys.
void shape_of(const ResultRecords &records, int64_t w, std::vector<int64_t> &out) {
    out.clear();
    records.walk(w, [&](const RecordEntry &e) {
        out.push_back(static_cast<int64_t>(e.block));
        out.push_back(static_cast<int64_t>(e.index));
        if (e.block != Block::Profile) return;
        const k::Scalar &key = records.result().profile_keys[e.group];
        int64_t bits;
        std::memcpy(&bits, &key.f, sizeof bits);
        out.push_back(key.i);
        out.push_back(bits);
    });
}

// Window w's values in label order.
void values_of(const ResultRecords &records, int64_t w, bool integer_time, std::vector<double> &out) {
    out.clear();
    records.walk(w, [&](const RecordEntry &e) {
        if (e.block == Block::Span) {
            for (int end = 0; end < 2; end++) {
                const k::Scalar &s = records.span(w)[end];
                out.push_back(integer_time ? static_cast<double>(s.i) : s.f);
            }
            return;
        }
        const double *fields = records.fields(w, e);
        out.insert(out.end(), fields, fields + fields_of(e.block));
    });
}

// The type of a cell of the pandas path's records over nullable readings:
// a float, a count or a span time of an integer axis (an int64), a
// statistic of integer readings (a numpy int of the readings' width),
// pd.NA, or no cell (the record lacks the label).
enum class Cell : uint8_t { Float, Int, Value, NA, Missing };

// What the pandas path's statistics of a nullable Series are: pd.NA where
// the statistic is missing; for integer readings a numpy int for MAX and MIN,
// and for Q3 and Q1 of whole value when the Series holds pd.NA (`missing`).
// A block of nine holding pd.NA keeps those objects; one without is a
// float64 array (the ints become floats).  The quantiles of an empty Series
// (a category without readings) are NaN, not pd.NA.
bool masked_block(const double *stats, bool missing, bool integer_values, Cell *out, bool empty = false) {
    bool na = false;
    for (int s = 0; s < k::kStats; s++) na = na || std::isnan(stats[s]);
    for (int s = 0; s < k::kStats; s++) {
        const bool quantile = s == k::Stat::Q3 || s == k::Stat::Q1;
        const bool extreme = s == k::Stat::Max || s == k::Stat::Min;
        const bool integral = extreme || (quantile && missing && stats[s] == std::floor(stats[s]));
        out[s] = !na                             ? Cell::Float
                 : empty && quantile             ? Cell::Float
                 : std::isnan(stats[s])          ? Cell::NA
                 : integer_values && integral    ? Cell::Value
                                                 : Cell::Float;
    }
    return na;
}

// The same for pyarrow's statistics: pd.NA where pyarrow returns null (a
// NaN it computes stays a float).
bool arrow_block(const double *stats, Cell *out) {
    bool na = false;
    for (int s = 0; s < k::kStats; s++) {
        const bool null = std::isnan(stats[s]) && !k::is_arrow_nan(stats[s]);
        out[s] = null ? Cell::NA : Cell::Float;
        na = na || null;
    }
    return na;
}

bool block_of(const double *stats, bool missing, bool integer_values, const k::Options &o, Cell *out,
              bool empty = false) {
    return o.arrow_stats ? arrow_block(stats, out) : masked_block(stats, missing, integer_values, out, empty);
}

// Window w's cell types in label order (as values_of gives the values).  A
// record with a pd.NA is an object Series: its counts, and the span of an
// integer axis, stay Python and numpy ints.  A record without is float64.
void cells_of(const ResultRecords &records, int64_t w, const k::Options &o, bool integer_values, bool integer_time,
              std::vector<Cell> &out) {
    out.clear();
    const k::Result &r = records.result();
    bool object = false;
    records.walk(w, [&](const RecordEntry &e) {
        const size_t at = out.size();
        const double *fields = records.fields(w, e);
        switch (e.block) {
            case Block::Period:
                out.insert(out.end(), k::kStats, Cell::Float);
                out.insert(out.end(), k::kPeriodWidth - k::Field::Nb0, Cell::Int);
                break;
            case Block::Profile:
                out.insert(out.end(), k::kStats, Cell::Float);
                object |= block_of(fields, r.profile_missing[e.group] != 0, integer_values, o, &out[at],
                                   r.profile_rows[e.group] == 0);
                break;
            case Block::Lag:
                out.insert(out.end(), k::kLagWidth, Cell::Int);
                object |= block_of(fields, fields[k::Field::NbNa] > 0, integer_values, o, &out[at]);
                out[at + k::Field::Acor] = Cell::Float;
                break;
            case Block::Span:
                out.insert(out.end(), 2, integer_time ? Cell::Int : Cell::Float);  // a Series from a dict: int64
                break;
        }
    });
    if (!object) std::fill(out.begin(), out.end(), Cell::Float);
}

// The kernel's threads: MOVRA_NUM_THREADS when set (read at every call),
// else the processors this process may run on.
int kernel_threads() {
    const char *text = std::getenv("MOVRA_NUM_THREADS");
    if (text == nullptr || *text == '\0') return fe_kernel::available_cpus();
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end != '\0' || n < 1 || n > 1024)
        throw py::value_error(std::string("MOVRA_NUM_THREADS must be a whole number from 1 to 1024, not '") + text +
                              "'");
    return static_cast<int>(n);
}

}  // namespace

namespace {

// What the pandas path's records make of a datetime axis: records holding
// Timestamps are not numeric, so the record frame infers each column's type
// from its cells.  Counts (Python ints) become int64 columns where every
// window has one, and the span columns hold Timestamps of the column's unit
// and zone.  The span columns are built by the same constructor as there.
void datetime_record_types(Examination &x, const k::Result &r, py::object ftrs, const std::vector<ColumnRole> &roles) {
    bool any = false;
    for (int64_t n : r.rows) any = any || n > 0;
    if (!any) return;  // only empty records: all float64, no span
    std::vector<py::ssize_t> span_at(2, -1);
    for (py::ssize_t j = 0; j < static_cast<py::ssize_t>(roles.size()); j++) {
        const ColumnRole &role = roles[static_cast<size_t>(j)];
        if (role.block == Block::Span) span_at[static_cast<size_t>(role.field)] = j;
        if (role.count()) {
            py::object column = ftrs.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
            if (!has_missing(column)) ftrs.attr("isetitem")(j, column.attr("astype")("int64"));
        }
    }
    // Timestamps of the span, NaN for empty windows.
    const int64_t W = r.windows;
    py::array_t<int64_t> ticks({static_cast<py::ssize_t>(W), static_cast<py::ssize_t>(2)});
    auto t = ticks.mutable_unchecked<2>();
    for (int64_t w = 0; w < W; w++)
        for (int e = 0; e < 2; e++) t(w, e) = r.span[static_cast<size_t>(2 * w + e)].i;
    py::object dates = x.pandas.attr("Series")(ticks.attr("ravel")().attr("view")("M8[" + x.time.unit + "]"));
    if (!x.time.tz.is_none())
        dates = dates.attr("dt").attr("tz_localize")("UTC").attr("dt").attr("tz_convert")(x.time.tz);
    py::list stamps = dates.attr("astype")("object").attr("tolist")();
    py::float_ missing(std::nan(""));
    py::list table;
    for (int64_t w = 0; w < W; w++) {
        py::list row;
        for (int e = 0; e < 2; e++)
            row.append(r.rows[static_cast<size_t>(w)] > 0 ? py::object(stamps[static_cast<size_t>(2 * w + e)])
                                                         : py::object(missing));
        table.append(row);
    }
    const std::string start = x.names.value + kSpanSuffixes[0], end = x.names.value + kSpanSuffixes[1];
    py::object span = x.pandas.attr("DataFrame")(table, py::arg("columns") = py::make_tuple(start, end),
                                                 py::arg("dtype") = py::none());
    for (int e = 0; e < 2; e++)
        if (span_at[e] >= 0)
            ftrs.attr("isetitem")(span_at[e], span.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), e)]);
}

// What the pandas path's records over nullable readings make of the frame:
// when any record holds pd.NA, the frame infers each column's type from its
// cells, as numpy does for a list of objects.  A column holding pd.NA is an
// object column (its numbers as Python floats and ints, NaN where a record
// lacks the label); one whose every cell is an int takes the ints' type
// (int64 for counts and times, the readings' own width for their
// statistics); any other stays float64.
void masked_record_types(Examination &x, const py::object &table, const std::vector<Cell> &types, py::handle ftrs) {
    py::buffer_info info = py::buffer(table).request();
    const double *cells = static_cast<const double *>(info.ptr);
    const py::ssize_t W = info.shape[0], C = info.shape[1];
    bool any_na = false;
    for (Cell t : types) any_na = any_na || t == Cell::NA;
    if (!any_na) return;  // every record float64: so is the frame
    py::object na = x.pandas.attr("NA");
    for (py::ssize_t j = 0; j < C; j++) {
        bool has_na = false, same = W > 0;
        const Cell first = W > 0 ? types[static_cast<size_t>(j)] : Cell::Missing;
        for (py::ssize_t w = 0; w < W; w++) {
            const Cell t = types[static_cast<size_t>(w * C + j)];
            has_na = has_na || t == Cell::NA;
            same = same && t == first;
        }
        if (has_na) {
            // The statistics are numpy scalars there, a lacking label
            // Python's NaN.  pyarrow's are Python floats, as are the numpy
            // floats of the record's float64 blocks once it becomes an
            // object Series.
            py::object values = table[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
            py::list floats(values), ints;
            if (x.integer_values) ints = py::list(x.numpy.attr("nan_to_num")(values).attr("astype")(x.value_dtype));
            py::array column(py::dtype("O"), std::vector<py::ssize_t>{W});
            PyObject **out = static_cast<PyObject **>(column.mutable_data());
            for (py::ssize_t w = 0; w < W; w++) {
                const Cell t = types[static_cast<size_t>(w * C + j)];
                const double v = cells[w * C + j];
                PyObject *item = t == Cell::NA      ? na.inc_ref().ptr()
                                 : t == Cell::Float && !x.arrow_values
                                     ? py::object(floats[static_cast<size_t>(w)]).release().ptr()
                                 : t == Cell::Value ? py::object(ints[static_cast<size_t>(w)]).release().ptr()
                                 : t == Cell::Int   ? PyLong_FromDouble(v)
                                                    : PyFloat_FromDouble(v);
                if (item == nullptr) throw py::error_already_set();
                Py_XDECREF(out[w]);
                out[w] = item;
            }
            ftrs.attr("isetitem")(j, column);
        } else if (same && (first == Cell::Int || first == Cell::Value)) {
            const std::string dtype = first == Cell::Int ? std::string("int64") : x.value_dtype;
            py::object column = ftrs.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
            ftrs.attr("isetitem")(j, column.attr("astype")(dtype));
        }
    }
}

// Closes a progress bar however the loop ends.
class BarGuard {
public:
    explicit BarGuard(py::object bar) : bar_(std::move(bar)) {}
    void update(int64_t n) { bar_.attr("update")(n); }
    void close() {
        py::object bar = std::move(bar_);
        bar_ = py::object();
        if (bar) bar.attr("close")();
    }
    ~BarGuard() {
        if (!bar_) return;
        PyObject *type, *value, *traceback;  // an error being reported stays so
        PyErr_Fetch(&type, &value, &traceback);
        PyObject *result = PyObject_CallMethod(bar_.ptr(), "close", nullptr);
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
        PyErr_Restore(type, value, traceback);
    }

private:
    py::object bar_;
};

}  // namespace

py::object progress_bar(py::handle tqdm, py::handle iterable, py::ssize_t total) {
    if (iterable) return tqdm(iterable, py::arg("total") = total, py::arg("desc") = kLabel);
    return tqdm(py::arg("total") = total, py::arg("desc") = kLabel);
}

py::object fe4ts_native(Call &c, const Fe4tsArgs &a, std::string &declined) {
    // MOVRA_FE4TS_PROFILE: a file that each call appends its stages' times to.
    k::CallProfile profile(std::getenv("MOVRA_FE4TS_PROFILE"));
    Examination x(c, a);
    try {
        x.pandas = c.global("pandas");
        x.numpy = c.global("numpy");
        declined = examine(x);
    } catch (py::error_already_set &e) {
        // A failure while looking is the pandas path's to report; an
        // interrupt is the caller's.
        if (!e.matches(PyExc_Exception)) throw;
        declined = "examining the call raised " + utf8(py::str(e.type().attr("__name__"))) + ": " +
                   utf8(py::str(e.value())) + ", as the pandas path will";
    } catch (const native::Decline &d) {
        declined = d.reason;
    } catch (const std::exception &e) {
        declined = std::string("a column could not be converted (") + e.what() + ")";
    }
    if (!declined.empty()) return py::object();
    profile.lap("examining");
    x.options.profile = profile.on();

    // Only the windows' units are ordered.
    x.table.wanted_units.emplace();
    for (const k::Window &w : x.windows)
        if (!w.matches_nothing) x.table.wanted_units->push_back(w.unit);

    // Ordering a large unordered table takes a while: Ctrl-C is heard
    // meanwhile.  Ordering reads the caller's columns, so the interpreter
    // lock stays held (the kernel's threads need none); the runs below give
    // it up only where the kernel works on copies of its own.
    MOVRA_AT(c);
    const int threads = kernel_threads();
    auto kernel = std::make_unique<k::Kernel>(x.table, [] { return PyErr_CheckSignals() != 0; }, threads);
    if (kernel->interrupted()) throw py::error_already_set();
    profile.lap("ordering");
    const bool narrow = x.options.precision != k::Precision::Float64;
    for (const k::Window &w : x.windows) {
        const k::Range range = kernel->locate(w);
        if (range.ambiguous) {
            declined = "a FORWARD_R or BACKWARD_R cut falls between readings of equal time, which only the "
                       "pandas path's sort orders";
            return py::object();
        }
        if (narrow && kernel->repeats_time(range)) {
            declined = "the value column " + text_of(x.a.value) + " (" +
                       utf8(py::str(x.a.df[x.a.value].attr("dtype"))) +
                       ") has readings of a window at equal times, which the pandas path's sort may "
                       "order otherwise, and float32 sums depend on the order" + float64_hint(x);
            return py::object();
        }
    }

    profile.lap("locating");

    // One record per window, under a progress bar with the windows' count.
    MOVRA_AT(c);
    const int64_t nwindows = x.nwindows;
    BarGuard bar(progress_bar(c.global("tqdm"), py::handle(), static_cast<py::ssize_t>(nwindows)));
    k::Result result;
    for (int64_t from = 0; from < nwindows; from += kWindowsPerStep) {
        const int64_t count = std::min(kWindowsPerStep, nwindows - from);
        // Every window was located above, so none is ambiguous here.
        {
            std::optional<py::gil_scoped_release> unlocked;
            if (kernel->reordered()) unlocked.emplace();
            kernel->run(x.windows.data() + from, count, x.options, result);
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        bar.update(count);
    }
    const k::StageTimes stages = kernel->stage_times();
    kernel.reset();
    bar.close();
    profile.lap("windows");
    profile.add(stages);

    // Columns, then one float64 array of all records.
    MOVRA_AT(c);
    py::object numpy = x.numpy, pandas = x.pandas;
    ColumnPlacement<TextLabels> placement(utf8(x.a.unit));
    const ResultRecords records(result, x.options);
    const int64_t W = records.windows();
    std::vector<std::vector<int>> row_positions(static_cast<size_t>(W));
    std::vector<ColumnRole> column_roles;  // by placed column
    {
        KeyTexts key_text(x.options, x.keys);
        std::vector<int64_t> shape, last_shape;
        std::vector<std::string> labels;
        std::vector<ColumnRole> roles;
        std::vector<int> last_positions;
        for (int64_t w = 0; w < W; w++) {
            shape_of(records, w, shape);
            if (w == 0 || shape != last_shape) {
                labels_of(records, w, x.names, key_text, labels, roles);
                last_positions = placement.place(labels);
                column_roles.resize(placement.names().size());
                for (size_t j = 0; j < roles.size(); j++) column_roles[static_cast<size_t>(last_positions[j])] = roles[j];
                last_shape = shape;
            }
            row_positions[static_cast<size_t>(w)] = last_positions;
        }
    }
    const int unit_at = placement.unit_columns()[0];  // the only one: no label of the kernel's is the unit's
    const auto &all_names = placement.names();
    const py::ssize_t C = static_cast<py::ssize_t>(all_names.size()) - 1;  // without the unit column
    py::list feature_columns;
    column_roles.erase(column_roles.begin() + unit_at);
    for (size_t j = 0; j < all_names.size(); j++)
        if (static_cast<int>(j) != unit_at) feature_columns.append(py::str(all_names[j]));

    py::object table = numpy.attr("full")(py::make_tuple(W, C), numpy.attr("nan"));
    std::vector<Cell> types;  // nullable readings: every cell's type, row by row
    if (x.masked_values) types.assign(static_cast<size_t>(W * C), Cell::Missing);
    {
        py::buffer_info info = py::buffer(table).request(true);
        double *cells = static_cast<double *>(info.ptr);
        std::vector<double> values;
        std::vector<Cell> kinds;
        const bool integer_time = x.time.kind != TimeAxis::Float;
        for (int64_t w = 0; w < W; w++) {
            values_of(records, w, integer_time, values);
            if (x.masked_values) cells_of(records, w, x.options, x.integer_values, integer_time, kinds);
            const std::vector<int> &at = row_positions[static_cast<size_t>(w)];
            for (size_t j = 0; j < values.size(); j++) {
                const int p = at[j];
                const int64_t cell = w * C + (p > unit_at ? p - 1 : p);
                cells[cell] = values[j];
                if (x.masked_values) types[static_cast<size_t>(cell)] = kinds[j];
            }
        }
    }
    MOVRA_AT(c);
    py::object ftrs = pandas.attr("DataFrame")(table, py::arg("columns") = feature_columns);
    if (x.time.kind == TimeAxis::Datetime) datetime_record_types(x, result, ftrs, column_roles);
    if (x.masked_values) masked_record_types(x, table, types, ftrs);
    ftrs.attr("insert")(unit_at, x.a.unit, x.a.interval[x.a.unit].attr("reset_index")(py::arg("drop") = true),
                        py::arg("allow_duplicates") = true);
    profile.lap("frame");
    py::object out = fe4ts_derive(c, a, ftrs, threads);
    profile.lap("derived columns");
    profile.write();
    return out;
}

}  // namespace movra
