// fe4ts's derived columns (derived_columns.h).
#include "derived_columns.h"

#include "../module/table.h"
#include "distinct_values.h"

#include <pybind11/numpy.h>

namespace movra {

namespace {

// ---- pandas' arithmetic, where the operands are not float64 -------------------

// Over object columns (a record holding pd.NA makes them so) pandas divides
// cell by cell as Python does, and a Python float divided by 0.0 raises.
// The ratio is then what it is over float64 columns, inf or NaN: the
// denominator's floats become numpy's, which divide as numpy does, quietly.
py::object ratio(py::object a, py::object b) {
    try {
        return a / b;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ZeroDivisionError)) throw;
    }
    py::module_ numpy = py::module_::import("numpy");
    py::object as_numpy = numpy.attr("float64");
    py::object denominator = b.attr("map")(py::cpp_function(
        [as_numpy](py::object y) -> py::object { return PyFloat_Check(y.ptr()) ? as_numpy(y) : y; }));
    struct Quiet {  // numpy.errstate(divide="ignore", invalid="ignore"), left on every path
        py::object state;
        explicit Quiet(py::object s) : state(std::move(s)) { state.attr("__enter__")(); }
        ~Quiet() {
            py::error_scope keep;  // a pending error outlives the exit
            try {
                state.attr("__exit__")(py::none(), py::none(), py::none());
            } catch (py::error_already_set &) {
                // Leaving numpy's error state cannot fail; were it to, the
                // division's own outcome matters more.
            }
        }
    } quiet(numpy.attr("errstate")(py::arg("divide") = "ignore", py::arg("invalid") = "ignore"));
    return a / denominator;
}

py::object by_pandas(DerivedOp op, py::object a, py::object b) {
    switch (op) {
        case DerivedOp::Ratio:
            return ratio(std::move(a), std::move(b));
        case DerivedOp::Spread:
            return a - b;
        case DerivedOp::Total:
            break;
    }
    return a + b;
}

// numpy's float64 arithmetic, element by element.
void by_values(DerivedOp op, const double *a, const double *b, double *out, py::ssize_t n) {
    switch (op) {
        case DerivedOp::Ratio:
            for (py::ssize_t i = 0; i < n; i++) out[i] = a[i] / b[i];
            return;
        case DerivedOp::Spread:
            for (py::ssize_t i = 0; i < n; i++) out[i] = a[i] - b[i];
            return;
        case DerivedOp::Total:
            for (py::ssize_t i = 0; i < n; i++) out[i] = a[i] + b[i];
            return;
    }
}

py::slice all() { return py::slice(py::none(), py::none(), py::none()); }

}  // namespace

// Every derived column of the call, in order: per period column, per
// distinct value of each periodic column in the whole readings, per lag.
void plan_derived(Call &c, const Fe4tsArgs &a, const std::vector<py::object> &held, int threads,
                  DerivedPlan &plan) {
    const PyText value(a.value);
    for (py::handle t : a.tactic) {
        MOVRA_AT(c);
        const PyText name(py::reinterpret_borrow<py::object>(t));
        derive_period(period_base(value, name), name, plan);
    }
    size_t entry = 0;
    for (py::handle p : a.periodic) {
        MOVRA_AT(c);
        const PyText column(py::reinterpret_borrow<py::object>(p));
        const py::object keys = held.empty() ? distinct_values(c.global("numpy"), a.column(p), threads) : held[entry];
        entry++;
        for (py::handle i : keys) derive_spreads(profile_base(value, column, key_text(i)), plan);
    }
    for (py::handle l : a.lag) {
        MOVRA_AT(c);
        derive_spreads(lag_base(value, key_text(l)), plan);
    }
}

void compute_values(const DerivedPlan &plan, const double *records, double *out, py::ssize_t rows) {
    auto column = [&](const Operand &s) {
        if (s.kind == Operand::Record) return records + static_cast<py::ssize_t>(s.at) * rows;
        return static_cast<const double *>(out + plan.columns[static_cast<size_t>(s.at)].slot * rows);
    };
    for (const DerivedColumn &d : plan.columns)
        if (d.kind == DerivedColumn::Values) by_values(d.op, column(d.a), column(d.b), out + d.slot * rows, rows);
}

// Each derived column as the plan says; pandas computes those it must from the frame's columns and
// those set before.  New columns are gathered and joined once; one named
// like a record column replaces it where it stands.
py::object derived_over_frame(Call &c, const DerivedPlan &plan, py::object ftrs, py::object computed) {
    py::object pandas = c.global("pandas");
    py::dict pending;
    auto get = [&](py::handle label) -> py::object {
        if (pending.contains(label)) return pending[label];
        return ftrs[label];
    };
    auto has = [&](py::handle label) {
        return pending.contains(label) || truth(ftrs.attr("columns").attr("__contains__")(label));
    };
    for (const DerivedColumn &d : plan.columns) {
        MOVRA_AT(c);
        py::object out = py::none();
        if (plan.replaces_record) {
            // A record column may have been replaced: look everything up again.
            if (has(d.first) && has(d.second)) out = by_pandas(d.op, get(d.first), get(d.second));
        } else if (d.kind == DerivedColumn::Values) {
            out = pandas.attr("Series")(computed[py::make_tuple(all(), d.slot)], py::arg("index") = ftrs.attr("index"),
                                        py::arg("copy") = false);
        } else if (d.kind == DerivedColumn::Pandas) {
            out = by_pandas(d.op, get(d.first), get(d.second));
        }
        if (!pending.contains(d.name) && truth(ftrs.attr("columns").attr("__contains__")(d.name)))
            set_item(ftrs, d.name, out);  // replaced where it stands
        else
            pending[d.name] = out;
    }
    if (pending.empty()) return ftrs;
    py::object extra = pandas.attr("DataFrame")(pending, py::arg("index") = ftrs.attr("index"));
    if (py::len(ftrs.attr("columns")) == 0) return extra;
    py::list both;
    both.append(ftrs);
    both.append(extra);
    return pandas.attr("concat")(both, py::arg("axis") = 1);
}

}  // namespace movra
