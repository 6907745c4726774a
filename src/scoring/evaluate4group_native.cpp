// evaluate4group on the native kernel.
//
// The pandas path sorts every group through pandas.  When the scores are
// ones the kernel ranks exactly, the groups are coded once and each is
// ranked in C++; only a group whose flagged rows depend on how the sort
// orders tied predictions (ties across the cut with different labels) is
// sorted by pandas, as on the pandas path.  The sums are exact: labels are
// integers (or integral floats) whose total stays within 2**53, so the
// order of addition cannot change them.
//
// The steps first look the columns up, reading none of their values; then
// one step reads them all, and the kernel ranks the groups, with no Python
// code in between (a signal handler, which may rewrite the caller's arrays,
// runs only in Python code).  What the rest of the call needs of the frame
// is taken before any Python code runs again: the rows of the groups that
// pandas sorts and the rates' denominators.  Group keys of text are coded
// by pandas, which runs Python code.  Those of pandas' own text dtypes are
// coded as they are looked up: copy-on-write keeps the column looked up, as
// it keeps the arrays of the others.  An object column is numpy's, written
// in place by whoever holds it: with those keys, the one step copies the
// three columns (numpy's C code) and pandas codes the copy.
#include "../sequences/events_native.h"
#include "../sequences/kernel/event_kernels.h"
#include "evaluate4group.h"

#include "../module/table.h"
#include "../native/examine.h"
#include "../native/fallback.h"
#include "../native/interrupts.h"
#include "../native/scalars.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace movra {

namespace {

using native::Reason;

// The call, and what its steps find out about it.
struct Examination {
    explicit Examination(Call &call)
        : c(call), data(c.arg(0)), group(c.arg(1)), predict(c.arg(2)), label(c.arg(3)), k(c.arg(4)) {}

    Call &c;
    py::object data, group, predict, label, k, pandas, numpy;
    Py_ssize_t rows = 0;
    // Looked up: the columns' numpy arrays (group_values when numpy holds
    // the keys); with keys of text, read_step makes these copies.
    py::array predict_values, label_values, group_values;
    bool numeric_groups = false;
    // Keys of text as pandas codes them: a column of pandas' own text
    // dtypes as looked up, or (object_keys) read_step's copy of the column.
    py::object text_keys;
    bool object_keys = false;
    native::ColumnType predict_type, label_type;
    py::object zero;  // the label column's sum type
    // read_step: the values, in what the kernel's pointers point into.
    native::Holder hold;
    const double *scores = nullptr;
    const double *labels = nullptr;
    std::vector<int64_t> codes;  // each row's group, -1 for none
    int64_t groups = 0;
    std::unordered_map<int64_t, int64_t> flagged;  // rows flagged by group size
};

// A column's numpy array, one value per row, or why not.
Reason array_of(const Examination &x, const char *role, py::handle label, py::handle column, py::array &out) {
    py::object values = column.attr("to_numpy")();
    if (!py::isinstance<py::array>(values) || py::array(values).ndim() != 1 || py::len(values) != x.rows)
        return std::string(role) + " " + native::text_of(label) + " is not held as a numpy array of one value per row";
    out = py::reinterpret_borrow<py::array>(values);
    return {};
}

Reason frame_step(Examination &x) {
    x.pandas = x.c.global("pandas");
    x.numpy = x.c.global("numpy");
    Reason r = native::frame_reason("data", x.data, x.pandas);
    if (r.empty())
        r = native::columns_reason("data", x.data, {{"group", x.group}, {"predict", x.predict}, {"label", x.label}});
    if (!r.empty()) return r;
    if (truth(x.data.attr("index").attr("names").attr("__contains__")(x.group)))
        return "group " + native::text_of(x.group) + " names both a column and an index level of data; rename one";
    x.rows = static_cast<Py_ssize_t>(py::len(x.data));
    return {};
}

// Predictions: numbers that float64 holds exactly.
Reason predictions_step(Examination &x) {
    py::object p = x.data[x.predict];
    const native::ColumnType t = native::type_of(x.pandas, x.numpy, p);
    if (!(t.numpy_kind("fib") || (t.numpy_kind("u") && t.size <= 4)))
        return native::described("the prediction column", x.predict, t) +
               " is not of numbers that float64 holds exactly; cast it to float64";
    x.predict_type = t;
    return array_of(x, "the prediction column", x.predict, p, x.predict_values);
}

// Labels: integers, or floats of integral value (read_step sees to that).
Reason labels_step(Examination &x) {
    py::object l = x.data[x.label];
    const native::ColumnType t = native::type_of(x.pandas, x.numpy, l);
    if (!(t.numpy_kind("ib") || (t.numpy_kind("u") && t.size <= 4) || (t.numpy_kind("f") && t.size == 8)))
        return native::described("the label column", x.label, t) + " is not of integers, bool or float64; cast it to int64";
    x.label_type = t;
    x.zero = slice(l.attr("iloc"), py::int_(0), py::int_(0)).attr("sum")();
    return array_of(x, "the label column", x.label, l, x.label_values);
}

// Keys of text, as held, coded by pandas.
void code_text_keys(Examination &x) {
    py::object factorized = x.pandas.attr("factorize")(x.text_keys);
    py::object code_array = factorized[py::int_(0)];
    const int64_t *g = native::buffer_of<int64_t>(x.numpy, code_array, "int64", x.rows, x.hold);
    x.codes.assign(g, g + x.rows);
    x.groups = static_cast<int64_t>(py::len(factorized[py::int_(1)]));
}

// Groups: plain keys.  Keys of numbers and object columns are coded by
// read_step, keys of pandas' own text dtypes now.
Reason groups_step(Examination &x) {
    const native::KeyRule numbers{[](const native::ColumnType &t) { return std::strchr("iufb", t.kind) != nullptr; },
                                  true};
    py::object keys = x.data[x.group];
    bool numeric = false;
    Reason r = native::key_column_reason(x.pandas, x.numpy, "the group column", x.group, keys, numbers, numeric);
    if (!r.empty()) return r;
    x.numeric_groups = numeric;
    x.object_keys = !numeric && native::type_of(x.pandas, x.numpy, keys).numpy_kind("O");
    if (numeric || x.object_keys) return array_of(x, "the group column", x.group, keys, x.group_values);
    x.text_keys = keys;
    code_text_keys(x);
    return {};
}

// `values` cast to T by numpy's C code (a view where it already is one),
// held by `hold`; null when numpy cannot.
template <class T>
const T *cast_values(const py::array &values, native::Holder &hold) {
    auto cast = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!cast) return nullptr;
    const T *data = cast.data();
    hold.push_back(std::move(cast));
    return data;
}

// Codes of distinct 64-bit keys in order of first appearance: an open
// addressing table, kept at most half full.
class KeyCodes {
public:
    int64_t code(uint64_t key) {
        if (static_cast<size_t>(count_ + 1) * 2 > codes_.size()) grow();
        size_t i = slot(key);
        while (codes_[i] >= 0) {
            if (keys_[i] == key) return codes_[i];
            i = (i + 1) & mask_;
        }
        keys_[i] = key;
        codes_[i] = count_;
        return count_++;
    }
    int64_t count() const { return count_; }

private:
    size_t slot(uint64_t key) const {
        key ^= key >> 33;  // murmur3's finalizer: nearby keys land far apart
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        key *= 0xc4ceb9fe1a85ec53ULL;
        key ^= key >> 33;
        return static_cast<size_t>(key) & mask_;
    }
    void grow() {
        std::vector<uint64_t> keys = std::move(keys_);
        std::vector<int64_t> codes = std::move(codes_);
        const size_t size = codes.empty() ? 1024 : codes.size() * 2;
        keys_.assign(size, 0);
        codes_.assign(size, -1);
        mask_ = size - 1;
        for (size_t j = 0; j < codes.size(); j++) {
            if (codes[j] < 0) continue;
            size_t i = slot(keys[j]);
            while (codes_[i] >= 0) i = (i + 1) & mask_;
            keys_[i] = keys[j];
            codes_[i] = codes[j];
        }
    }

    std::vector<uint64_t> keys_;
    std::vector<int64_t> codes_;  // -1: an empty slot
    size_t mask_ = 0;
    int64_t count_ = 0;
};

// Codes of the distinct keys in order of first appearance, as pandas
// factorizes them: -1 for NaN, 0.0 equal to -0.0.
template <class T>
int64_t code_keys(const T *keys, Py_ssize_t n, std::vector<int64_t> &codes) {
    static_assert(sizeof(T) == sizeof(uint64_t), "keys are read as 64 bits");
    KeyCodes table;
    codes.resize(static_cast<size_t>(n));
    for (Py_ssize_t r = 0; r < n; r++) {
        T key = keys[r];
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(key)) {
                codes[r] = -1;
                continue;
            }
            if (key == 0) key = 0;  // -0.0 is 0.0
        }
        uint64_t bits = 0;
        std::memcpy(&bits, &key, sizeof bits);
        codes[r] = table.code(bits);
    }
    return table.count();
}

// An array's copy, by numpy's C code.
py::array copy_of(const py::array &values) {
    return py::reinterpret_steal<py::array>(values.attr("copy")().release());
}

// Every value the kernel reads, read here at once: no Python code runs from
// here to the end of the ranking, except pandas coding an object column of
// keys, which codes a copy taken here with the others.
Reason read_step(Examination &x) {
    if (x.object_keys) {
        x.predict_values = copy_of(x.predict_values);
        x.label_values = copy_of(x.label_values);
        x.text_keys = copy_of(x.group_values);
    }
    auto predictions = [&] { return native::described("the prediction column", x.predict, x.predict_type); };
    auto labels = [&] { return native::described("the label column", x.label, x.label_type); };
    if (x.predict_type.kind == 'i') {
        const int64_t *p = cast_values<int64_t>(x.predict_values, x.hold);
        if (p == nullptr) return predictions() + " could not be read as int64";
        for (Py_ssize_t r = 0; r < x.rows; r++)
            if (std::fabs(static_cast<double>(p[r])) > native::kExactInDouble)
                return predictions() + " holds integers beyond 2**53";
    }
    // The arrays themselves, not their Series, reach numpy: numpy's C code
    // converts them.
    x.scores = native::buffer_of<double>(x.numpy, x.predict_values, "float64", x.rows, x.hold);
    x.labels = native::buffer_of<double>(x.numpy, x.label_values, "float64", x.rows, x.hold);
    double magnitude = 0;
    for (Py_ssize_t r = 0; r < x.rows; r++) {
        const double v = x.labels[r];
        if (std::isnan(v)) continue;
        if (v != std::floor(v))
            return labels() + " holds fractions, whose sums depend on the order of addition";
        magnitude += std::fabs(v);
    }
    if (!(magnitude < native::kExactInDouble))
        return labels() + " sums beyond 2**53, where float64 sums are inexact";
    if (x.object_keys) code_text_keys(x);
    if (!x.numeric_groups) return {};
    const char kind = x.group_values.dtype().kind();
    if (kind == 'f') {
        x.groups = code_keys(native::buffer_of<double>(x.numpy, x.group_values, "float64", x.rows, x.hold), x.rows,
                             x.codes);
    } else {
        // Integers of any width and bool; uint64 wraps, one key to one key.
        x.groups = code_keys(native::buffer_of<int64_t>(x.numpy, x.group_values, "int64", x.rows, x.hold), x.rows,
                             x.codes);
    }
    return {};
}

// How many rows a group of each size flags, as int(size * k) gives it.
Reason flagged_step(Examination &x) {
    std::vector<int64_t> sizes(static_cast<size_t>(x.groups), 0);
    for (int64_t code : x.codes)
        if (code >= 0) sizes[static_cast<size_t>(code)]++;
    for (int64_t s : sizes) {
        if (x.flagged.count(s)) continue;
        py::object count = py::int_(py::int_(s) * x.k);
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
        if (overflow != 0) v = overflow > 0 ? s : -s - 1;  // beyond the group either way
        x.flagged[s] = v;
    }
    return {};
}

using Step = Reason (*)(Examination &);
constexpr Step kSteps[] = {frame_step, predictions_step, labels_step, groups_step, read_step, flagged_step};

// The groups that caught something and the sum of what they caught.  A
// group whose flagged rows the sort decides is sorted by pandas.
struct Caught {
    int64_t hit = 0;
    double caught = 0;
};

// What the call needs of the frame after the ranking, taken before any
// Python code runs: the rows of the groups pandas sorts (their predictions
// and labels, as the frame holds them) and the rates' denominators.
struct Taken {
    std::vector<py::object> predictions, labels;  // per group pandas sorts
    RateDenominators denominators;
    bool counted = false;
};

Taken taken_after_ranking(const Examination &x, const events::GroupCatch &out) {
    Taken t;
    for (int64_t g = 0; g < x.groups; g++) {
        if (!out.ambiguous[g]) continue;
        const std::vector<int64_t> &rows = out.rows[static_cast<size_t>(g)];
        const py::array_t<int64_t> at(static_cast<py::ssize_t>(rows.size()), rows.data());
        t.predictions.push_back(x.predict_values.attr("take")(at));  // ndarray.take: C code
        t.labels.push_back(x.label_values.attr("take")(at));
    }
    // The distinct groups among the rows labelled exactly 1 (NaN one of them),
    // and the label sum, missing labels left out: exact, as in float64.
    std::unordered_set<int64_t> positive;
    std::vector<int64_t> missing;  // rows labelled 1 whose key of text is missing
    double label_sum = 0;
    for (Py_ssize_t r = 0; r < x.rows; r++) {
        if (x.labels[r] == 1) {
            if (x.codes[r] < 0 && !x.numeric_groups)
                missing.push_back(r);
            else
                positive.insert(x.codes[r]);
        }
        if (!std::isnan(x.labels[r])) label_sum += x.labels[r];
    }
    Py_ssize_t groups = static_cast<Py_ssize_t>(positive.size());
    if (!missing.empty()) {
        // Missing keys of text (None, NaN, NA) are distinct to unique(),
        // though coded alike: pandas counts those among the keys held.
        const py::array_t<int64_t> at(static_cast<py::ssize_t>(missing.size()), missing.data());
        groups += static_cast<Py_ssize_t>(py::len(x.pandas.attr("unique")(x.text_keys.attr("take")(at))));
    }
    t.denominators.groups = py::float_(static_cast<double>(groups));
    // float() of the column's sum, of the column's sum type: a numpy float64
    // is a float already, and stays one.
    t.denominators.label_sum = py::float_(x.zero.get_type()(py::float_(label_sum)));
    t.counted = true;
    return t;
}

Caught caught_by_groups(Call &c, Examination &x, Taken &taken) {
    events::Scores s;
    s.rows = static_cast<int64_t>(x.codes.size());
    s.groups = x.groups;
    s.group = x.codes.data();
    s.predict = x.scores;
    s.label = x.labels;
    events::GroupCatch out;
    events::catch_by_group(s, [&](int64_t size) { return x.flagged.at(size); }, out);
    taken = taken_after_ranking(x, out);
    check_interrupts();

    Caught total;
    size_t sorted = 0;
    for (int64_t g = 0; g < x.groups; g++) {
        double TP = out.caught[g];
        if (out.ambiguous[g]) {
            MOVRA_AT(c);
            const size_t rows = out.rows[static_cast<size_t>(g)].size();
            const size_t i = sorted++;
            TP = native::fall_back(native::Layer::Evaluate4group, static_cast<Py_ssize_t>(rows),
                                   "a group's predictions tie across its cut with different labels, which only "
                                   "the pandas path's sort orders",
                                   [&] {
                                       py::dict columns;
                                       columns[x.predict] = taken.predictions[i];
                                       columns[x.label] = taken.labels[i];
                                       return evaluate4group_caught(c, x.pandas.attr("DataFrame")(columns))
                                           .cast<double>();
                                   });
        }
        if (TP >= 1) {
            total.hit++;
            total.caught += TP;
        }
    }
    return total;
}

}  // namespace

py::object evaluate4group_native(Call &c) {
    Examination x(c);
    if (!native::kernel_takes(x, kSteps, native::Layer::Evaluate4group, x.data)) return py::object();
    MOVRA_AT(c);
    Taken taken;
    const Caught total = caught_by_groups(c, x, taken);
    // The counts as the pandas path accumulates them: an int of groups, and
    // the label column's sum type once any group has caught something.
    py::object TP_individal = py::int_(0);
    if (total.hit > 0) {
        py::object sum = py::isinstance<py::float_>(x.zero)
                             ? py::object(py::float_(total.caught))
                             : py::object(py::int_(static_cast<long long>(total.caught)));
        TP_individal = TP_individal + (x.zero + sum);
    }
    return evaluate4group_rates(c, py::int_(total.hit), TP_individal, taken.counted ? &taken.denominators : nullptr);
}

}  // namespace movra
