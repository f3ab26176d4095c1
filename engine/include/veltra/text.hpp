// Number and text forms shared by every message of the system. Locale-free:
// everything goes through std::to_chars.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltra {

// A real in the shortest digits that read back to the same double, laid out
// positionally (never an exponent), without a decimal point when integral:
// 5, 0.05, 0.0000001, 100000000000000000000000, -0, NaN, inf, -inf.
std::string format_real(double x);

// A real in exponent form with the shortest round-trip digits and a bare
// exponent: 1.5e-7, 6e3, 0e0, -2.5e300, NaN, inf, -inf.
std::string format_exp(double x);

// A real with exactly three decimals, rounded from the exact binary value
// (0.0625 -> "0.062"): the rates of the resampling errors.
std::string format_rate3(double x);

// A count in decimal.
std::string format_count(std::uint64_t n);

// The quoted debug form: the text between double quotes, with \" and \\,
// \t \r \n \0, \u{hex} for other characters that Python's str.isprintable()
// rejects, and \xNN for each byte that is not part of valid UTF-8.
std::string debug_quoted(std::string_view bytes);

// The same escapes without the surrounding quotes.
std::string debug_escaped(std::string_view bytes);

// Whether Python's str.isprintable() holds for the code point.
bool is_printable_code_point(char32_t cp);

}  // namespace veltra
