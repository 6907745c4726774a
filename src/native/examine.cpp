// Examining a call (examine.h).
#include "examine.h"

#include "scalars.h"

namespace movra::native {

Reason raised(py::error_already_set &e) {
    std::string what;
    try {
        what = utf8(py::str(e.type().attr("__name__"))) + ": " + utf8(py::str(e.value()));
    } catch (py::error_already_set &unprintable) {
        drop_failure(unprintable);
        what = "an exception that cannot be shown";
    }
    return "examining the call raised " + what;
}

}  // namespace movra::native
