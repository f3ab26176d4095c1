// Text forms of the binding layer's own messages.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace veltra::bind {

// Four significant digits in the form of C's "%.4g" (exact rounding, ties to
// even, no trailing zeros, exponent with a sign and at least two digits when
// the exponent is below -4 or at least 4); "nan", "inf", "-inf", "0", "-0".
std::string g4(double x);

// Trailing zeros, then trailing points, removed from a text with a point.
std::string trim_zeros(std::string_view text);

// ['a', 'b']: each name in single quotes (not escaped), joined by ", ".
std::string py_list(std::span<const std::string_view> names);

}  // namespace veltra::bind
