// Python scalars and text as the native layers read them, and the limit of
// integers that a double holds exactly.
#pragma once

#include "../module/runtime.h"

#include <cstdint>
#include <string>

namespace movra::native {

// 2**53: every integer of at most this magnitude is exact as a double, so
// sums and comparisons of such integers in float64 are exact too.
constexpr double kExactInDouble = 9007199254740992.0;

// A str's text as UTF-8.
std::string utf8(py::handle text);

// repr(o) as UTF-8, as reasons quote a value.
std::string text_of(py::handle o);

inline bool is_text(py::handle o) { return PyUnicode_CheckExact(o.ptr()); }
inline bool is_float(py::handle o) { return PyFloat_CheckExact(o.ptr()); }

// A Python int (bool included, as numpy compares it) that fits int64.
bool as_int64(py::handle o, int64_t &out);

}  // namespace movra::native
