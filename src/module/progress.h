// The progress bar over a function's windows: which functions show one,
// with what total and label, and whether the call owns the display.  fe4ts
// (both paths) and usest2uet (both paths, and their companion entries)
// follow this one rule.
//
// `tqdm` is looked up in the module namespace when a call's loop begins.
// While it is the progress-bar class loaded with the module (`from tqdm
// import tqdm` at import, held by hold_progress_class), the call owns the
// display: the bar is given the number of windows as its total and the
// function's name as its label, and it yields exactly the windows it is
// given, so a loop may count them itself (or run them natively and move
// the bar by hand).  A script that rebinds `tqdm` gets the plain call
// `tqdm(windows)`, and the loop takes whatever that yields.
#pragma once

#include "runtime.h"

namespace movra {

// The bars' labels: the function whose windows they count.
constexpr const char *kFe4tsProgress = "fe4ts";
constexpr const char *kUsest2uetProgress = "usest2uet";

// A total that cannot be told: the bar is then made as a rebound `tqdm` is.
constexpr py::ssize_t kUnknownTotal = -1;

// len(sized), or kUnknownTotal where it has none (len raised an
// Exception); anything else len raises, KeyboardInterrupt among them, is
// raised.
py::ssize_t length_or_unknown(py::handle sized);

// The display of one call's loop: `tqdm` as the namespace has it now.
class ProgressDisplay {
public:
    explicit ProgressDisplay(const Call &c);

    // Whether it is the class loaded with the module.
    bool own() const { return own_; }

    // The display over `windows`: the own class's bar of `total()` steps
    // labelled `label` (asked only of the own class, after `windows` is
    // made), or `tqdm(windows)`.
    template <class Total>
    py::object over(py::handle windows, Total total, const char *label) const {
        if (own_) {
            const py::ssize_t steps = total();
            if (steps != kUnknownTotal) return tqdm_(windows, py::arg("total") = steps, py::arg("desc") = label);
        }
        return tqdm_(windows);
    }

private:
    py::object tqdm_;
    bool own_;
};

// A bar moved by hand, for a loop that runs windows without iterating a
// display: `tqdm(total=total, desc=label)` with `tqdm` as the namespace has
// it now (the caller has made sure it is the own class), closed however
// the loop ends.
class ProgressBar {
public:
    ProgressBar(const Call &c, py::ssize_t total, const char *label);
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    void update(py::ssize_t steps) { bar_.attr("update")(steps); }
    // Closes the bar now; raises what close() raises.
    void close();
    // Still open only when the loop is left by an error, which is the one
    // the caller hears of: a failing close() is dropped, and the error set
    // before it (if any) is set again afterwards, for close() may not be
    // called with an error set, nor may it replace the error being reported.
    ~ProgressBar();

private:
    py::object bar_;
};

// Keeps `cls` as the progress-bar class loaded with the module (see
// ProgressDisplay::own), for the life of the process.
void hold_progress_class(py::handle cls);

}  // namespace movra
