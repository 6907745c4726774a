// fe4ts on the native kernel.
//
// The pandas path costs a mask over the whole readings table and a few
// hundred library calls per window.  When a call is one the kernel
// reproduces exactly, this layer hands it the columns' buffers instead: the
// readings are ordered once, every window is computed in C++, and the record
// frame is built once from a single float64 array.  The derived columns are
// the pandas path's own last step.
//
// The kernel is taken only when everything about the call is understood:
// DataFrames with plain numpy columns of the types below, names that are str,
// lags and window bounds that are plain numbers, an aggfunc the kernel
// implements, and no window whose positional cut would depend on how the sort
// orders equal times.  Anything else, including every input that makes the
// pandas path raise, goes to the pandas path unchanged.  Nothing here
// modifies the caller's frames.
#include "fe4ts_native.h"

#include "../module/table.h"
#include "fe_kernel.h"
#include "feature_names.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace movra {

namespace {

namespace k = fe_kernel;

// Not a call the kernel takes.  Thrown while the call is examined and caught
// in fe4ts_native, which then returns a null object.
struct Decline {};

constexpr double kExact = 9007199254740992.0;  // 2**53: integers up to here are exact doubles
constexpr int64_t kWindowsPerStep = 512;       // progress and interrupt granularity


void require(bool ok) {
    if (!ok) throw Decline{};
}

std::string utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return std::string(data, static_cast<size_t>(size));
}

bool is_text(py::handle o) { return PyUnicode_CheckExact(o.ptr()); }

// The entries of a list or tuple (other iterables are left to the pandas path).
std::vector<py::object> entries(py::handle seq) {
    require(PyList_CheckExact(seq.ptr()) || PyTuple_CheckExact(seq.ptr()));
    std::vector<py::object> out;
    for (py::handle h : seq) out.push_back(py::reinterpret_borrow<py::object>(h));
    return out;
}

// A Python int (bool included, as numpy compares it) that fits int64.
bool as_int64(py::handle o, int64_t &out) {
    if (!PyLong_Check(o.ptr())) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

bool is_float(py::handle o) { return PyFloat_CheckExact(o.ptr()); }

// ---- columns ---------------------------------------------------------------

enum class Kind { Int, Float, Bool };

struct Dtype {
    char kind = 0;
    int size = 0;
};

Dtype dtype_of(py::handle numpy, py::handle column) {
    py::object dt = column.attr("dtype");
    require(py::isinstance(dt, numpy.attr("dtype")));  // extension dtypes: pandas path
    Dtype d;
    d.kind = utf8(dt.attr("kind"))[0];
    d.size = dt.attr("itemsize").cast<int>();
    return d;
}

// What the readings table looks like to the kernel, with the arrays that
// back its pointers.
struct Inputs {
    std::vector<py::object> arrays;
    k::Table table;
    k::Options options;
    std::vector<k::Window> windows;
    bool time_integer = false;
};

template <class T>
const T *buffer_of(Inputs &in, py::handle numpy, py::handle column, const char *dtype, int64_t rows) {
    py::object array = numpy.attr("ascontiguousarray")(column, py::arg("dtype") = dtype);
    py::buffer_info info = py::buffer(array).request();
    require(info.ndim == 1 && info.itemsize == static_cast<py::ssize_t>(sizeof(T)) && info.size == rows);
    in.arrays.push_back(array);
    return static_cast<const T *>(info.ptr);
}

// ---- window bounds ------------------------------------------------------------

// A time bound from the window table, in the time axis' type.  `lower`: the
// bound is used as time >= bound (else time <= bound).  Sets `never` when no
// reading can satisfy it (a missing bound compares false with every time).
void time_bound(py::handle o, bool integer_time, bool lower, k::Scalar &out, bool &never) {
    int64_t i = 0;
    if (as_int64(o, i)) {
        if (integer_time) {
            out.i = i;
        } else {
            require(std::fabs(static_cast<double>(i)) <= kExact);
            out.f = static_cast<double>(i);
        }
        return;
    }
    require(is_float(o));
    const double f = PyFloat_AS_DOUBLE(o.ptr());
    if (!integer_time) {
        out.f = f;
        if (std::isnan(f)) never = true;
        return;
    }
    // An int64 time against a float bound: numpy compares in float64, which
    // is exact while times stay within 2**53 (checked by the caller).
    if (std::isnan(f)) {
        never = true;
        return;
    }
    const double r = lower ? std::ceil(f) : std::floor(f);
    if (r > kExact) {
        if (lower)
            never = true;
        else
            out.i = std::numeric_limits<int64_t>::max();
    } else if (r < -kExact) {
        if (lower)
            out.i = std::numeric_limits<int64_t>::min();
        else
            never = true;
    } else {
        out.i = static_cast<int64_t>(r);
    }
}

// ---- examining the call ----------------------------------------------------------

struct Names {
    std::string value;
    std::vector<std::string> tactic, periodic, lag;  // lag: str(l)
    std::vector<Kind> periodic_kind;
};

// Reads the call's arguments into kernel inputs, or throws Decline.
void examine(Call &c, Inputs &in, Names &names) {
    py::object df = c.arg(0), unit = c.arg(1), tactic = c.arg(2), periodic = c.arg(3), lag = c.arg(4);
    py::object value = c.arg(5), interval = c.arg(6), del_t_maximin = c.arg(7), aggfunc = c.arg(8);
    py::object pandas = c.global("pandas"), numpy = c.global("numpy");

    require(py::isinstance(df, pandas.attr("DataFrame")) && py::isinstance(interval, pandas.attr("DataFrame")));
    require(is_text(unit) && is_text(value));
    py::object columns = df.attr("columns");
    py::object windows_columns = interval.attr("columns");
    require(truth(columns.attr("is_unique")) && truth(windows_columns.attr("is_unique")));
    auto has = [&](py::handle cols, py::handle name) { return truth(cols.attr("__contains__")(name)); };

    const std::vector<py::object> tactic_list = entries(tactic), periodic_list = entries(periodic),
                                  lag_list = entries(lag);
    require(!tactic_list.empty());
    for (const auto &t : tactic_list) require(is_text(t) && has(columns, t) && !t.equal(value));
    for (const auto &p : periodic_list) require(is_text(p) && has(columns, p) && !p.equal(value));
    require(has(columns, unit) && has(columns, value) && has(windows_columns, unit));
    const int64_t rows = py::len(df);
    const int64_t nwindows = py::len(interval);
    require(nwindows > 0);

    // The aggregation: numpy.nansum, or one of numpy's reductions that hand a
    // Series over to its own method (missing values skipped).
    if (aggfunc.is(numpy.attr("nansum")) || aggfunc.is(numpy.attr("sum")))
        in.options.aggregate = k::Aggregate::NanSum;
    else if (aggfunc.is(numpy.attr("mean")))
        in.options.aggregate = k::Aggregate::Mean;
    else if (aggfunc.is(numpy.attr("max")))
        in.options.aggregate = k::Aggregate::Max;
    else if (aggfunc.is(numpy.attr("min")))
        in.options.aggregate = k::Aggregate::Min;
    else
        throw Decline{};
    in.options.del_t_maximin = truth(del_t_maximin);

    // Skewness and kurtosis of constant data tell the two moment rules apart.
    py::list constant;
    for (int i = 0; i < 3; i++) constant.append(py::float_(1.0));
    const double probe = pandas.attr("Series")(constant).attr("skew")().cast<double>();
    in.options.moments = std::isnan(probe) ? k::Moments::CorrectedTwoPass : k::Moments::ZeroedTwoPass;

    // Names enter the labels as UTF-8; the window-record labels all begin
    // with value + "_", so a unit column of such a name could clash.
    names.value = utf8(value);
    const std::string unit_name = utf8(unit);
    require(unit_name.compare(0, names.value.size() + 1, names.value + "_") != 0);
    for (const auto &t : tactic_list) names.tactic.push_back(utf8(t));
    for (const auto &p : periodic_list) names.periodic.push_back(utf8(p));

    // The reading values: float64, or integers small enough that every sum
    // and difference the pandas path forms is exact in float64 too.
    py::object value_column = df[value];
    const Dtype vt = dtype_of(numpy, value_column);
    if (vt.kind == 'i') {
        py::object magnitude = numpy.attr("abs")(value_column.attr("to_numpy")(py::arg("dtype") = "float64"));
        require(magnitude.attr("sum")().cast<double>() < kExact);
        if (rows > 0)
            require(magnitude.attr("max")().cast<double>() < std::ldexp(1.0, 8 * vt.size - 2));
    } else {
        require(vt.kind == 'f' && vt.size == 8);
    }

    // The time axis: signed integers or float64.
    py::object time_name = tactic_list[0];
    py::object time_column = df[time_name];
    const Dtype tt = dtype_of(numpy, time_column);
    require(tt.kind == 'i' || (tt.kind == 'f' && tt.size == 8));
    in.time_integer = tt.kind == 'i';

    // Lags: plain ints and floats.  time - l keeps an integer time axis
    // integral for int lags and for float lags of integral value (merge then
    // compares the shifted float times with the integer ones exactly, within
    // 2**53); a fractional float lag on an integer axis makes pandas warn
    // about the merge keys, so it stays on the pandas path.
    bool need_exact_times = false, need_narrow_check = false;
    for (const auto &l : lag_list) {
        k::Scalar s;
        int64_t i = 0;
        if (as_int64(l, i) && !PyBool_Check(l.ptr())) {
            if (in.time_integer) {
                s.i = i;
            } else {
                require(std::fabs(static_cast<double>(i)) <= kExact);
                s.f = static_cast<double>(i);
            }
        } else {
            require(is_float(l));
            const double f = PyFloat_AS_DOUBLE(l.ptr());
            if (in.time_integer) {
                require(std::isfinite(f) && f == std::floor(f) && std::fabs(f) <= kExact);
                s.i = static_cast<int64_t>(f);
                need_exact_times = true;
            } else {
                s.f = f;
            }
        }
        // A narrow integer time axis shifts in its own width: only lags and
        // times that cannot wrap around there give int64's results.
        if (in.time_integer && tt.size < 8) {
            require(std::fabs(static_cast<double>(s.i)) < std::ldexp(1.0, 8 * tt.size - 2));
            need_narrow_check = true;
        }
        in.options.lags.push_back(s);
        names.lag.push_back(utf8(py::str(l)));
        // The shifted time column must not replace the reading column, and
        // the earlier readings' column must not meet a column of that name.
        const std::string shifted = utf8(time_name) + "_" + names.lag.back();
        require(shifted != names.value);
    }
    require(!has(columns, value + py::str("_1")));

    // Key columns: one kernel column per distinct name.
    std::vector<std::string> key_names;
    auto key_index = [&](py::handle name) -> int {
        const std::string n = utf8(name);
        for (size_t j = 0; j < key_names.size(); j++)
            if (key_names[j] == n) return static_cast<int>(j);
        key_names.push_back(n);
        return -1;
    };
    std::vector<Kind> key_kind;
    auto add_key = [&](py::handle name) -> int {
        int at = key_index(name);
        if (at >= 0) return at;
        py::object column = df[name];
        const Dtype d = dtype_of(numpy, column);
        k::Column col;
        Kind kind;
        if (d.kind == 'i' || (d.kind == 'u' && d.size <= 4) || d.kind == 'b') {
            col.i64 = buffer_of<int64_t>(in, numpy, column, "int64", rows);
            kind = d.kind == 'b' ? Kind::Bool : Kind::Int;
        } else {
            require(d.kind == 'f' && (d.size == 8 || d.size == 4));
            col.f64 = buffer_of<double>(in, numpy, column, "float64", rows);
            kind = Kind::Float;
        }
        in.table.keys.push_back(col);
        key_kind.push_back(kind);
        return static_cast<int>(in.table.keys.size()) - 1;
    };
    for (const auto &t : tactic_list) in.options.tactic.push_back(add_key(t));
    for (const auto &p : periodic_list) {
        const int at = add_key(p);
        in.options.periodic.push_back(at);
        names.periodic_kind.push_back(key_kind[at]);
    }

    // Units.  Integer and bool columns are their own keys, compared with the
    // windows' unit values as numpy compares numbers.  Text and float64
    // columns are coded by value, and a window's unit is looked up among the
    // values by Python equality, which is how == compares them.
    py::object unit_column = df[unit];
    py::object unit_dtype = unit_column.attr("dtype");
    bool coded_units = true;
    if (py::isinstance(unit_dtype, numpy.attr("dtype"))) {
        const Dtype ut = dtype_of(numpy, unit_column);
        if (ut.kind == 'i' || (ut.kind == 'u' && ut.size <= 4) || ut.kind == 'b')
            coded_units = false;
        else
            require(ut.kind == 'O' || (ut.kind == 'f' && ut.size == 8));
    } else {
        require(truth(pandas.attr("api").attr("types").attr("is_string_dtype")(unit_dtype)) &&
                !truth(pandas.attr("api").attr("types").attr("is_object_dtype")(unit_dtype)));
    }
    in.table.rows = rows;
    py::dict unit_codes;
    if (coded_units) {
        py::tuple factorized = pandas.attr("factorize")(unit_column);
        in.table.unit = buffer_of<int64_t>(in, numpy, factorized[0], "int64", rows);
        int64_t code = 0;
        for (py::handle u : factorized[1]) unit_codes[u] = py::int_(code++);
    } else {
        in.table.unit = buffer_of<int64_t>(in, numpy, unit_column, "int64", rows);
    }
    in.table.value = buffer_of<double>(in, numpy, value_column, "float64", rows);
    // The time axis shares the buffer of its key column when the types agree.
    const k::Column &time_key = in.table.keys[in.options.tactic[0]];
    if (in.time_integer) {
        in.table.time.i64 = time_key.integer() ? time_key.i64 : buffer_of<int64_t>(in, numpy, time_column, "int64", rows);
    } else {
        in.table.time.f64 = time_key.integer() ? buffer_of<double>(in, numpy, time_column, "float64", rows)
                                               : time_key.f64;
    }

    // The windows, read column by column as the pandas path reads them.
    std::vector<k::Window> &ws = in.windows;
    ws.assign(static_cast<size_t>(nwindows), k::Window());
    // A window column as the list of its values (empty when absent).
    auto column_values = [&](const char *label, bool &present) -> py::list {
        py::handle name = interned(label);
        present = has(windows_columns, name);
        if (!present) return py::list();
        return interval[name].attr("tolist")();
    };
    py::list units = interval[unit].attr("tolist")();
    for (int64_t w = 0; w < nwindows; w++) {
        py::handle u = units[static_cast<size_t>(w)];
        int64_t i = 0;
        if (coded_units) {
            PyObject *code = PyDict_GetItemWithError(unit_codes.ptr(), u.ptr());
            if (code == nullptr && PyErr_Occurred()) throw py::error_already_set();
            if (code == nullptr)
                ws[w].matches_nothing = true;
            else
                ws[w].unit = PyLong_AsLongLong(code);
        } else if (as_int64(u, i)) {
            ws[w].unit = i;
        } else {
            require(is_float(u));
            const double f = PyFloat_AS_DOUBLE(u.ptr());
            if (std::isfinite(f) && f == std::floor(f) && std::fabs(f) <= kExact)
                ws[w].unit = static_cast<int64_t>(f);
            else
                ws[w].matches_nothing = true;  // NaN, inf or a fraction equals no integer unit
        }
    }
    bool has_start, has_end, has_forward_t, has_backward_t, has_forward_r, has_backward_r;
    py::list start = column_values("START", has_start), end = column_values("END", has_end),
             forward_t = column_values("FORWARD_T", has_forward_t),
             backward_t = column_values("BACKWARD_T", has_backward_t),
             forward_r = column_values("FORWARD_R", has_forward_r),
             backward_r = column_values("BACKWARD_R", has_backward_r);
    require(!has_forward_t || has_end);     // FORWARD_T is read against END ...
    require(!has_backward_t || has_start);  // ... and BACKWARD_T against START
    for (int64_t w = 0; w < nwindows; w++) {
        k::Window &win = ws[w];
        const size_t at = static_cast<size_t>(w);
        bool never = false;
        auto bound = [&](py::handle b, bool lower, k::Scalar &out) {
            need_exact_times |= in.time_integer && is_float(b);
            time_bound(b, in.time_integer, lower, out, never);
        };
        if (has_start) {
            win.has_start = true;
            bound(start[at], true, win.start);
        }
        if (has_end) {
            win.has_end = true;
            bound(end[at], false, win.end);
        }
        if (has_forward_t) {
            win.has_forward_t = true;
            py::object e = end[at], f = forward_t[at];
            py::object from = e - f;
            bound(from, true, win.forward_t_from);
        }
        if (has_backward_t) {
            win.has_backward_t = true;
            py::object s = start[at], b = backward_t[at];
            py::object from = s + b;
            bound(from, true, win.backward_t_from);
        }
        if (has_forward_r) {
            py::handle r = forward_r[at];
            require(!PyBool_Check(r.ptr()) && as_int64(r, win.forward_r));
            win.has_forward_r = true;
        }
        if (has_backward_r) {
            py::handle r = backward_r[at];
            require(!PyBool_Check(r.ptr()) && as_int64(r, win.backward_r));
            win.has_backward_r = true;
        }
        if (never) win.matches_nothing = true;
    }
    if ((need_exact_times || need_narrow_check) && rows > 0) {
        py::object t = time_column.attr("to_numpy")(py::arg("dtype") = "float64");
        const double largest = numpy.attr("abs")(t).attr("max")().cast<double>();
        require(largest <= kExact);
        if (need_narrow_check) require(largest < std::ldexp(1.0, 8 * tt.size - 2));
    }
}

// ---- the record frame -------------------------------------------------------------

// Column placement as appending the records one by one gives: labels in
// first-seen order, a label repeated within a record naming as many
// columns, and the unit column right after the first record's labels.
class Placement {
public:
    explicit Placement(std::string unit) : unit_(std::move(unit)) {}

    std::vector<int> place(const std::vector<std::string> &labels) {
        std::unordered_map<std::string, int> seen;
        std::vector<int> positions;
        positions.reserve(labels.size());
        for (const auto &label : labels) positions.push_back(slot(label, seen[label]++));
        if (unit_at_ < 0) unit_at_ = slot(unit_, 0);
        return positions;
    }

    const std::vector<std::string> &names() const { return names_; }
    int unit_at() const { return unit_at_; }

private:
    int slot(const std::string &label, int occurrence) {
        std::vector<int> &columns = slots_[label];
        if (static_cast<int>(columns.size()) <= occurrence) {
            columns.push_back(static_cast<int>(names_.size()));
            names_.push_back(label);
        }
        return columns[occurrence];
    }

    std::string unit_;
    int unit_at_ = -1;
    std::unordered_map<std::string, std::vector<int>> slots_;
    std::vector<std::string> names_;
};

// Labels of the window records, built once per distinct shape of record.
class Labels {
public:
    Labels(const Names &names, const k::Options &o) : n_(names), o_(o) {}

    // The labels of window w's record (in `out`).
    void of(const k::Result &r, int64_t w, size_t first_group, std::vector<std::string> &out) {
        out.clear();
        if (r.rows[w] == 0) return;
        const std::string &v = n_.value;
        const size_t T = o_.tactic.size(), P = o_.periodic.size();
        for (size_t t = 0; t < T; t++) {
            if (!r.period_kept[w * T + t]) continue;
            const std::string prefix = v + "_" + n_.tactic[t] + "_";
            for (const char *s : kStatNames) out.push_back(prefix + s);
            for (const char *s : kCountNames) out.push_back(prefix + s);
        }
        size_t g = first_group;
        for (size_t p = 0; p < P; p++) {
            for (int64_t j = 0; j < r.profile_groups[w * P + p]; j++, g++) {
                const std::string prefix = v + "_" + n_.periodic[p] + "_" + key_text(p, r.profile_keys[g]) + "_";
                for (const char *s : kStatNames) out.push_back(prefix + s);
            }
        }
        for (const std::string &l : n_.lag) {
            const std::string prefix = v + "_DIFF_" + l + "_";
            for (const char *s : kStatNames) out.push_back(prefix + s);
            for (const char *s : kCountNames) out.push_back(prefix + s);
            out.push_back(prefix + "ACOR");
        }
        out.push_back(v + "_START");
        out.push_back(v + "_END");
    }

private:
    // str() of a group key as the group's index yields it: a Python int, float or bool.
    std::string key_text(size_t p, const k::Scalar &key) {
        switch (n_.periodic_kind[p]) {
            case Kind::Int:
                return std::to_string(key.i);
            case Kind::Bool:
                return key.i ? "True" : "False";
            case Kind::Float: {
                uint64_t bits;
                std::memcpy(&bits, &key.f, sizeof bits);
                auto it = float_text_.find(bits);
                if (it == float_text_.end()) it = float_text_.emplace(bits, utf8(py::str(py::float_(key.f)))).first;
                return it->second;
            }
        }
        return std::string();
    }

    const Names &n_;
    const k::Options &o_;
    std::unordered_map<uint64_t, std::string> float_text_;
};

// Identifies the labels of a record: emptiness, kept period entries and the
// profile keys (everything else is the same for every window).
void shape_of(const k::Result &r, int64_t w, size_t first_group, const k::Options &o, std::vector<int64_t> &out) {
    out.clear();
    out.push_back(r.rows[w] == 0);
    if (r.rows[w] == 0) return;
    const size_t T = o.tactic.size(), P = o.periodic.size();
    for (size_t t = 0; t < T; t++) out.push_back(r.period_kept[w * T + t]);
    size_t g = first_group;
    for (size_t p = 0; p < P; p++) {
        out.push_back(r.profile_groups[w * P + p]);
        for (int64_t j = 0; j < r.profile_groups[w * P + p]; j++, g++) {
            int64_t bits;
            std::memcpy(&bits, &r.profile_keys[g].f, sizeof bits);
            out.push_back(r.profile_keys[g].i);
            out.push_back(bits);
        }
    }
}

// Window w's values in label order.
void values_of(const k::Result &r, int64_t w, size_t first_group, const k::Options &o, bool integer_time,
               std::vector<double> &out) {
    out.clear();
    if (r.rows[w] == 0) return;
    const size_t T = o.tactic.size(), P = o.periodic.size(), L = o.lags.size();
    for (size_t t = 0; t < T; t++)
        if (r.period_kept[w * T + t])
            out.insert(out.end(), r.period.begin() + (w * T + t) * k::kPeriodWidth,
                       r.period.begin() + (w * T + t + 1) * k::kPeriodWidth);
    size_t g = first_group;
    for (size_t p = 0; p < P; p++)
        for (int64_t j = 0; j < r.profile_groups[w * P + p]; j++, g++)
            out.insert(out.end(), r.profile_stats.begin() + g * k::kStats,
                       r.profile_stats.begin() + (g + 1) * k::kStats);
    out.insert(out.end(), r.lag.begin() + w * L * k::kLagWidth, r.lag.begin() + (w + 1) * L * k::kLagWidth);
    for (int e = 0; e < 2; e++) {
        const k::Scalar &s = r.span[2 * w + e];
        out.push_back(integer_time ? static_cast<double>(s.i) : s.f);
    }
}

size_t groups_of(const k::Result &r, int64_t w, const k::Options &o) {
    size_t n = 0;
    const size_t P = o.periodic.size();
    for (size_t p = 0; p < P; p++) n += static_cast<size_t>(r.profile_groups[w * P + p]);
    return n;
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

py::object fe4ts_native(Call &c) {
    Inputs in;
    Names names;
    try {
        examine(c, in, names);
    } catch (const Decline &) {
        return py::object();
    } catch (py::error_already_set &e) {
        // A failure while looking is the pandas path's to report; an
        // interrupt is the caller's.
        if (!e.matches(PyExc_Exception)) throw;
        return py::object();
    } catch (const py::builtin_exception &) {
        return py::object();  // a failed conversion: not a call for the kernel
    }

    // Only the windows' units are ordered.
    in.table.wanted_units.emplace();
    for (const k::Window &w : in.windows)
        if (!w.matches_nothing) in.table.wanted_units->push_back(w.unit);

    // Ordering a large unordered table takes a while: Ctrl-C is heard
    // meanwhile.  The kernel works on buffers this call holds, without the
    // interpreter lock, which it takes back only to look for signals.
    MOVRA_AT(c);
    const int threads = kernel_threads();
    std::unique_ptr<k::Kernel> kernel;
    {
        py::gil_scoped_release unlocked;
        kernel = std::make_unique<k::Kernel>(
            in.table,
            [] {
                py::gil_scoped_acquire locked;
                return PyErr_CheckSignals() != 0;
            },
            threads);
    }
    if (kernel->interrupted()) throw py::error_already_set();
    for (const k::Window &w : in.windows)
        if (kernel->locate(w).ambiguous) return py::object();  // ties decide: pandas path

    // One record per window, under the same progress display as the pandas path.
    MOVRA_AT(c);
    const int64_t nwindows = static_cast<int64_t>(in.windows.size());
    py::object progress = c.global("tqdm")(py::iter(c.builtin(Builtin::Range)(nwindows)));
    py::object positions = py::reinterpret_steal<py::object>(PyObject_GetIter(progress.ptr()));
    if (!positions) throw py::error_already_set();
    k::Result result;
    std::vector<k::Window> step;
    for (bool more = true; more;) {
        step.clear();
        while (static_cast<int64_t>(step.size()) < kWindowsPerStep) {
            PyObject *item = PyIter_Next(positions.ptr());
            if (item == nullptr) {
                if (PyErr_Occurred()) throw py::error_already_set();
                more = false;
                break;
            }
            py::object position = py::reinterpret_steal<py::object>(item);
            const py::ssize_t i = position.cast<py::ssize_t>();
            if (i < 0 || i >= nwindows) throw py::index_error("window position out of range");
            step.push_back(in.windows[static_cast<size_t>(i)]);
        }
        // Every window was located above, so none is ambiguous here.
        {
            py::gil_scoped_release unlocked;
            kernel->run(step.data(), static_cast<int64_t>(step.size()), in.options, result);
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    kernel.reset();

    // Columns, then one float64 array of all records.
    MOVRA_AT(c);
    py::object numpy = c.global("numpy"), pandas = c.global("pandas");
    py::object unit = c.arg(1), interval = c.arg(6);
    Placement placement(utf8(unit));
    Labels labels(names, in.options);
    const int64_t W = result.windows;
    std::vector<std::vector<int>> row_positions(static_cast<size_t>(W));
    {
        std::vector<int64_t> shape, last_shape;
        std::vector<std::string> record_labels;
        std::vector<int> last_positions;
        size_t group = 0;
        for (int64_t w = 0; w < W; w++) {
            shape_of(result, w, group, in.options, shape);
            if (w == 0 || shape != last_shape) {
                labels.of(result, w, group, record_labels);
                last_positions = placement.place(record_labels);
                last_shape = shape;
            }
            row_positions[static_cast<size_t>(w)] = last_positions;
            group += groups_of(result, w, in.options);
        }
    }
    const int unit_at = placement.unit_at();
    const auto &all_names = placement.names();
    const py::ssize_t C = static_cast<py::ssize_t>(all_names.size()) - 1;  // without the unit column
    py::list feature_columns;
    for (size_t j = 0; j < all_names.size(); j++)
        if (static_cast<int>(j) != unit_at) feature_columns.append(py::str(all_names[j]));

    py::object table = numpy.attr("full")(py::make_tuple(W, C), numpy.attr("nan"));
    {
        py::buffer_info info = py::buffer(table).request(true);
        double *cells = static_cast<double *>(info.ptr);
        std::vector<double> values;
        size_t group = 0;
        for (int64_t w = 0; w < W; w++) {
            values_of(result, w, group, in.options, in.time_integer, values);
            const std::vector<int> &at = row_positions[static_cast<size_t>(w)];
            for (size_t j = 0; j < values.size(); j++) {
                const int p = at[j];
                cells[w * C + (p > unit_at ? p - 1 : p)] = values[j];
            }
            group += groups_of(result, w, in.options);
        }
    }
    MOVRA_AT(c);
    py::object ftrs = pandas.attr("DataFrame")(table, py::arg("columns") = feature_columns);
    ftrs.attr("insert")(unit_at, unit, interval[unit].attr("reset_index")(py::arg("drop") = true),
                        py::arg("allow_duplicates") = true);
    return fe4ts_derive(c, ftrs);
}

}  // namespace movra
