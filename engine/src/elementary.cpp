#include "veltra/elementary.hpp"

#include <quadmath.h>

#include <limits>

namespace veltra::elementary {

std::uint64_t ceil_pow(std::uint64_t n, double r) {
    // In 113-bit arithmetic (software, the same bits on every processor)
    // n^r comes within a few units of 2^-112 of the truth, so the ceiling is
    // settled unless n^r lies within about that distance of an integer. An
    // exact power lies there, and is taken as its integer; a power that is
    // not an integer would have to agree with one to 30 digits to be taken
    // for it, which the tests' exact reference finds for no count up to 1e5.
    const __float128 y = powq(static_cast<__float128>(n), static_cast<__float128>(r));
    if (!(y > 0)) return 0;  // NaN, or n = 0
    if (y >= static_cast<__float128>(0x1p64)) return std::numeric_limits<std::uint64_t>::max();
    const __float128 nearest = roundq(y);
    const bool exact = fabsq(y - nearest) <= nearest * static_cast<__float128>(0x1p-100);
    return static_cast<std::uint64_t>(exact ? nearest : ceilq(y));
}

}  // namespace veltra::elementary
