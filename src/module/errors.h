// The one place where a C++ exception becomes a Python exception.
#pragma once

#include <Python.h>

namespace movra {

// Sets the Python exception for the C++ exception being handled: call it
// only from inside a catch block.  A Python exception carried by pybind11
// passes through as it is; otherwise the C++ class decides:
//   std::bad_alloc, std::length_error (a size no allocation can hold)   MemoryError
//   std::invalid_argument, std::domain_error, std::out_of_range         ValueError
//   any other exception (a kernel that failed while it ran)             RuntimeError
// with the exception's message.  Never SystemError: that class is the
// interpreter's, for its own internal faults.
void set_error_from_current_exception() noexcept;

}  // namespace movra
