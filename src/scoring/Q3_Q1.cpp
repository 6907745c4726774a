// Q3_Q1: the interquartile range ignoring NaN.  Never raises: any failure
// of the computation gives NaN.
#include "../module/table.h"

namespace movra {

py::object Q3_Q1(Call &c) {
    py::object v = c.arg(0);

    // 1. The 75th percentile minus the 25th, guarded.
    try {
        MOVRA_AT(c);
        py::object numpy = c.global("numpy");
        py::object quartiles = numpy.attr("nanpercentile")(v, py::make_tuple(25, 75));
        return numpy.attr("diff")(quartiles)[py::int_(0)];
    } catch (py::error_already_set &e) {
        drop_failure(e);
        // Any failure at all means "no spread": dropped without a trace.
        // Only the error indicator held it; the caller's handled-exception
        // state is untouched.
    }

    // 2. No spread.
    MOVRA_AT(c);
    return c.global("numpy").attr("nan");
}

namespace {
const char *const Q3_Q1_parameters[] = {"v"};
}  // namespace

extern const FunctionEntry Q3_Q1_entry = MOVRA_SINGLE_ARGUMENT_FUNCTION(Q3_Q1).parameters(Q3_Q1_parameters);

}  // namespace movra
