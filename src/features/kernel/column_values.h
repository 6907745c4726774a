// How the kernel reads a key or a time of either type: integer, or float
// with NaN for a missing one.  Internal to the kernel.
#pragma once

#include "fe_kernel.h"

#include <cmath>
#include <type_traits>

namespace movra::fe_kernel {

template <class K>
inline bool missing(K k) {
    if constexpr (std::is_floating_point_v<K>)
        return std::isnan(k);
    else
        return false;
}

template <class K>
inline Scalar to_scalar(K k) {
    Scalar s;
    if constexpr (std::is_floating_point_v<K>)
        s.f = k;
    else
        s.i = k;
    return s;
}

template <class K>
inline K from_scalar(const Scalar &s) {
    if constexpr (std::is_floating_point_v<K>)
        return s.f;
    else
        return s.i;
}

}  // namespace movra::fe_kernel
