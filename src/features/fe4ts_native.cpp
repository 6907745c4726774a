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
// of the call (native/examination.h), run in order below.  Each either
// produces its part of the kernel's input or returns why the kernel cannot
// reproduce the pandas path for it; fe4ts reports that reason when a large
// call falls back.  Every conversion is a whole-column numpy or pandas
// operation (a view where the column already is int64 or float64), over
// the readings the windows read when they are a small share of the table;
// key columns of other kinds become sorted codes with a table of their
// labels.
// Anything not understood, including every input that makes the pandas
// path raise, goes to the pandas path unchanged.  Nothing here modifies the
// caller's frames.
#include "fe4ts_native.h"

#include "../module/table.h"
#include "../native/scalars.h"
#include "native/examination.h"
#include "native/kernel_run.h"
#include "native/record_frame.h"

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

// The steps in order, each with what it reads of the earlier ones; the
// first reason ends the examination.  The unit column is looked at whole;
// where the windows read a small share of the table, the steps after the
// selection see their readings alone.
Reason examine(const Call &c, const Context &whole, Examination &x) {
    if (Reason r = progress_step(c); !r.empty()) return r;
    if (Reason r = arguments_step(whole, x.call); !r.empty()) return r;
    if (Reason r = aggregate_step(whole, x.aggregation); !r.empty()) return r;
    if (Reason r = units_step(whole, x.call, Buffers{whole.numpy, x.call.rows, x.arrays}, x.units); !r.empty())
        return r;
    if (Reason r = selection_step(whole, x.call, x.units, x.selection); !r.empty()) return r;
    const Context cx = x.selection.context(whole);
    const Buffers buffers{cx.numpy, x.call.rows, x.arrays};
    if (Reason r = value_step(cx, x.call, x.aggregation, buffers, x.value); !r.empty()) return r;
    if (Reason r = time_step(cx, x.call, buffers, x.time); !r.empty()) return r;
    if (Reason r = lag_step(x.call, x.time, x.lags); !r.empty()) return r;
    if (Reason r = keys_step(cx, x.call, x.aggregation, x.time, buffers, x.keys); !r.empty()) return r;
    if (Reason r = chunk_step(cx, x.call, x.value, x.units, x.selection, x.chunks); !r.empty()) return r;
    if (Reason r = windows_step(cx, x.call, x.time, x.units, x.windows); !r.empty()) return r;
    return exactness_step(cx, x.call, x.time, x.lags, x.windows);
}

// The examination's reason, or why it could not finish: a failure while
// looking is the pandas path's to report; an interrupt is the caller's.
Reason examined(const Call &c, const Fe4tsArgs &a, std::optional<Context> &cx, Examination &x) {
    try {
        cx.emplace(a, c.global("pandas"), c.global("numpy"));
        return examine(c, *cx, x);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return "examining the call raised " + native::utf8(py::str(e.type().attr("__name__"))) + ": " +
               native::utf8(py::str(e.value())) + ", as the pandas path will";
    } catch (const native::Decline &d) {
        return d.reason;
    } catch (const std::exception &e) {
        return std::string("a column could not be converted (") + e.what() + ")";
    }
}

}  // namespace

}  // namespace fe4ts_layer

WindowRecords fe4ts_native(Call &c, const Fe4tsArgs &a, std::string &declined) {
    using namespace fe4ts_layer;
    // MOVRA_FE4TS_PROFILE: a file that each call appends its stages' times to.
    auto profile = std::make_shared<k::CallProfile>(std::getenv("MOVRA_FE4TS_PROFILE"));
    std::optional<Context> cx;
    Examination x;
    declined = examined(c, a, cx, x);
    if (!declined.empty()) return {};
    const k::Table table = x.table();
    k::Options options = x.options();
    options.profile = profile->on();
    profile->lap("examining");

    // Readings in order are read where they lie from the ordering to the
    // last window: nothing in between runs Python code (cut_step only when
    // it declines, and the kernel's results are then dropped).
    MOVRA_AT(c);
    const int threads = kernel_threads(table.rows);
    const native::CtrlC ctrl_c;
    std::unique_ptr<k::Kernel> kernel = ordered_kernel(table, threads, ctrl_c);
    profile->lap("ordering");
    declined = cut_step(*cx, *kernel, table, x.windows.windows, options);
    if (!declined.empty()) return {};
    profile->lap("locating");

    MOVRA_AT(c);
    k::StageTimes stages;
    const k::Result result = run_windows(c, std::move(kernel), x.windows.windows, options, ctrl_c, &stages);
    profile->lap("windows");
    profile->add(stages);
    WindowRecords records = record_frame(c, *cx, x, options, result, threads);
    profile->lap("frame");
    records.threads = threads;
    if (profile->on()) records.profile = std::move(profile);
    return records;
}

}  // namespace movra
