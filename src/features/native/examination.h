// What fe4ts's native layer finds out about a call before the kernel runs.
//
// The examination is a sequence of steps, each about one part of the call
// (fe4ts_native.cpp runs them in order).  A step either produces its part
// (a struct below) or returns why the kernel does not reproduce the pandas
// path for it.  A step reads what earlier steps produced, as const; its
// signature says which.  The kernel's input is put together from the parts
// at the end (Examination::table, Examination::options).
#pragma once

#include "../../module/runtime.h"
#include "../../native/columns.h"
#include "../../native/decline.h"
#include "../../native/scalars.h"
#include "../fe4ts_args.h"
#include "../record_layout.h"
#include "fe_kernel.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace movra::fe4ts_layer {

namespace k = fe_kernel;

// The helpers every native layer shares, as the steps use them.
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

// The call being examined: its arguments and the libraries it runs on (the
// module's own bindings of pandas and numpy).
struct Context {
    Context(const Fe4tsArgs &a, py::object pd, py::object np) : args(a), pandas(std::move(pd)), numpy(std::move(np)) {}
    const Fe4tsArgs &args;
    py::object pandas, numpy;
};

// Whether `values` is a numpy array itself (no subclass, whose take or copy
// might run Python code) of one value per reading.
inline bool is_plain_array(py::handle values, int64_t rows) {
    if (Py_TYPE(values.ptr()) != py::detail::npy_api::get().PyArray_Type_) return false;
    const auto array = py::reinterpret_borrow<py::array>(values);
    return array.ndim() == 1 && array.shape(0) == rows;
}

// Whether a key column is numpy integers or bools of at most 4 bytes, which
// the kernel reads where they lie, at their own width.
inline bool is_narrow_key(const ColumnType &t) { return t.numpy_kind("iub") && t.size <= 4; }

// Whether a time axis is numpy signed integers of at most 4 bytes, which
// the kernel reads where they lie and widens as it orders the readings.
inline bool is_narrow_time(const ColumnType &t) { return t.numpy_kind("i") && t.size <= 4; }

// Whether a frame's columns hold a label.
inline bool has_column(py::handle columns, py::handle name) { return truth(columns.attr("__contains__")(name)); }

// Columns handed to the kernel as buffers of one value per reading, kept
// alive in `held` (the examination's) while the kernel points into them.
struct Buffers {
    py::handle numpy;
    int64_t rows;
    native::Holder &held;

    template <class T>
    const T *of(py::handle values, const char *dtype) const {
        return native::buffer_of<T>(numpy, values, dtype, rows, held);
    }
};

// A narrow numpy integer or bool column (is_narrow_key, is_narrow_time)
// pointed at where it lies, at its own width, held by `buffers`.
void narrow_column(py::handle column, const ColumnType &t, const Buffers &buffers, k::Column &col);

// An Arrow-backed integer column in one chunk without nulls (signed only,
// where `signed_only`), pointed at where it lies, held by `buffers`; false,
// `col` untouched, for any other column.
bool arrow_integers(py::handle column, const ColumnType &t, const Buffers &buffers, bool signed_only,
                    k::Column &col);

// arguments_step: the call's shape.
struct CallShape {
    std::vector<py::object> tactic, periodic, lag;  // the lists' entries
    int64_t rows = 0, windows = 0;
    std::string value;                                     // the value column's name, UTF-8
    std::vector<std::string> tactic_names, periodic_names;  // UTF-8
    char time_kind = 0;  // numpy's kind letter of the time column tactic[0] ('M': datetimes)
};

// The names of the columns of df the call reads, each once: the unit, the
// periods, the profiles and the value, in that order.
std::vector<py::object> columns_read(const Context &cx, const CallShape &call);

// aggregate_step: how a period's readings aggregate, and pandas' moment rule.
struct Aggregation {
    k::Aggregate aggregate = k::Aggregate::NanSum;
    bool del_t_maximin = false;
    k::Moments moments = k::Moments::CorrectedTwoPass;
};

// value_step: the readings as the kernel reads them, and what the records'
// cells become.
struct ValueColumn {
    const double *values = nullptr;
    k::Precision precision = k::Precision::Float64;
    bool where_sums = false, arrow_stats = false, arrow_sums = false;  // as k::Options has them
    bool narrow_integers = false;                                      // k::Options::arrow_narrow_integers
    bool masked = false;          // a nullable value column: pd.NA cells in the records
    bool integer = false;         // ... of integers: numpy int cells too
    bool arrow = false;           // ... Arrow-backed: Python float cells
    bool arrow_integers = false;  // ... of integers: Python int cells for the extremes
    std::string dtype;            // ... the numpy type of their statistics
    std::vector<int64_t> chunks;  // ... where its Arrow chunks begin, the first left out
};

// chunk_step: where pandas hands pyarrow the value column in its own chunks.
struct Chunks {
    std::vector<int64_t> starts;  // k::Table::chunks
};

// time_step: the time axis, tactic[0], as the kernel sees it.
struct TimeAxis {
    enum Kind { Int, Float, Datetime } kind = Int;
    k::Column column;          // its values (int64 ticks of a datetime axis)
    std::string what;          // "the time column 'T' (int64)", as reasons name it
    bool float32 = false;      // a float32 column: bounds compare in float32
    int width = 8;             // bytes of an integer axis, which shifts in its own width
    int64_t per_second = 1;    // Datetime: ticks per second of the column's unit
    std::string unit;          // Datetime: "s", "ms", "us" or "ns"
    py::object tz;             // Datetime: its zone, or None
    py::object dtype;          // Datetime: the column's dtype
    bool parses_text = false;  // Datetime: compared with text, pandas parses it
};

// Ticks per second of a datetime unit ("s", "ms", "us", "ns"), 0 if unknown.
int64_t ticks_per_second(const std::string &unit);

// lag_step: the lags in the axis' type.
struct Lags {
    std::vector<k::Scalar> shifts;
    std::vector<std::string> names;  // str() of each lag, UTF-8
    bool needs_exact_times = false;  // a float lag on an integer axis: exact only within 2**53
    bool narrow_time_check = false;  // a narrow integer axis shifts in its own width
};

// How a key column's group keys turn into label text.
struct KeyInfo {
    enum Kind { Int, Bool, Float, Coded } kind = Int;
    std::vector<std::string> labels;  // Coded: the text of each code
};

// snapshot_step: the columns the steps convert (all but int64, float64 and
// datetime numpy columns, narrow integer keys, and extension arrays other
// than categoricals), copied at one point; the call's lookups answer with
// the copies.  An object unit column is copied where its text is coded
// (units_step).
struct Snapshots {
    struct Copy {
        py::object name, column, live, copy;  // df's column, the array read, its copy
    };
    std::vector<Copy> copies;
    // Keeps `copy`, a copy of `live` (the array of df's `column`), confirmed
    // against it; the call's lookups of `name` answer with `values` (the
    // copy, or a categorical over it) as a column like df's.
    void keep(const Context &cx, py::handle name, py::object column, py::object live, py::object copy,
              py::handle values);
    // Raises RuntimeError unless df's arrays still hold the copies' values;
    // runs no Python code.
    void confirm() const;
    // Whether `data` is a copy's.
    bool holds(const void *data) const;
    // Makes the lookups answer with df's own columns again.
    void release(const Fe4tsArgs &args) const;
};

// keys_step: one kernel key column per distinct tactic and periodic name.
struct Keys {
    std::vector<k::Column> columns;
    std::vector<KeyInfo> info;          // per column
    std::vector<std::string> names;     // per column
    std::vector<int> tactic, periodic;  // each entry's column
};

// units_step: the unit of every reading and of every window.
struct Units {
    const int64_t *readings = nullptr;  // each reading's unit key
    std::vector<int64_t> of_window;     // each window's unit key
    std::vector<uint8_t> unmatched;     // 1: the window's unit equals no reading's
};

// selection_step: the readings the windows read, picked out of the table
// when they are a small share of it.
struct Selection {
    std::optional<Fe4tsArgs> args;  // the call with df the selected readings; unset: the whole table
    std::vector<int64_t> units;     // the selected readings' unit keys (Units::readings then)
    // Per periodic entry, its distinct values over the whole table, read
    // where the readings are selected; empty: not read there.
    std::vector<py::object> periodic_keys;
    // The call as the steps after the selection see it.
    Context context(const Context &whole) const;
    bool partial() const { return args.has_value(); }
};

// windows_step: every window's bounds.
struct Windows {
    std::vector<k::Window> windows;
    bool needs_exact_times = false;  // a float bound on an integer axis: exact only within 2**53
};

// Everything the steps produce, and the arrays the kernel's buffers are.
struct Examination {
    native::Holder arrays;
    CallShape call;
    Aggregation aggregation;
    ValueColumn value;
    TimeAxis time;
    Lags lags;
    Keys keys;
    Units units;
    Snapshots snapshots;
    Selection selection;
    Chunks chunks;
    Windows windows;

    // The kernel's input.
    k::Table table() const;
    k::Options options() const;
    // The names the records' labels are made of.
    RecordNames names() const;
};

// ---- the steps, in the order they run ----------------------------------------

// The progress display is the class loaded with the module.
Reason progress_step(const Call &c);
Reason arguments_step(const Context &cx, CallShape &out);
Reason aggregate_step(const Context &cx, Aggregation &out);
Reason snapshot_step(const Context &cx, const CallShape &call, Snapshots &out);
// An object unit column is copied here, where its text is coded.
Reason units_step(const Context &cx, const CallShape &call, const Buffers &buffers, Snapshots &snapshots,
                  Units &out);
// The units of a text column (Arrow strings or dictionaries, categoricals,
// or an object column of str and missing values) coded from its strings;
// an object column is copied meanwhile (`copy`, of the array `live`).
// False, the units unset, for any other column, or windows naming a unit by
// an object of another kind.
bool text_units(const Context &cx, py::handle column, const ColumnType &t, const py::list &window_units,
                const Buffers &buffers, Units &out, py::object &live, py::object &copy);
// Where the windows read a small share of the table, the steps after this
// one see their readings alone: `call.rows` and `units.readings` then count
// and key the selected readings, and the context's df holds them.
Reason selection_step(const Context &cx, CallShape &call, Units &units, const Snapshots &snapshots,
                      Selection &out);
Reason value_step(const Context &cx, const CallShape &call, const Aggregation &aggregation, const Buffers &buffers,
                  ValueColumn &out);
Reason time_step(const Context &cx, const CallShape &call, const Buffers &buffers, TimeAxis &out);
Reason lag_step(const CallShape &call, const TimeAxis &time, Lags &out);
Reason keys_step(const Context &cx, const CallShape &call, const Aggregation &aggregation, const TimeAxis &time,
                 const Buffers &buffers, Keys &out);
// An Arrow value column in several chunks keeps them only in the windows of
// a table of one unit whose readings pandas' sort leaves in their order.
Reason chunk_step(const Context &cx, const CallShape &call, const ValueColumn &value, const Units &units,
                  const Selection &selection, Chunks &out);
Reason windows_step(const Context &cx, const CallShape &call, const TimeAxis &time, const Units &units, Windows &out);
// Integer times compared in float64 (float lags or bounds) or shifted in
// a narrow width stay exact.
Reason exactness_step(const Context &cx, const CallShape &call, const TimeAxis &time, const Lags &lags,
                      const Windows &windows);

// What a declined value column's reasons end with: the cast that runs natively.
std::string float64_hint(const Context &cx);

}  // namespace movra::fe4ts_layer
