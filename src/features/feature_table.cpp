// The feature table of fe4ts (feature_table.h).
#include "feature_table.h"

#include "../module/table.h"
#include "fe_kernel.h"
#include "feature_names.h"
#include "label_text.h"

#include <pybind11/numpy.h>

#include <cstring>
#include <string>
#include <vector>

namespace movra {

namespace {

using FloatTable = py::array_t<double, py::array::f_style>;

// ---- the periodic keys ---------------------------------------------------------

// The first positions of the distinct values of `values` read as T, when
// it is what the column's dtype promises: a C-ordered one-dimensional numpy
// array of T with one item per row (the module's numpy global may hand back
// anything).  Otherwise nothing is read and the caller declines.
template <class T>
bool first_positions(py::handle values, py::ssize_t rows, int threads, std::vector<int64_t> &at) {
    using Typed = py::array_t<T, py::array::c_style>;
    if (!py::isinstance<Typed>(values)) return false;
    const auto typed = py::reinterpret_borrow<Typed>(values);
    if (typed.ndim() != 1 || typed.size() != rows) return false;
    at = fe_kernel::first_occurrences(typed.data(), static_cast<int64_t>(rows), threads);
    return true;
}

}  // namespace

bool numeric_column(py::handle numpy, py::handle column, NumericColumn &out) {
    py::object dtype = column.attr("dtype");
    if (!py::isinstance(dtype, numpy.attr("dtype"))) return false;
    out.kind = py::str(dtype.attr("kind")).cast<std::string>()[0];
    out.size = dtype.attr("itemsize").cast<int>();
    if (out.kind != 'i' && out.kind != 'u' && out.kind != 'f') return false;
    py::object array = column.attr("to_numpy")();
    out.values = numpy.attr("ascontiguousarray")(array);
    out.copied = !out.values.is(array);
    out.rows = static_cast<py::ssize_t>(py::len(column));
    return true;
}

py::object distinct_in(const NumericColumn &column, int threads) {
    auto first = [&](auto typed, std::vector<int64_t> &at) {
        return first_positions<decltype(typed)>(column.values, column.rows, threads, at);
    };
    const char kind = column.kind;
    const int size = column.size;
    std::vector<int64_t> at;
    bool read = false;
    if (kind == 'f' && size == 8) read = first(double(), at);
    else if (kind == 'f' && size == 4) read = first(float(), at);
    else if (kind == 'i' && size == 8) read = first(int64_t(), at);
    else if (kind == 'i' && size == 4) read = first(int32_t(), at);
    else if (kind == 'i' && size == 2) read = first(int16_t(), at);
    else if (kind == 'i' && size == 1) read = first(int8_t(), at);
    else if (kind == 'u' && size == 8) read = first(uint64_t(), at);
    else if (kind == 'u' && size == 4) read = first(uint32_t(), at);
    else if (kind == 'u' && size == 2) read = first(uint16_t(), at);
    else if (kind == 'u' && size == 1) read = first(uint8_t(), at);
    if (!read) return py::object();
    // numpy's own array (the `numpy` global may be rebound to anything), and
    // an ndarray's indexing: C code.
    return column.values[py::array_t<int64_t>(static_cast<py::ssize_t>(at.size()), at.data())];
}

namespace {

// column.unique(): its distinct values in order of first appearance.  A
// plain numpy column of numbers is searched natively (with `threads`
// threads), and the values are taken from the column itself at their first
// positions, so they are the very scalars unique gives.
py::object distinct_values(py::handle numpy, py::object column, int threads) {
    NumericColumn numeric;
    if (!numeric_column(numpy, column, numeric)) return column.attr("unique")();
    py::object values = distinct_in(numeric, threads);
    return values ? values : column.attr("unique")();
}

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

// ---- the derived columns' plan -------------------------------------------------

// Where an operand or a derived column's value comes from.
struct Source {
    enum Kind : uint8_t { Absent, Record, Derived } kind = Absent;
    int at = -1;  // Record: its feature column, -1 when not one float64 column; Derived: its entry
};

// A derived column: None (an operand absent), its values computed here
// (both operands float64 values), or pandas' result.
struct DerivedColumn {
    enum Kind : uint8_t { None, Values, Pandas } kind = None;
    py::object name, first, second;
    Source a, b;
    DerivedOp op = DerivedOp::Ratio;
    int slot = -1;  // Values: its column among the computed ones
};

// The derived columns in the order first set, each with its operands found
// as the frame would find them: among the columns set so far, then among
// the record's columns.
class DerivedPlan {
public:
    DerivedPlan(const PlacedRecords &r, py::handle unit) {
        const bool any = !r.unit_at.empty();
        for (size_t j = 0; j < r.labels.size() && any; j++) {
            py::handle label = r.labels[j];
            const bool one_float = r.floats && !records_.contains(label) && (r.plain.empty() || r.plain[j]);
            records_[label] = py::int_(one_float ? static_cast<int>(j) : -1);
        }
        if (any) records_[unit] = py::int_(-1);
    }

    void operator()(const PyText &name, const PyText &first, const PyText &second, DerivedOp op) {
        DerivedColumn d;
        d.name = name.o;
        d.first = first.o;
        d.second = second.o;
        d.op = op;
        d.a = find(first.o);
        if (d.a.kind != Source::Absent) d.b = find(second.o);
        if (d.a.kind != Source::Absent && d.b.kind != Source::Absent)
            d.kind = values(d.a) && values(d.b) ? DerivedColumn::Values : DerivedColumn::Pandas;
        if (d.kind == DerivedColumn::Values) d.slot = slots_++;
        else all_values_ = false;
        if (derived_.contains(d.name)) {
            columns[derived_[d.name].cast<size_t>()] = std::move(d);  // set again where it stands
        } else {
            if (records_.contains(d.name)) replaces_record = true;
            derived_[d.name] = py::int_(columns.size());
            columns.push_back(std::move(d));
        }
    }

    std::vector<DerivedColumn> columns;
    bool replaces_record = false;  // a derived column named like a record's column
    int slots() const { return slots_; }
    // Every column computed here, none set twice (its first values unused).
    bool all_values() const { return all_values_ && slots_ == static_cast<int>(columns.size()); }

private:
    Source find(py::handle label) const {
        if (derived_.contains(label)) return {Source::Derived, derived_[label].cast<int>()};
        if (records_.contains(label)) return {Source::Record, records_[label].cast<int>()};
        return {};
    }
    bool values(const Source &s) const {
        if (s.kind == Source::Record) return s.at >= 0;
        return s.kind == Source::Derived && columns[static_cast<size_t>(s.at)].kind == DerivedColumn::Values;
    }

    py::dict records_, derived_;
    int slots_ = 0;
    bool all_values_ = true;
};

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

// The values of the columns computed here, into `out` (rows x slots, column
// by column); `records` are the record's float64 cells.
void compute_values(const DerivedPlan &plan, const double *records, double *out, py::ssize_t rows) {
    auto column = [&](const Source &s) {
        if (s.kind == Source::Record) return records + static_cast<py::ssize_t>(s.at) * rows;
        return static_cast<const double *>(out + plan.columns[static_cast<size_t>(s.at)].slot * rows);
    };
    for (const DerivedColumn &d : plan.columns)
        if (d.kind == DerivedColumn::Values) by_values(d.op, column(d.a), column(d.b), out + d.slot * rows, rows);
}

// ---- the frame -------------------------------------------------------------------

py::slice all() { return py::slice(py::none(), py::none(), py::none()); }

// The columns of the frame: the feature columns with the unit columns at
// their places, then `extra` columns (derived ones).  `at` gives each
// feature column's place in the frame.
struct FrameColumns {
    py::list labels;
    std::vector<py::ssize_t> at;
    FrameColumns(const PlacedRecords &r, py::handle unit) {
        size_t u = 0;
        for (size_t j = 0; j < r.labels.size(); j++) {
            while (u < r.unit_at.size() && r.unit_at[u] == static_cast<int>(py::len(labels))) {
                labels.append(unit);
                u++;
            }
            at.push_back(static_cast<py::ssize_t>(py::len(labels)));
            labels.append(r.labels[j]);
        }
        for (; u < r.unit_at.size(); u++) labels.append(unit);
    }
    py::ssize_t size() const { return static_cast<py::ssize_t>(py::len(labels)); }
};

// The frame: built at once from the cells with a stand-in for each unit
// column, which the unit's values then replace where it stands (cheaper
// than inserting a column into a built frame), the kernel's column types,
// and the index.
py::object finish_frame(py::handle pandas, const PlacedRecords &r, const FrameColumns &columns, py::object data) {
    py::object ftrs = r.floats ? pandas.attr("DataFrame")(data, py::arg("columns") = columns.labels, py::arg("copy") = false)
                               : pandas.attr("DataFrame")(data, py::arg("columns") = columns.labels, py::arg("dtype") = py::none());
    if (r.retype) r.retype(ftrs, columns.at);
    for (int p : r.unit_at) ftrs.attr("isetitem")(p, r.unit_values);
    if (r.index) ftrs.attr("index") = r.index;
    return ftrs;
}

// The float64 cells of the frame (rows x columns, column by column): the
// records' columns in their places, NaN in the unit columns' until they are
// set, room for `extra` columns after them.
FloatTable frame_cells(const PlacedRecords &r, const FrameColumns &columns, const double *records, int extra) {
    const py::ssize_t W = r.rows;
    FloatTable table({W, columns.size() + extra});
    double *cells = table.mutable_data();
    for (int p : r.unit_at) std::fill(cells + p * W, cells + (p + 1) * W, std::nan(""));
    for (size_t j = 0; j < columns.at.size(); j++)
        if (W > 0) std::memcpy(cells + columns.at[j] * W, records + static_cast<py::ssize_t>(j) * W, W * sizeof(double));
    return table;
}

// The records as a frame: feature columns, their types, the unit columns.
py::object record_frame(py::handle pandas, PlacedRecords &r, py::handle unit) {
    if (r.unit_at.empty()) {
        py::object ftrs = pandas.attr("DataFrame")();
        if (r.index) ftrs.attr("index") = r.index;
        return ftrs;
    }
    const FrameColumns columns(r, unit);
    if (r.floats) return finish_frame(pandas, r, columns, frame_cells(r, columns, py::cast<FloatTable>(r.floats).data(), 0));
    py::list rows;
    py::float_ missing(std::nan(""));
    for (py::handle row : r.cells) {
        py::list cells(columns.size());
        for (py::ssize_t k = 0; k < columns.size(); k++) cells[static_cast<size_t>(k)] = missing;
        for (size_t j = 0; j < columns.at.size(); j++) cells[static_cast<size_t>(columns.at[j])] = row[py::int_(j)];
        rows.append(cells);
    }
    return finish_frame(pandas, r, columns, rows);
}

// The derived columns over the frame of the records, in order, each as the
// plan says; pandas computes those it must from the frame's columns and
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

}  // namespace

py::object feature_table(Call &c, const Fe4tsArgs &a, PlacedRecords &r, bool derive, int threads) {
    MOVRA_AT(c);
    py::object pandas = c.global("pandas");
    if (!derive) return record_frame(pandas, r, a.unit);

    DerivedPlan plan(r, a.unit);
    plan_derived(c, a, r.periodic_keys, threads, plan);
    MOVRA_AT(c);
    const py::ssize_t W = r.rows;
    const double *records = r.floats ? py::cast<FloatTable>(r.floats).data() : nullptr;

    if (r.floats && !r.unit_at.empty() && plan.all_values() && !plan.replaces_record) {
        // One array: the records' and the unit columns, then the derived ones.
        FrameColumns columns(r, a.unit);
        FloatTable table = frame_cells(r, columns, records, plan.slots());
        compute_values(plan, records, table.mutable_data() + W * columns.size(), W);
        for (const DerivedColumn &d : plan.columns) columns.labels.append(d.name);
        return finish_frame(pandas, r, columns, table);
    }

    FloatTable computed({W, static_cast<py::ssize_t>(plan.slots())});
    if (plan.slots() > 0) compute_values(plan, records, computed.mutable_data(), W);
    py::object ftrs = record_frame(pandas, r, a.unit);
    return derived_over_frame(c, plan, ftrs, computed);
}

}  // namespace movra
