// Conversions of a Value into what an adapter wants, with the wording of
// every "must be ..., got ..." message. They return the text of the failure
// only; the caller puts the argument's name (or option key, or model field)
// in front of it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "veltra/bind/value.hpp"

namespace veltra::bind {

template <class T>
using Coerced = std::expected<T, std::string>;

// A boolean only.
Coerced<bool> to_bool(const Value& v);
// Integers to the nearest real; reals as they are.
Coerced<double> to_f64(const Value& v);
// A non-negative whole number: integers up to 2^63 - 1, reals that are
// finite, whole and in [0, 2^53].
Coerced<std::uint64_t> to_usize(const Value& v);
// A real vector: scalars as one element, integer and logical vectors
// converted; a real vector passes through (a borrowed one stays borrowed).
Coerced<VecF64> to_vec(Value v);
// A real matrix in whatever form it has.
Coerced<MatF64> to_mat(Value v);
// The description of a received value in messages ("got {}").
std::string describe(const Value& v);

}  // namespace veltra::bind
