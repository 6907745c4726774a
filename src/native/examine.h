// Examining a call: running a layer's steps in order, each returning the
// reason the kernel does not take the call (empty when it may go on).
#pragma once

#include "decline.h"

#include <cstddef>

namespace movra::native {

// A failure while looking, as a reason: "examining the call raised
// KeyError: 'CONS_NO'".
Reason raised(py::error_already_set &e);

// Runs `steps` on the examination `x` in order; the first reason ends it.  A
// Decline thrown deep in a conversion gives its own reason.  A failure while
// looking declines too: the pandas path meets the same input and reports
// it.  An interrupt or an exit is the caller's and passes.
template <class X, size_t N>
Reason examine(X &x, Reason (*const (&steps)[N])(X &)) {
    try {
        for (auto step : steps) {
            Reason r = step(x);
            if (!r.empty()) return r;
        }
        return {};
    } catch (const Decline &d) {
        return d.reason.empty() ? Reason("the kernel does not reproduce this call") : d.reason;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return raised(e);
    } catch (const py::builtin_exception &e) {  // a failed conversion, cast_error included
        return std::string("a value could not be converted (") + e.what() + ")";
    }
}

// Whether the kernel takes the call, by `examine`; a declined call warns
// that it takes the pandas path, and why, when `counted` makes it large.
template <class X, size_t N>
bool kernel_takes(X &x, Reason (*const (&steps)[N])(X &), Layer layer, py::handle counted) {
    const Reason declined = examine(x, steps);
    if (declined.empty()) return true;
    warn_declined(layer, counted, declined);
    return false;
}

// Runs `examine`, a read the pandas path would make too.  False when it
// declined or failed: a failure while looking is the pandas path's to report
// (it meets the same input); an interrupt or exit is the caller's and passes.
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

}  // namespace movra::native
