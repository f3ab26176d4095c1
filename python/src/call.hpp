// The module's two functions, as CPython calls them.
#pragma once

#include "pyref.hpp"
#include "veltra/bind/error.hpp"

namespace veltra::seam {

// call(name, arguments, make_result) -> (result, warnings)
PyObject* call_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// registry_json() -> str
PyObject* registry_json_entry(PyObject* module, PyObject* unused) noexcept;

// Raises a binding error as VeltraException: its code, then each detail
// field (converted with make_result) as an attribute. A failure to convert
// or set a detail is raised instead.
Raised raise_bind_error(bind::BindError error, PyObject* make_result);

}  // namespace veltra::seam
