// Declining a call: what every native layer says when its kernel does not
// reproduce the pandas path for a call, and the warning for a large call
// that therefore takes the pandas path.
#pragma once

#include "../module/runtime.h"

#include <string>

namespace movra::native {

// Why the kernel does not take (part of) a call, with what would let it; an
// empty reason means it does.
using Reason = std::string;

// Thrown where a reason cannot be returned (deep inside a conversion); the
// layer catching it takes the pandas path and reports `reason`.
struct Decline {
    Reason reason;
};

inline void require(bool ok, const char *reason = "") {
    if (!ok) throw Decline{reason};
}

// The functions that warn when a large call takes the pandas path.
enum class Layer { Fe4ts, Usest2uet, Uet2ute, UnitDate, Evaluate4group };

// Warns, with a UserWarning, that a call of `size` items of `layer` (its
// windows or rows, as the threshold table in decline.cpp counts them) takes
// the pandas path and why, when it is large enough to notice.  Raises when
// the warning, made an error, does.
void warn_declined(Layer layer, Py_ssize_t size, const Reason &reason);

// The same, with the size counted as len(counted); an object without a
// length is the pandas path's to report, so it is not warned about.
void warn_declined(Layer layer, py::handle counted, const Reason &reason);

}  // namespace movra::native
