// md5: the hexadecimal MD5 digest of a bytes-like object.  hashlib is
// imported at each call, as a local: the module namespace never gains it,
// and a missing hashlib only fails the calls that need it.
#include "../module/table.h"

namespace movra {

py::object md5(Call &c) {
    py::object str = c.arg(0);

    MOVRA_AT(c);
    py::object hashlib = import_module(c, "hashlib");
    py::object m = hashlib.attr("md5")();
    // The argument goes to update() unchanged: text is refused by hashlib
    // itself rather than encoded behind the caller's back.
    MOVRA_AT(c);
    m.attr("update")(str);
    MOVRA_AT(c);
    return m.attr("hexdigest")();
}

namespace {
const char *const md5_parameters[] = {"str"};
const char *const md5_locals[] = {"hashlib", "m"};
}  // namespace

extern const FunctionEntry md5_entry =
    MOVRA_SINGLE_ARGUMENT_FUNCTION(md5).parameters(md5_parameters).locals(md5_locals);

}  // namespace movra
