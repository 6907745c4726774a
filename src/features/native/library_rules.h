// The arithmetic rules of the pandas, numpy and pyarrow in use, told apart
// by small probes.  The kernel reproduces the rules of the versions it
// knows; a probe that finds others makes the call decline.  They are asked
// at every call, since they are cheap next to one and a script may rebind
// or patch the libraries between calls.
#pragma once

#include "examination.h"

#include <string>

namespace movra::fe4ts_layer {

// pandas' rule for skewness and kurtosis.
k::Moments moments_rule(const Context &cx);

// The float32 arithmetic pandas uses on float32 readings (into
// `precision`), or why the kernel does not reproduce it.  `what` names the
// column, `cast` ends the reason.
Reason float32_rules(const Context &cx, k::Moments moments, const std::string &what, const std::string &cast,
                     k::Precision &precision);

// Whether pandas and pyarrow describe an Arrow-backed Series as the kernel
// does.
Reason arrow_rules(const Context &cx, const std::string &what, const std::string &cast);

}  // namespace movra::fe4ts_layer
