// The warning for a large call on the pandas path (decline.h).
#include "decline.h"

#include <iterator>

namespace movra::native {

namespace {

// How large a call of each function must be for its pandas path to warn.
// One policy for all: warn where the pandas path takes about a second or
// more, since a call that long is one the caller would want native.  The
// pandas path's time per item differs by function (a window of fe4ts costs
// a few hundred library calls, a row of unit_date a few), so the threshold
// is counted in each function's own items.
struct Threshold {
    Layer layer;
    const char *function;
    const char *items;       // what `size` counts
    Py_ssize_t warns_from;   // the smallest size that warns
    const char *slower;      // how the pandas path compares with the kernel
};

constexpr Threshold kThresholds[] = {
    {Layer::Fe4ts, "fe4ts", "windows", 1001, "about a thousand times slower"},  // more than 1,000
    {Layer::Usest2uet, "usest2uet", "windows", 1000, "much slower"},
    {Layer::Uet2ute, "uet2ute", "rows", 10000, "much slower"},
    {Layer::UnitDate, "unit_date", "rows", 10000, "much slower"},
    {Layer::Evaluate4group, "evaluate4group", "rows", 100000, "much slower"},
};

const Threshold &threshold_of(Layer layer) {
    for (const Threshold &t : kThresholds)
        if (t.layer == layer) return t;
    return kThresholds[std::size(kThresholds) - 1];  // every layer has its row
}

}  // namespace

void warn_declined(Layer layer, Py_ssize_t size, const Reason &reason) {
    const Threshold &t = threshold_of(layer);
    if (size < t.warns_from) return;
    const std::string message = std::string(t.function) + " computes these " + std::to_string(size) + " " +
                                t.items + " on the pandas path, " + t.slower + " than its native kernel: " + reason;
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

void warn_declined(Layer layer, py::handle counted, const Reason &reason) {
    Py_ssize_t size = 0;
    try {
        size = static_cast<Py_ssize_t>(py::len(counted));
    } catch (py::error_already_set &e) {
        drop_failure(e);
        return;
    }
    warn_declined(layer, size, reason);
}

}  // namespace movra::native
