// What the event functions' native layers share besides src/native/: running
// an examination that declines by throwing, the warning for a large input
// that takes the pandas path, reading pandas Timestamps as integer ticks.
#pragma once

#include "../module/runtime.h"
#include "../native/columns.h"
#include "../native/decline.h"

#include <cstdint>
#include <vector>

namespace movra::native {

// Runs `examine`.  False when it declined or failed: a failure while looking
// is the pandas path's to report (it meets the same input); an interrupt or
// exit is the caller's and passes.
template <class F>
bool examined(F examine) {
    try {
        examine();
        return true;
    } catch (const Decline &) {
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const py::builtin_exception &) {  // a failed conversion, cast_error included
    }
    return false;
}

// The cyclic garbage collector paused for the life of the object.  The
// kernels' layers create a few objects per result row (tuples, lists,
// arrays) and none of them cyclic garbage; left running, the collector would
// walk the growing result again and again, which costs more than building
// it.  The previous state is restored however the call ends.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    int was_enabled_;
};

// The values of a frame's column as its rows give them, when every row is
// an object row: the column's values as Python objects, in row order.
py::list row_values(py::handle frame, py::handle label);

// A large input going to the pandas path is said so (pandas'
// PerformanceWarning), since it may take minutes instead of seconds.
void warn_pandas_path(const Call &c, const char *function, Py_ssize_t size, Py_ssize_t large);

// The input's type exactly (a subclass may redefine any operation, so it
// takes the pandas path).
bool exact_type(py::handle o, py::handle type);

// Reads pandas Timestamps (and NaT) as nanoseconds since the epoch, UTC for
// aware ones.
class TimeReader {
public:
    explicit TimeReader(py::handle pandas);

    enum Kind { Time, Missing, Other };
    // `aware`: whether the time carries a time zone; `zone`, if asked for,
    // gets the zone object (None without), alive as long as the time is.
    // Other: neither a Timestamp nor NaT, or outside what nanoseconds hold.
    Kind read(PyObject *o, int64_t &ns, bool &aware, PyObject **zone = nullptr) const;

private:
    py::object timestamp_, nat_;
};

// A new one-dimensional object array holding items[at[0]], items[at[1]], ...
py::object object_array(py::handle numpy, py::handle items, const int64_t *at, int64_t n);

}  // namespace movra::native

namespace movra {

// Each function's result through the native kernel, or a null object when
// the call is not one the kernel reproduces exactly (the function then
// takes its pandas path, which also raises whatever the input causes).
py::object uet2ute_native(Call &c);
py::object unit_date_native(Call &c);
py::object evaluate4group_native(Call &c);
py::object tsdf2seq_native(Call &c);

}  // namespace movra
