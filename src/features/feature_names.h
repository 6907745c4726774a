// The statistic and count suffixes of feature labels, in record order.  The
// pandas path and the kernel's layer build the same labels from them.
#pragma once

namespace movra {

inline const char *const kStatNames[] = {"MAX", "MIN", "MEDIAN", "Q3", "Q1", "MEAN", "STD", "SKEW", "KURT"};
inline const char *const kCountNames[] = {"NB_0", "NB_NA", "NB"};

}  // namespace movra
