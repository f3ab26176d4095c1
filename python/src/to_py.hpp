// A result value as a new Python object. Typed records are built by the
// caller's make_result(type_name, fields), innermost first; plain records
// and integer-keyed maps become dicts, real vectors and matrices float64
// arrays (C order), integer and logical vectors lists.
#pragma once

#include "pyref.hpp"
#include "veltra/bind/value.hpp"

namespace veltra::seam {

// Consumes the value. Null, with the Python exception set, on failure (an
// exception from make_result passes through unchanged).
PyRef to_py(bind::Value value, PyObject* make_result);

}  // namespace veltra::seam
