// The module's exception class and the one way every failure of the seam
// becomes an instance of it.
#pragma once

#include <string_view>

#include "pyref.hpp"

namespace veltra::seam {

// The process's one VeltraException class (borrowed; lives until the process
// ends), created on first use; null with a Python exception set if the host
// refuses to create it.
PyObject* exception_type();

// A new VeltraException(message) with the attribute `code` set; when setting
// it fails, the exception raised by that failure (as an object) instead.
// Null, with the error set, only if no exception object could be made.
PyRef coded_err(std::string_view code, std::string_view message);

// Makes `exc` the current exception.
Raised raise(PyRef exc);

// The `invalid_argument` error "{path} {text}" raised as VeltraException.
Raised bad(std::string_view path, std::string_view text);

}  // namespace veltra::seam
