#include "veltra/elementary.hpp"

#include <quadmath.h>

#include <limits>

namespace veltra::elementary {

std::uint64_t ceil_pow(std::uint64_t n, double r) {
    // In 113-bit arithmetic (software, the same bits on every processor)
    // n^r is within a few units of 2^-112 of the truth, so the ceiling is
    // settled unless n^r lies within that distance of an integer. A power
    // that close to an integer is that integer: every exact power falls
    // there, and no other power of a count below 2^64 by a double rate has
    // been seen within 2^-100 of one.
    const __float128 y = powq(static_cast<__float128>(n), static_cast<__float128>(r));
    if (!(y > 0)) return 0;  // NaN, or n = 0
    if (y >= static_cast<__float128>(0x1p64)) return std::numeric_limits<std::uint64_t>::max();
    const __float128 nearest = roundq(y);
    const __float128 c = fabsq(y - nearest) <= nearest * static_cast<__float128>(0x1p-100) ? nearest : ceilq(y);
    return static_cast<std::uint64_t>(c);
}

}  // namespace veltra::elementary
