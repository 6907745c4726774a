// datesStr2datesLst: splits a text of dates on a separator and keeps what
// pandas.to_datetime makes of each piece.  A piece that does not convert is
// dropped without a word; the split itself is not protected, so a missing
// value (a float NaN has no split) or an empty separator still raises.
#include "../module/table.h"
#include "../native/interrupts.h"

namespace movra {

py::object datesStr2datesLst(Call &c) {
    py::object s = c.arg(0), sep = c.arg(1);

    // 1. The pieces.
    MOVRA_AT(c);
    s = s.attr("split")(sep);

    // 2. What pandas makes of each piece, or nothing.
    py::list s_;
    MOVRA_AT(c);
    for (py::handle i : s) {
        // A pending interrupt is raised here, between pieces, so that the
        // swallowing below cannot make a long text uninterruptible.
        check_interrupts();
        try {
            s_.append(c.global("pandas").attr("to_datetime")(i));
        } catch (py::error_already_set &e) {
            drop_failure(e);
            // Dropping the piece: catching fetched the error indicator and
            // the exception dies with the handler.  Nothing here touches the
            // handled-exception state, so a caller's `except` block still
            // sees its own exception in sys.exc_info().
        }
    }
    return std::move(s_);
}

namespace {
const char *const datesStr2datesLst_parameters[] = {"s", "sep"};
const char *const datesStr2datesLst_locals[] = {"s_", "i"};
py::tuple datesStr2datesLst_defaults() { return py::make_tuple(","); }
}  // namespace

extern const FunctionEntry datesStr2datesLst_entry = MOVRA_MODULE_FUNCTION(datesStr2datesLst)
                                                         .parameters(datesStr2datesLst_parameters)
                                                         .locals(datesStr2datesLst_locals)
                                                         .defaults(datesStr2datesLst_defaults);

}  // namespace movra
