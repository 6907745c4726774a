// Reading pandas Timestamps (and NaT) as nanoseconds since the epoch, UTC
// for aware ones, as the event layers hand times to their kernels.
#pragma once

#include "../module/runtime.h"

#include <cstdint>

namespace movra::native {

class TimeReader {
public:
    explicit TimeReader(py::handle pandas);

    enum Kind { Time, Missing, Other };
    // `aware`: whether the time carries a time zone; `zone` and `unit`, if
    // asked for, get the zone object (None without) and the Timestamp's unit.
    // Other: neither a Timestamp nor NaT, or outside what nanoseconds hold.
    Kind read(PyObject *o, int64_t &ns, bool &aware, py::object *zone = nullptr, py::object *unit = nullptr) const;

private:
    bool read_value(PyObject *o, int64_t &ns) const;
    // After a failed read: an Exception is cleared (the value is Other),
    // anything else (an interrupt, an exit) raised.
    static void clear_failure();
    // Whether a unit is coarser than nanoseconds.  Timestamps give theirs
    // as one of a few str objects, time after time the same: the last
    // answer is kept.
    bool coarse(PyObject *unit) const;

    py::object timestamp_, nat_;
    py::handle value_, unit_;  // the attributes' interned names
    mutable py::object last_unit_;
    mutable bool last_coarse_ = false;
};

}  // namespace movra::native
