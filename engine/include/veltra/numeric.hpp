// Small numeric helpers shared by every layer: index casts, the machine
// epsilon, sizes that saturate instead of wrapping, and the thresholds that
// several kernels must agree on.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include <Eigen/Core>

namespace veltra {

// Sizes reach Eigen as signed indices; every size the engine holds fits.
constexpr Eigen::Index to_index(std::size_t i) { return static_cast<Eigen::Index>(i); }

// 2^-52, the unit of the rounding allowances.
inline constexpr double eps = 0x1p-52;

// A centred sum of squares of n values at most this share of their raw sum
// of squares is rounding noise: the values are flat.
inline double flat_share(double n) {
    const double a = 2.0 * n * eps;
    return a * a;
}

// Sums of squares below this are recomputed by a scaled pass: their square
// root may have lost bits to underflow.
inline constexpr double safe_low = 0x1p-900;

// Work (n * p * k and the like) up to this runs on the calling thread: a
// parallel start costs more than it saves there.
inline constexpr std::uint64_t small_work_max = 999'999;

// A PLS1 fit also keeps its products on the calling thread, whatever k,
// when X has fewer entries than this: each product of a component then
// costs about as much as handing its parts to the pool (measured in
// bench/bench_threads.cpp: 20 x 5001 and 60 x 2000 column-major were up to
// 5 % slower on 8 threads than on one, 40 x 5000 and 64 x 2049 faster).
inline constexpr std::uint64_t min_parallel_entries = 131'072;

// Entries of an X that the cores' caches hold together (8 MiB of doubles):
// up to this, kernels may read it in pieces whose order suits the threads
// rather than the memory.
inline constexpr std::uint64_t cached_entries = std::uint64_t{1} << 20;

inline constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// Sizes that callers control (counts of splits, permutations, replicates)
// are combined without wrapping: a saturated size is refused or fails the
// allocation, it never becomes a small one.
constexpr std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
    return out;
}
constexpr std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (__builtin_add_overflow(a, b, &out)) return std::nullopt;
    return out;
}
constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
    return checked_mul(a, b).value_or(u64_max);
}
constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    return checked_add(a, b).value_or(u64_max);
}

constexpr std::size_t ceil_div(std::size_t a, std::size_t b) { return a / b + (a % b != 0); }

// x rounded up to a multiple of 8, saturating.
constexpr std::uint64_t ceil8(std::uint64_t x) {
    return x % 8 == 0 ? x : sat_add(x, 8 - x % 8);
}

// Bytes of a rows x cols block of doubles, rows rounded up to a multiple of
// 8 as the memory estimates count them, saturating.
constexpr std::uint64_t block_bytes(std::uint64_t rows, std::uint64_t cols) {
    return sat_mul(sat_mul(ceil8(rows), cols), 8);
}

// Centring on the fly loses digits in proportion to the largest ratio of a
// column's |mean| to its scale; above this the fits form the standardised X.
inline constexpr double implicit_max_mean_ratio = 1000.0;

// The power of two by which values at most max_abs in size are multiplied
// before their mean and spread are formed (and the results divided by after),
// so that neither the sums nor the squares overflow or sink into subnormals
// where the true mean and spread are well inside double range. It is 1, and
// the arithmetic the same bits as unscaled, for every size between 2^-480
// and 2^480; a zero or non-finite max_abs leaves the values as they are.
// Elsewhere it brings max_abs into [1, 2), except that it stops at 2^1023,
// the largest power of two there is: a subnormal max_abs lands in
// [2^-51, 1), still far from where the squares would underflow. The QR that
// starts a long thin SVD scales by it too, for the same sums of squares.
inline double spread_prescale(double max_abs) {
    if (!std::isfinite(max_abs) || max_abs == 0.0) return 1.0;
    if (max_abs >= 0x1p-480 && max_abs <= 0x1p480) return 1.0;
    return std::ldexp(1.0, std::min(-std::ilogb(max_abs), 1023));
}

}  // namespace veltra
