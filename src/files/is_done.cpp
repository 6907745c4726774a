// is_done: whether a file exists and has stopped growing, judged by two
// size readings one second apart.  A file that kept its size or shrank
// (truncated and rewritten from the start) counts as done; only growth
// means a writer is still at work.
#include "../module/table.h"

namespace movra {

py::object is_done(Call &c) {
    py::object filename = c.arg(0);

    MOVRA_AT(c);
    if (!truth(c.global("os").attr("path").attr("exists")(filename))) return py::bool_(false);

    MOVRA_AT(c);
    py::object fsize = c.global("os").attr("path").attr("getsize")(filename);
    MOVRA_AT(c);
    c.global("time").attr("sleep")(1);

    MOVRA_AT(c);
    py::object grown = c.global("os").attr("path").attr("getsize")(filename) - fsize;
    if (truth(gt(grown, py::int_(0)))) return py::bool_(false);
    return py::bool_(true);
}

}  // namespace movra
