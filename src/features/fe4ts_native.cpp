// fe4ts on the native kernel.
//
// The pandas path costs a mask over the whole readings table and a few
// hundred library calls per window.  When a call is one the kernel
// reproduces exactly, this layer hands it the columns as int64 and float64
// buffers instead: the readings are ordered once, every window is computed
// in C++, and the record frame is built once from a single float64 array.
// The derived columns are added afterwards, by the caller.
//
// Whether the kernel takes a call is decided by named steps, one per part
// of the call (native/examination.h), listed in order below and run by the
// runner every native layer shares (native/examine.h).  Each either
// produces its part of the kernel's input or returns why the kernel cannot
// reproduce the pandas path for it; fe4ts reports that reason when a large
// call falls back, as it does a reason found after the ordering (cut_step).
// Every conversion is a whole-column numpy or pandas
// operation (a view where the column already is int64 or float64), over
// the readings the windows read when they are a small share of the table;
// key columns of other kinds become sorted codes with a table of their
// labels.
// Anything not understood, including every input that makes the pandas
// path raise, goes to the pandas path unchanged.  Nothing here modifies the
// caller's frames.
#include "fe4ts_native.h"

#include "../module/table.h"
#include "../native/examine.h"
#include "../native/fallback.h"
#include "../native/interrupts.h"
#include "../native/scalars.h"
#include "distinct_values.h"
#include "native/examination.h"
#include "native/kernel_run.h"
#include "native/placed_records.h"

#include <pybind11/numpy.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace movra {

namespace fe4ts_layer {

k::Table Examination::table() const {
    k::Table t{call.rows, units.readings, time.column, value.values, keys.columns, std::vector<int64_t>(),
               chunks.starts};
    // Only the windows' units are ordered.
    for (const k::Window &w : windows.windows)
        if (!w.matches_nothing) t.wanted_units->push_back(w.unit);
    return t;
}

k::Options Examination::options() const {
    k::Options o;
    o.tactic = keys.tactic;
    o.periodic = keys.periodic;
    o.lags = lags.shifts;
    o.del_t_maximin = aggregation.del_t_maximin;
    o.aggregate = aggregation.aggregate;
    o.moments = aggregation.moments;
    o.precision = value.precision;
    o.where_sums = value.where_sums;
    o.arrow_stats = value.arrow_stats;
    o.arrow_sums = value.arrow_sums;
    o.arrow_narrow_integers = value.narrow_integers;
    return o;
}

RecordNames Examination::names() const { return {call.value, call.tactic_names, call.periodic_names, lags.names}; }

namespace {

// The call being examined, and what the steps find out about it.  The
// steps after the selection see the selected readings' call (`selected`);
// the rest of the run sees the whole call.
struct Examined {
    Examined(const Call &call, const Fe4tsArgs &args) : c(call), a(args) {}
    const Call &c;
    const Fe4tsArgs &a;
    std::optional<Context> whole, selected;
    Examination x;

    Buffers buffers(const Context &cx) { return Buffers{cx.numpy, x.call.rows, x.arrays}; }
};

// The steps in order, each with what it reads of the earlier ones; the
// first reason ends the examination.  The unit column is looked at whole;
// where the windows read a small share of the table, the steps after the
// selection see their readings alone.
using Step = Reason (*)(Examined &);
constexpr Step kSteps[] = {
    [](Examined &e) {
        e.whole.emplace(e.a, e.c.global("pandas"), e.c.global("numpy"));
        return progress_step(e.c);
    },
    [](Examined &e) { return arguments_step(*e.whole, e.x.call); },
    [](Examined &e) { return aggregate_step(*e.whole, e.x.aggregation); },
    [](Examined &e) { return snapshot_step(*e.whole, e.x.call, e.x.snapshots); },
    [](Examined &e) { return units_step(*e.whole, e.x.call, e.buffers(*e.whole), e.x.snapshots, e.x.units); },
    [](Examined &e) {
        Reason r = selection_step(*e.whole, e.x.call, e.x.units, e.x.snapshots, e.x.selection);
        if (r.empty()) e.selected.emplace(e.x.selection.context(*e.whole));
        return r;
    },
    [](Examined &e) {
        return value_step(*e.selected, e.x.call, e.x.aggregation, e.buffers(*e.selected), e.x.value);
    },
    [](Examined &e) { return time_step(*e.selected, e.x.call, e.buffers(*e.selected), e.x.time); },
    [](Examined &e) { return lag_step(e.x.call, e.x.time, e.x.lags); },
    [](Examined &e) {
        return keys_step(*e.selected, e.x.call, e.x.aggregation, e.x.time, e.buffers(*e.selected), e.x.keys);
    },
    [](Examined &e) { return chunk_step(*e.selected, e.x.call, e.x.value, e.x.units, e.x.selection, e.x.chunks); },
    [](Examined &e) { return windows_step(*e.selected, e.x.call, e.x.time, e.x.units, e.x.windows); },
    [](Examined &e) { return exactness_step(*e.selected, e.x.call, e.x.time, e.x.lags, e.x.windows); },
};

// The periodic columns, looked up for the derived columns' keys, when the
// kernel reads every one where it lies, as numbers of the whole table, or
// converts a copy of it (snapshot_step); not selected readings, whose keys
// are read where they are selected.  Else none, and the derived columns
// read them from df.  A failure is theirs to meet.
std::vector<NumericColumn> periodic_columns(const Context &cx, const Examination &x) {
    std::vector<NumericColumn> columns;
    if (x.selection.partial()) return {};
    try {
        for (size_t i = 0; i < x.call.periodic.size(); i++) {
            NumericColumn n;
            if (!numeric_column(cx.numpy, cx.args.column(x.call.periodic[i]), n) || n.copied ||
                !py::isinstance<py::array>(n.values))
                return {};
            const void *data = py::reinterpret_borrow<py::array>(n.values).data();
            const k::Column &read = x.keys.columns[static_cast<size_t>(x.keys.periodic[i])];
            if (data != read.integers().data && data != read.f64 && !x.snapshots.holds(data)) return {};
            columns.push_back(std::move(n));
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return {};
    }
    return columns;
}

// Their distinct values, read as the kernel reads the readings: no Python
// code runs from here to the ordering, so both see one version of them.
std::vector<py::object> periodic_keys(const std::vector<NumericColumn> &columns, int threads) {
    std::vector<py::object> keys;
    for (const NumericColumn &n : columns) {
        py::object distinct = distinct_in(n, threads);
        if (!distinct) return {};
        keys.push_back(std::move(distinct));
    }
    return keys;
}

}  // namespace

}  // namespace fe4ts_layer

WindowRecords fe4ts_native(Call &c, const Fe4tsArgs &a, PandasRecords pandas_path) {
    using namespace fe4ts_layer;
    // MOVRA_FE4TS_PROFILE: a file that each call appends its stages' times to.
    auto profile = std::make_shared<k::CallProfile>(std::getenv("MOVRA_FE4TS_PROFILE"));
    // The pandas path runs once the examination's arrays are let go.
    auto e = std::make_unique<Examined>(c, a);
    MOVRA_AT(c);
    if (!native::kernel_takes(*e, kSteps, native::Layer::Fe4ts, a.interval)) {  // its windows
        e->x.snapshots.release(a);
        e.reset();
        return pandas_path(c, a);
    }
    const Context &cx = *e->whole;
    const Examination &x = e->x;
    const k::Table table = x.table();
    k::Options options = x.options();
    options.profile = profile->on();
    profile->lap("examining");

    // Readings in order are read where they lie from the ordering to the
    // last window: nothing in between runs Python code (cut_step only when
    // it declines, and the kernel is then dropped).
    const std::vector<NumericColumn> periodic = periodic_columns(cx, x);
    MOVRA_AT(c);
    const int threads = kernel_threads(table.rows);
    const CtrlC ctrl_c;
    // The columns converted during the examination still hold what was
    // converted: the kernel reads one version of the frame.
    if (!x.selection.partial()) x.snapshots.confirm();
    std::vector<py::object> keys = x.selection.partial() ? x.selection.periodic_keys : periodic_keys(periodic, threads);
    std::unique_ptr<k::Kernel> kernel = ordered_kernel(table, threads, ctrl_c);
    profile->lap("ordering");
    if (Reason cut = cut_step(cx, *kernel, table, x.windows.windows, options); !cut.empty()) {
        kernel.reset();
        e->x.snapshots.release(a);
        e.reset();
        return native::fall_back(native::Layer::Fe4ts, a.interval, cut, [&] { return pandas_path(c, a); });
    }
    profile->lap("locating");

    MOVRA_AT(c);
    k::StageTimes stages;
    const k::Result result = run_windows(c, std::move(kernel), x.windows.windows, options, ctrl_c, &stages);
    profile->lap("windows");
    profile->add(stages);
    WindowRecords records = placed_records(c, cx, x, options, result, threads);
    profile->lap("frame");
    records.threads = threads;
    if (records.records) records.records->periodic_keys = std::move(keys);
    if (profile->on()) records.profile = std::move(profile);
    return records;
}

}  // namespace movra
