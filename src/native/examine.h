// Examining a call: running a layer's steps in order, each returning the
// reason the kernel does not take the call (empty when it may go on).
#pragma once

#include "decline.h"

#include <cstddef>
#include <optional>

namespace movra::native {

// A failure while looking, as a reason: "examining the call raised
// KeyError: 'CONS_NO'".
Reason raised(py::error_already_set &e);

// Whether a failure while looking is reported by what it raised: formatting
// it runs the exception's own __str__, which a look whose reason is not
// reported need not run.
enum class Raised { Said, Unsaid };

// Runs `look`, which returns a reason (empty: it may go on), and gives that
// reason.  A Decline thrown deep in a conversion gives its own reason.  A
// failure while looking declines too: the pandas path meets the same input
// and reports it.  An interrupt or an exit is the caller's and passes.
// Every native layer looks at its calls through this.
template <class Look>
Reason looked_at(Look &&look, Raised raised_is = Raised::Said) {
    try {
        return look();
    } catch (const Decline &d) {
        return d.reason.empty() ? Reason("the kernel does not reproduce this call") : d.reason;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return raised_is == Raised::Said ? raised(e) : Reason("examining the call raised an exception");
    } catch (const py::builtin_exception &e) {  // a failed conversion, cast_error included
        return std::string("a value could not be converted (") + e.what() + ")";
    }
}

// The call a layer examines, and what its steps find out about it: the
// layer's Context, made by its first step, and its Examination, which
// each step writes its own part of.  A layer whose call holds more keeps
// a struct of its own.
template <class Context, class Examination>
struct Examined {
    using Step = Reason (*)(Examined &);
    explicit Examined(const Call &call) : c(call) {}
    // The Context, made by the first step that asks: inside the runner, so
    // that failing to make it declines the call as any step's failure does.
    Context &context() {
        if (!cx) cx.emplace(c);
        return *cx;
    }
    const Call &c;
    std::optional<Context> cx;
    Examination x;
};

// Runs `steps` on the examination `x` in order, as looked_at runs a look;
// the first reason ends it.
template <class X, size_t N>
Reason examine(X &x, Reason (*const (&steps)[N])(X &)) {
    return looked_at([&] {
        for (auto step : steps) {
            Reason r = step(x);
            if (!r.empty()) return r;
        }
        return Reason();
    });
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

}  // namespace movra::native
