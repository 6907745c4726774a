// The first steps of the examination: the progress display, the call's
// shape and its aggregation.
#include "../../module/progress.h"
#include "examination.h"
#include "library_rules.h"

namespace movra::fe4ts_layer {

// The kernel keeps its own loop only with the class loaded with the module,
// which yields every window unchanged.
Reason progress_step(const Call &c) {
    if (!ProgressDisplay(c).own())
        return "tqdm is rebound, and the windows are those its loop yields; the kernel runs under the "
               "tqdm class loaded with movra";
    return {};
}

// Frames, names that are str, lists of entries.
Reason arguments_step(const Context &cx, CallShape &out) {
    const Fe4tsArgs &a = cx.args;
    auto entries = [](py::handle seq, std::vector<py::object> &to) {
        if (!PyList_CheckExact(seq.ptr()) && !PyTuple_CheckExact(seq.ptr())) return false;
        for (py::handle h : seq) to.push_back(py::reinterpret_borrow<py::object>(h));
        return true;
    };
    if (!py::isinstance(a.df, cx.pandas.attr("DataFrame")) || !py::isinstance(a.interval, cx.pandas.attr("DataFrame")))
        return "df and interval are not both DataFrames";
    if (!is_text(a.unit) || !is_text(a.value)) return "unit and value are not both str";
    if (!entries(a.tactic, out.tactic) || !entries(a.periodic, out.periodic) || !entries(a.lag, out.lag))
        return "tactic, periodic and lag are not all lists or tuples";
    py::object columns = a.df.attr("columns"), window_columns = a.interval.attr("columns");
    if (!truth(columns.attr("is_unique")) || !truth(window_columns.attr("is_unique")))
        return "df or interval has repeated column labels";
    if (out.tactic.empty()) return "tactic is empty";
    for (const auto *list : {&out.tactic, &out.periodic})
        for (const auto &name : *list)
            if (!is_text(name) || !has_column(columns, name)) return text_of(name) + " is not a str naming a column of df";
    if (!has_column(columns, a.unit) || !has_column(columns, a.value) || !has_column(window_columns, a.unit))
        return "the unit or value column is missing";
    out.rows = static_cast<int64_t>(py::len(a.df));
    out.windows = static_cast<int64_t>(py::len(a.interval));
    if (out.windows == 0) return "interval has no windows";

    // Names enter the labels as UTF-8; the window-record labels all begin
    // with value + "_", so a unit column of such a name could clash.
    out.value = utf8(a.value);
    const std::string unit_name = utf8(a.unit);
    if (unit_name.compare(0, out.value.size() + 1, out.value + "_") == 0)
        return "the unit column's name begins with the value column's name and \"_\"";
    for (const auto &t : out.tactic) out.tactic_names.push_back(utf8(t));
    for (const auto &p : out.periodic) out.periodic_names.push_back(utf8(p));
    if (out.tactic[0].equal(a.value)) return "the time column tactic[0] is the value column";
    if (has_column(columns, a.value + py::str("_1"))) return "df has a column named value + \"_1\"";
    out.time_kind = utf8(a.column(out.tactic[0]).attr("dtype").attr("kind"))[0];
    return {};
}

std::vector<py::object> columns_read(const Context &cx, const CallShape &call) {
    std::vector<py::object> names;
    auto add = [&](const py::object &name) {
        for (const py::object &n : names)
            if (n.equal(name)) return;
        names.push_back(name);
    };
    add(cx.args.unit);
    for (const auto &t : call.tactic) add(t);
    for (const auto &p : call.periodic) add(p);
    add(cx.args.value);
    return names;
}

// numpy.nansum, or one of numpy's reductions that hand a Series over to its
// own method (missing values skipped).
Reason aggregate_step(const Context &cx, Aggregation &out) {
    const py::object &aggfunc = cx.args.aggfunc;
    if (aggfunc.is(cx.numpy.attr("nansum")) || aggfunc.is(cx.numpy.attr("sum")))
        out.aggregate = k::Aggregate::NanSum;
    else if (aggfunc.is(cx.numpy.attr("mean")))
        out.aggregate = k::Aggregate::Mean;
    else if (aggfunc.is(cx.numpy.attr("max")))
        out.aggregate = k::Aggregate::Max;
    else if (aggfunc.is(cx.numpy.attr("min")))
        out.aggregate = k::Aggregate::Min;
    else
        return "aggfunc " + text_of(aggfunc) +
               " is not one the kernel reproduces; numpy.nansum (the default), numpy.sum, numpy.mean, "
               "numpy.max and numpy.min run natively";
    out.del_t_maximin = truth(cx.args.del_t_maximin);
    out.moments = moments_rule(cx);
    return {};
}

}  // namespace movra::fe4ts_layer
