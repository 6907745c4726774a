// Derived columns of fe4ts: ratios, spreads, sums and shares of the
// statistics in the window records, computed column by column.
#include "fe4ts_derive.h"

#include "../module/table.h"
#include "fe_kernel.h"
#include "feature_names.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace movra {

namespace {

// Derived columns of the feature table.  A column is computed when both
// operand columns exist (the first looked up first, the columns set so far
// included) and is None in every row otherwise.  New columns are gathered
// and joined once, in the order they were first set, rather than inserted
// one by one into an already wide frame.
class DerivedColumns {
public:
    explicit DerivedColumns(py::object ftrs) : ftrs_(std::move(ftrs)) {}

    template <typename Op>
    void derive(py::handle name, py::handle first, py::handle second, Op op) {
        if (has(first) && has(second))
            set(name, op(get(first), get(second)));
        else
            set(name, py::none());
    }

    py::object finish(py::handle pandas) {
        if (pending_.empty()) return ftrs_;
        py::object extra = pandas.attr("DataFrame")(pending_, py::arg("index") = ftrs_.attr("index"));
        if (py::len(ftrs_.attr("columns")) == 0) return extra;
        py::list both;
        both.append(ftrs_);
        both.append(extra);
        return pandas.attr("concat")(both, py::arg("axis") = 1);
    }

private:
    bool in_frame(py::handle label) const { return truth(ftrs_.attr("columns").attr("__contains__")(label)); }
    bool has(py::handle label) const { return pending_.contains(label) || in_frame(label); }
    py::object get(py::handle label) const {
        if (pending_.contains(label)) return pending_[label];
        return ftrs_[label];
    }
    void set(py::handle name, py::object value) {
        if (!pending_.contains(name) && in_frame(name))
            set_item(ftrs_, name, value);  // overwritten where it stands
        else
            pending_[name] = value;
    }

    py::object ftrs_;
    py::dict pending_;
};

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
py::object spread(py::object a, py::object b) { return a - b; }
py::object total(py::object a, py::object b) { return a + b; }

namespace k = fe_kernel;

py::object text(const char *piece) { return py::reinterpret_borrow<py::object>(interned(piece)); }

// A derived column's name: base + suffix.
py::object suffixed(py::handle base, const char *suffix) { return base + text(suffix); }

// A record label a derived column reads: base + "_" + field f's name.
py::object field(py::handle base, int f) { return base + text("_") + text(kFieldNames[f]); }

// Ratio, spread and variation of a group of statistics named base + "_MIN" ...
void add_spreads(DerivedColumns &d, py::handle base) {
    auto n = [&](const char *suffix) { return suffixed(base, suffix); };
    auto s = [&](int f) { return field(base, f); };
    d.derive(n("_MIN/MAX"), s(k::Stat::Min), s(k::Stat::Max), ratio);
    d.derive(n("_Q3-Q1"), s(k::Stat::Q3), s(k::Stat::Q1), spread);
    d.derive(n("_CV"), s(k::Stat::Std), s(k::Stat::Mean), ratio);
}

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

// column.unique(): its distinct values in order of first appearance.  A
// plain numpy column of numbers is searched natively (with `threads`
// threads), and the values are taken from the column itself at their first
// positions, so they are the very scalars unique gives.
py::object distinct_values(py::handle numpy, py::object column, int threads) {
    py::object dtype = column.attr("dtype");
    if (!py::isinstance(dtype, numpy.attr("dtype"))) return column.attr("unique")();
    const char kind = py::str(dtype.attr("kind")).cast<std::string>()[0];
    const int size = dtype.attr("itemsize").cast<int>();
    if (kind != 'i' && kind != 'u' && kind != 'f') return column.attr("unique")();
    py::object values = numpy.attr("ascontiguousarray")(column.attr("to_numpy")());
    const py::ssize_t rows = static_cast<py::ssize_t>(py::len(column));
    auto first = [&](auto typed, std::vector<int64_t> &at) {
        return first_positions<decltype(typed)>(values, rows, threads, at);
    };
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
    if (!read) return column.attr("unique")();
    return values[py::array_t<int64_t>(static_cast<py::ssize_t>(at.size()), at.data())];
}

}  // namespace

// Derived columns: per period column, per profile value, per lag.
py::object fe4ts_derive(Call &c, const Fe4tsArgs &a, py::object ftrs, int threads) {
    const py::object &df = a.df, &tactic = a.tactic, &periodic = a.periodic, &lag = a.lag, &value = a.value;
    MOVRA_AT(c);
    py::object pandas = c.global("pandas");
    DerivedColumns derived(ftrs);
    py::str underscore("_");
    for (py::handle t : tactic) {
        MOVRA_AT(c);
        py::object x = value + underscore + t;
        auto n = [&](const char *suffix) { return suffixed(x, suffix); };
        auto count = [&](int f) { return field(x, f); };
        add_spreads(derived, x);
        derived.derive(n("_NB_NA0"), count(k::Field::NbNa), count(k::Field::Nb0), total);
        derived.derive(n("_NB_0/") + t + py::str("_NB"), count(k::Field::Nb0), count(k::Field::Nb), ratio);
        derived.derive(n("_NB_NA/") + t + py::str("_NB"), count(k::Field::NbNa), count(k::Field::Nb), ratio);
        derived.derive(n("_NB_NA0/") + t + py::str("_NB"), n("_NB_NA0"), count(k::Field::Nb), ratio);
    }
    for (py::handle p : periodic) {
        MOVRA_AT(c);
        for (py::handle i : distinct_values(c.global("numpy"), df[p], threads))
            add_spreads(derived, value + underscore + p + underscore + str_of(i));
    }
    for (py::handle l : lag) {
        MOVRA_AT(c);
        add_spreads(derived, value + text(kDiffInfix) + str_of(l));
    }
    MOVRA_AT(c);
    return derived.finish(pandas);
}

}  // namespace movra
