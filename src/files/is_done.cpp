// is_done: whether a file exists and has stopped growing, judged by two
// size readings one second apart.  A file that kept its size or shrank
// (truncated and rewritten from the start) counts as done; only growth
// means a writer is still at work.
#include "../module/table.h"

namespace movra {

py::object is_done(Call &c) {
    py::object filename = c.arg(0);

    // 1. No file: not done.
    MOVRA_AT(c);
    if (!truth(c.global("os").attr("path").attr("exists")(filename))) return py::bool_(false);

    // 2. Its size, one second apart.
    MOVRA_AT(c);
    py::object fsize = c.global("os").attr("path").attr("getsize")(filename);
    MOVRA_AT(c);
    c.global("time").attr("sleep")(1);

    // 3. Done unless it grew.
    MOVRA_AT(c);
    py::object grown = c.global("os").attr("path").attr("getsize")(filename) - fsize;
    return py::bool_(!truth(gt(grown, py::int_(0))));
}

namespace {
const char *const is_done_parameters[] = {"filename"};
const char *const is_done_locals[] = {"fsize"};
}  // namespace

extern const FunctionEntry is_done_entry =
    MOVRA_SINGLE_ARGUMENT_FUNCTION(is_done).parameters(is_done_parameters).locals(is_done_locals);

}  // namespace movra
