// The arithmetic rules of the pandas, numpy and pyarrow in use, told apart
// by small probes.  The kernel reproduces the rules of the versions it
// knows; a probe that finds others makes the call decline.  The moment rule
// is a fact of the pandas release: it is probed once per pandas.__version__
// seen (at every call for a pandas without one).  The other probes run at
// every call that needs them, since they are cheap next to one and a script
// may rebind or patch the libraries between calls.
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

// Whether pandas and pyarrow describe an Arrow-backed Series of `type`
// ("double", or the Arrow integer type of the readings) as the kernel does,
// in one chunk and in several; `narrow_integers` as k::Options has it.
Reason arrow_rules(const Context &cx, const std::string &type, bool narrow_integers, const std::string &what,
                   const std::string &cast);

// Whether pandas keeps an Arrow column's chunks where the kernel expects it
// to (chunk_step), and takes them into one elsewhere.
Reason chunk_rules(const Context &cx, const std::string &what, const std::string &cast);

}  // namespace movra::fe4ts_layer
