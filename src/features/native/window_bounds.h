// Window bounds on the time axis, compared as the pandas path compares them
// with the time column: an integer axis with int and float bounds, a float
// axis (float32 ones in float32), a datetime axis with Timestamps, text
// and datetime columns at the finer of the two units.
#pragma once

#include "examination.h"

#include <cstdint>
#include <vector>

namespace movra::fe4ts_layer {

// A datetime bound of `from` ticks per second in the axis' `to` ticks, as
// pandas compares them: exactly, at the finer unit.  A lower bound (time >=
// bound) rounds up, an upper one down.  False: no time can satisfy it.
bool bound_ticks(int64_t v, int64_t from, int64_t to, bool lower, int64_t &out);

// One window's time bounds, read one value at a time in the axis' type.
// `lower`: the bound is used as time >= bound (else time <= bound).  Sets
// `never` when no reading can satisfy a bound (a missing bound compares
// false with every time), `needs_exact_times` when an integer axis meets a
// float bound.
class BoundReader {
public:
    BoundReader(const Context &cx, const TimeAxis &time, py::handle time_name)
        : cx_(cx), time_(time), time_name_(time_name) {}

    Reason operator()(py::handle o, bool lower, k::Scalar &out);

    bool never = false;
    bool needs_exact_times = false;

private:
    Reason integer(py::handle o, bool lower, k::Scalar &out);
    Reason floating(py::handle o, k::Scalar &out);
    Reason datetime(py::handle o, bool lower, k::Scalar &out);
    Reason not_comparable(py::handle o) const;

    const Context &cx_;
    const TimeAxis &time_;
    py::handle time_name_;
};

// A window column of datetimes in the axis' kind of zone, converted as a
// whole (`ok`); any other column is read value by value.
struct DatetimeBounds {
    bool ok = false;
    std::vector<int64_t> ticks;
    std::vector<uint8_t> never;

    void read(const Context &cx, const TimeAxis &time, py::object values, bool lower);
    // base - span (or base + span) as pandas computes it for two columns.
    void shifted(const Context &cx, const TimeAxis &time, py::object base, py::object span, bool add, bool lower);
};

}  // namespace movra::fe4ts_layer
