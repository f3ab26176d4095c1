// The two passes over call()'s arguments dictionary. Every entry is
// collected before any is converted, so a collection error of a later entry
// wins over a conversion error of an earlier one.
#pragma once

#include <vector>

#include "node.hpp"
#include "veltra/bind/error.hpp"

namespace veltra::seam {

// Collects every entry in the dictionary's order. Keys must be strings. A
// dictionary that Python code changes during the walk is a broken
// invariant (thrown, for the caller's guard).
Fallible<std::vector<NamedNode>> collect_arguments(PyObject* dict);

// Converts the collected entries into the argument record; only the
// top-level X and X_new may stay row-major. Borrowed values in the record
// refer to the entries' arrays and are valid while the entries and the
// loan live.
bind::BindResult<bind::Record> convert_arguments(std::vector<NamedNode>& entries, const bind::Loan& loan);

}  // namespace veltra::seam
