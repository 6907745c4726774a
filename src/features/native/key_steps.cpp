// Key columns: the period and profile blocks' group keys, and the units
// that windows select readings by.
#include "examination.h"

#include <cmath>

namespace movra::fe4ts_layer {

// Read where they lie at their own width: the ordering narrows (or, for
// times, widens) what it copies anyway, and a widened copy first would
// write eight bytes a reading to be read once.
void narrow_column(py::handle column, const ColumnType &t, const Buffers &buffers, k::Column &col) {
    if (t.kind == 'b') col.u8 = buffers.of<uint8_t>(column, "bool");
    else if (t.kind == 'u' && t.size == 1) col.u8 = buffers.of<uint8_t>(column, "uint8");
    else if (t.kind == 'u' && t.size == 2) col.u16 = buffers.of<uint16_t>(column, "uint16");
    else if (t.kind == 'u') col.u32 = buffers.of<uint32_t>(column, "uint32");
    else if (t.size == 1) col.i8 = buffers.of<int8_t>(column, "int8");
    else if (t.size == 2) col.i16 = buffers.of<int16_t>(column, "int16");
    else col.i32 = buffers.of<int32_t>(column, "int32");
}

namespace {

// A categorical key column as its category codes (missing: NaN), every
// category a group, labelled by str() of the category as the groups' index
// yields it.
void categories_of(const Context &cx, py::handle column, const Buffers &buffers, k::Column &col, KeyInfo &info) {
    py::object codes = column.attr("cat").attr("codes");
    py::object as_float = cx.numpy.attr("where")(lt(codes, py::int_(0)), cx.numpy.attr("nan"), codes);
    col.f64 = buffers.of<double>(as_float, "float64");
    py::object dtype = column.attr("dtype");
    const py::ssize_t count = static_cast<py::ssize_t>(py::len(dtype.attr("categories")));
    col.categories = static_cast<int64_t>(count);
    info.kind = KeyInfo::Coded;
    py::object groups = cx.pandas.attr("Categorical").attr("from_codes")(cx.numpy.attr("arange")(count),
                                                                          py::arg("dtype") = dtype);
    for (py::handle g : groups) info.labels.push_back(utf8(str_of(g)));
}

// A key column coded by value, in the order pandas sorts its groups, with
// the text of each group key.  `extremes`: del_t_maximin drops a period
// block's smallest and largest keys, which pandas must find.
Reason coded_key(const Context &cx, py::handle column, const std::string &what, bool extremes,
                 const Buffers &buffers, k::Column &col, KeyInfo &info) {
    if (extremes) {
        // Where pandas cannot (pandas 2 on text with missing values), it raises.
        try {
            column.attr("min")();
            column.attr("max")();
        } catch (py::error_already_set &e) {
            drop_failure(e);
            return what + " has no smallest or largest value for pandas, which del_t_maximin needs";
        }
    }
    py::tuple factorized;
    try {
        factorized = cx.pandas.attr("factorize")(column, py::arg("sort") = true);
    } catch (py::error_already_set &e) {
        drop_failure(e);
        return what + " cannot be sorted by pandas";
    }
    py::object codes = factorized[0];
    py::object as_float = cx.numpy.attr("where")(lt(codes, py::int_(0)), cx.numpy.attr("nan"), codes);
    col.f64 = buffers.of<double>(as_float, "float64");
    info.kind = KeyInfo::Coded;
    for (py::handle u : factorized[1]) info.labels.push_back(utf8(str_of(u)));
    return {};
}

// A key column that is not the time axis: numbers are their own keys,
// categoricals of pandas 2 are every category; any other kind is coded
// (`coded`).
Reason own_key(const Context &cx, py::handle column, const ColumnType &t, const std::string &what,
               bool extremes, const Buffers &buffers, k::Column &col, KeyInfo &info, bool &coded) {
    coded = false;
    if (arrow_integers(column, t, buffers, false, col)) {
        info.kind = KeyInfo::Int;
    } else if (is_narrow_key(t)) {
        narrow_column(column, t, buffers, col);
        info.kind = t.kind == 'b' ? KeyInfo::Bool : KeyInfo::Int;
    } else if (t.numpy_kind("i")) {
        col.i64 = buffers.of<int64_t>(column, "int64");
        info.kind = KeyInfo::Int;
    } else if (t.numpy_kind("f")) {
        col.f64 = buffers.of<double>(column, "float64");
        info.kind = KeyInfo::Float;
    } else if (t.family == ColumnType::Categorical) {
        if (extremes && !truth(column.attr("cat").attr("ordered")))
            return what + " is unordered, so its smallest and largest period are undefined";
        // pandas 2 groups a categorical with its unobserved categories: every
        // category is a group of every window.  Later versions group the
        // values present, as any other coded column.
        if (utf8(cx.pandas.attr("__version__")).compare(0, 2, "2.") == 0)
            categories_of(cx, column, buffers, col, info);
        else
            coded = true;
    } else if (t.numpy_kind("O")) {
        py::object inferred = cx.pandas.attr("api").attr("types").attr("infer_dtype")(column, py::arg("skipna") = true);
        const std::string kind = utf8(inferred);
        if (kind != "string" && kind != "empty")
            return what + " holds " + kind + " values rather than text; give it one type";
        // unique() tells None and NaN apart, which factorize does not.
        py::object missing = column[column.attr("isna")()];
        if (py::len(cx.pandas.attr("unique")(missing.attr("to_numpy")())) > 1)
            return what + " holds more than one kind of missing value";
        coded = true;
    } else {
        coded = true;
    }
    return {};
}

// The kernel column of a tactic (`tactic`) or periodic entry's name: one per
// distinct name, its place in `at`.
Reason key_column(const Context &cx, const CallShape &call, const Aggregation &aggregation, const TimeAxis &time,
                  const Buffers &buffers, py::handle name, bool tactic, Keys &out, int &at) {
    const std::string n = utf8(name);
    for (size_t j = 0; j < out.names.size(); j++)
        if (out.names[j] == n) {
            at = static_cast<int>(j);
            return {};
        }
    py::object column = cx.args.column(name);
    const ColumnType t = type_of(cx.pandas, cx.numpy, column);
    const std::string what = described(tactic ? "the period column" : "the periodic column", name, t);
    const bool extremes = tactic && aggregation.del_t_maximin;
    k::Column col;
    KeyInfo info;
    // The time axis is its own key where its numbers are the group keys'
    // (a datetime's ticks are, as long as no label shows them).
    const bool is_time = n == call.tactic_names[0] && !t.numpy_kind("b");
    bool labelled = false;
    for (const auto &p : call.periodic_names) labelled = labelled || p == n;
    if (is_time && (time.kind != TimeAxis::Datetime || !labelled)) {
        col = time.column;
        info.kind = time.kind == TimeAxis::Float ? KeyInfo::Float : KeyInfo::Int;
    } else {
        bool coded = false;
        Reason r = own_key(cx, column, t, what, extremes, buffers, col, info, coded);
        if (r.empty() && coded) r = coded_key(cx, column, what, extremes, buffers, col, info);
        if (!r.empty()) return r;
    }
    out.columns.push_back(col);
    out.info.push_back(std::move(info));
    out.names.push_back(n);
    at = static_cast<int>(out.columns.size()) - 1;
    return {};
}

}  // namespace

Reason keys_step(const Context &cx, const CallShape &call, const Aggregation &aggregation, const TimeAxis &time,
                 const Buffers &buffers, Keys &out) {
    int at = 0;
    for (const auto &t : call.tactic) {
        Reason r = key_column(cx, call, aggregation, time, buffers, t, true, out, at);
        if (!r.empty()) return r;
        out.tactic.push_back(at);
    }
    for (const auto &p : call.periodic) {
        Reason r = key_column(cx, call, aggregation, time, buffers, p, false, out, at);
        if (!r.empty()) return r;
        out.periodic.push_back(at);
    }
    return {};
}

// Integer and bool columns are their own keys, compared with the windows'
// unit values as numpy compares numbers.  Other columns are coded by value,
// and a window's unit is looked up among the values by Python equality,
// which is how == compares them; a datetime column's windows must name
// their unit by a Timestamp (pandas would parse text).
Reason units_step(const Context &cx, const CallShape &call, const Buffers &buffers, Snapshots &snapshots,
                  Units &out) {
    py::object column = cx.args.column(cx.args.unit);
    const ColumnType t = type_of(cx.pandas, cx.numpy, column);
    const std::string what = described("the unit column", cx.args.unit, t);
    const bool direct = t.numpy_kind("ib") || (t.numpy_kind("u") && t.size <= 4);
    if (t.numpy_kind("f") && t.size != 8) return what + " compares in float32; cast it to float64";
    if (t.kind == 'm' || t.kind == 'V' || t.kind == 'c') return what + " is of a kind the kernel does not code";
    py::list units = cx.args.window_column(cx.args.unit).attr("tolist")();
    if (!direct) {
        py::object live, copy;
        if (text_units(cx, column, t, units, buffers, out, live, copy)) {
            if (copy) snapshots.keep(cx, cx.args.unit, column, live, copy, copy);
            return {};
        }
        py::object values = t.numpy_kind("O") ? column.attr("to_numpy")() : py::object();
        if (values && is_plain_array(values, call.rows)) {  // mixed objects, coded by pandas from a copy
            py::object copied = values.attr("copy")();
            snapshots.keep(cx, cx.args.unit, column, values, copied, copied);
            column = cx.args.column(cx.args.unit);
        }
    }
    py::dict unit_codes;
    if (direct) {
        out.readings = buffers.of<int64_t>(column, "int64");
    } else {
        if (t.datetime()) {
            for (py::handle u : units)
                if (!py::isinstance(u, cx.pandas.attr("Timestamp")) && !u.is(cx.pandas.attr("NaT")))
                    return what + " is compared with the window unit " + text_of(u) + ", not a Timestamp";
        }
        py::tuple factorized = cx.pandas.attr("factorize")(column);
        out.readings = buffers.of<int64_t>(factorized[0], "int64");
        int64_t code = 0;
        for (py::handle u : factorized[1]) unit_codes[u] = py::int_(code++);
    }
    out.of_window.assign(static_cast<size_t>(call.windows), 0);
    out.unmatched.assign(static_cast<size_t>(call.windows), 0);
    for (size_t w = 0; w < static_cast<size_t>(call.windows); w++) {
        py::handle u = units[w];
        int64_t i = 0;
        if (!direct) {
            PyObject *code = PyDict_GetItemWithError(unit_codes.ptr(), u.ptr());
            if (code == nullptr && PyErr_Occurred()) throw py::error_already_set();
            if (code == nullptr)
                out.unmatched[w] = 1;
            else
                out.of_window[w] = PyLong_AsLongLong(code);
        } else if (as_int64(u, i)) {
            out.of_window[w] = i;
        } else if (is_float(u)) {
            const double f = PyFloat_AS_DOUBLE(u.ptr());
            if (std::isfinite(f) && f == std::floor(f) && std::fabs(f) <= kExactInDouble)
                out.of_window[w] = static_cast<int64_t>(f);
            else
                out.unmatched[w] = 1;  // NaN, inf or a fraction equals no integer unit
        } else {
            return "the window unit " + text_of(u) + " is compared with " + what + ", not a number";
        }
    }
    return {};
}

}  // namespace movra::fe4ts_layer
