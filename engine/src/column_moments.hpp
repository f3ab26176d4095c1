// The per-column arithmetic of the scale rule, shared by the standardising
// kernels and the fit-time moments so that every path gives the same bits.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "veltra/standardize.hpp"
#include "veltra/view.hpp"
#include "simd2.hpp"

namespace veltra::detail {

inline constexpr double smallest_normal = 2.2250738585072014e-308;  // 2^-1022

// Largest |x| so far; NaN never wins a comparison, so it is ignored.
inline double max_abs_step(double m, double x) {
    const double a = std::fabs(x);
    return a > m ? a : m;
}

inline v2d vabs(v2d x) { return (v2d)((v2i)x & ~(v2i)splat(-0.0)); }
// Per lane a > m ? a : m, so a NaN in a never replaces m.
inline v2d vmax_step(v2d m, v2d a) {
#if defined(__SSE2__)
    return (v2d)_mm_max_pd((__m128d)a, (__m128d)m);
#elif defined(__ARM_NEON) && defined(__aarch64__)
    return (v2d)vmaxnmq_f64((float64x2_t)a, (float64x2_t)m);
#else
    const v2i take = a > m;
    return (v2d)(((v2i)a & take) | ((v2i)m & ~take));
#endif
}
// Per lane a < m ? a : m, likewise.
inline v2d vmin_step(v2d m, v2d a) {
#if defined(__SSE2__)
    return (v2d)_mm_min_pd((__m128d)a, (__m128d)m);
#elif defined(__ARM_NEON) && defined(__aarch64__)
    return (v2d)vminnmq_f64((float64x2_t)a, (float64x2_t)m);
#else
    const v2i take = a < m;
    return (v2d)(((v2i)a & take) | ((v2i)m & ~take));
#endif
}
inline v2d vmax_abs_step(v2d m, v2d x) { return vmax_step(m, vabs(x)); }
// A lower bound of the smallest nonzero magnitude so far: the double just
// below |x|. One less than the bits of a zero are those of a NaN, which the
// minimum passes over, so zeros drop out without a compare.
inline v2d vmin_nonzero_abs_step(v2d m, v2d x) {
    return vmin_step(m, (v2d)((v2i)vabs(x) - v2i{1, 1}));
}

struct Prescale {
    double s;
    double inv_s;
};

// (x - mean) / scale, finite whenever the quotient is representable. Only
// for x and mean of opposite signs near the overflow limit can x - mean
// overflow; their halves are then exact (both lie far above the subnormal
// range), and so is the halved scale unless it is subnormal, in which case
// the quotient overflows anyway. Elsewhere these are the formula's bits.
inline double standardized_value(double x, double mean, double scale) {
    const double d = x - mean;
    if (!std::isinf(d)) [[likely]]
        return d / scale;
    return (0.5 * x - 0.5 * mean) / (0.5 * scale);
}

// Nonzero when d is an infinity or a NaN; integer steps, so that a loop
// testing every value still vectorises.
inline std::uint64_t not_finite_bit(double d) {
    return ((std::bit_cast<std::uint64_t>(d) >> 52 & 0x7ffu) + 1) & 0x800u;
}

// out[i] = standardized_value(x(i), mean, scale), times mult[i] when mult is
// given, for i < n: the plain formula, redone in the safe form only when
// some x - mean was not finite.
template <class Value>
inline void standardized_line(Value x, std::size_t n, double mean, double scale,
                              const double* mult, double* out) {
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = x(i) - mean;
        bad |= not_finite_bit(d);
        out[i] = mult == nullptr ? d / scale : mult[i] * (d / scale);
    }
    if (bad == 0) return;
    for (std::size_t i = 0; i < n; ++i) {
        const double z = standardized_value(x(i), mean, scale);
        out[i] = mult == nullptr ? z : mult[i] * z;
    }
}

// Powers of two from the exponent field of the column's largest magnitude,
// clamped to [1, 2045] so that both s and 1/s stay normal.
inline Prescale prescale_of(double max_abs) {
    std::uint64_t e = (std::bit_cast<std::uint64_t>(max_abs) >> 52) & 0x7ffu;
    e = std::clamp<std::uint64_t>(e, 1, 2045);
    return {std::bit_cast<double>(e << 52), std::bit_cast<double>((2046 - e) << 52)};
}

// Binary exponents of the smallest nonzero and of the largest weight (0 and 0
// without weights, or when every weight is zero).
struct WeightRange {
    int e_min = 0;
    int e_max = 0;
};
WeightRange weight_range(const double* w, std::size_t n);

// One pass over a column gives its largest magnitude and its sums on the
// unscaled values x_i. Multiplying by a power of two commutes with every
// rounding as long as no exact intermediate leaves the normal range, so when
// bounds from the extreme magnitudes, the weights and n prove that of both
// the unscaled and the prescaled computation, the prescaled sums are the
// unscaled ones times inv_s (inv_s^2): the same bits, one pass fewer.
struct RawSums {
    double max_abs;      // largest |x_i|, NaN ignored
    double min_nonzero;  // at most the smallest nonzero |x_i|, +inf when there is none
    double sum;          // running sum of x_i (w_i * x_i), from -0.0
    double sum_sq;       // running sum of x_i * x_i (w_i * (x_i * x_i)), from -0.0
};

// The prescaled sums from raw ones, or false when the bounds do not prove
// them exact (the caller then sums the prescaled values itself).
inline bool rescale_raw_sums(const RawSums& r, const Prescale& ps, std::size_t n,
                             const WeightRange& wr, double& sum, double& ref) {
    if (!std::isfinite(r.max_abs) || !std::isfinite(r.sum) || !std::isfinite(r.sum_sq))
        return false;
    if (r.max_abs == 0.0) {  // only zeros (or n = 0): every term is a signed zero
        sum = r.sum * ps.inv_s;
        ref = r.sum_sq * ps.inv_s;
        return true;
    }
    if (!(r.min_nonzero > 0.0 && std::isfinite(r.min_nonzero))) return false;
    int log2_n = 0;
    while ((std::size_t{1} << log2_n) < n && log2_n < 63) ++log2_n;
    const int k = std::ilogb(ps.inv_s);
    const int e_lo = std::ilogb(r.min_nonzero), e_hi = std::ilogb(r.max_abs) + 1;
    for (const int kc : {0, k}) {
        // Every nonzero term (c x, (c x)^2, times a weight) is at least 2^lo
        // and below 2^hi; a nonzero running sum of such terms is at least
        // 2^(lo - 53), and all of them together stay below 2^(hi + log2 n).
        const int lo = std::min(kc + e_lo, 2 * (kc + e_lo)) + std::min(0, wr.e_min);
        const int hi = std::max(kc + e_hi, 2 * (kc + e_hi)) + std::max(0, wr.e_max + 1);
        if (lo - 1 < -969 || hi + log2_n + 1 > 1022) return false;
    }
    const double half = r.sum_sq * ps.inv_s;
    if (!(half >= smallest_normal && std::isfinite(half))) return false;
    sum = r.sum * ps.inv_s;
    ref = half * ps.inv_s;
    return true;
}

// The accumulations of the three passes, per two-lane slot (the sums also
// per wider vector: arguments by reference, so that a caller built for wider
// vectors takes them in); `weighted` multiplies each term by the row's
// weight wi.
template <bool weighted, class V>
inline void add_sums_step(V& sum, V& sq, const V& u, const V& wi) {
    if constexpr (weighted) {
        sum += wi * u;
        sq += wi * (u * u);
    } else {
        sum += u;
        sq += u * u;
    }
}
template <bool weighted>
inline void add_raw_step(v2d& big, v2d& small, v2d& sum, v2d& sq, v2d x, v2d wi) {
    big = vmax_abs_step(big, x);
    small = vmin_nonzero_abs_step(small, x);
    add_sums_step<weighted>(sum, sq, x, wi);
}
template <bool weighted>
inline void add_sq_step(v2d& ss, v2d d, v2d wi) {
    if constexpr (weighted) {
        ss += wi * (d * d);
    } else {
        ss += d * d;
    }
}

// Both lanes of a slot after the raw pass: inv gets the inverse prescales,
// sum and sq become the prescaled sums where rescale_raw_sums proves them
// exact. False when a lane is not proven (the caller then re-sums).
inline bool rescale_slot(v2d big, v2d small, v2d& sum, v2d& sq, v2d& inv, std::size_t n,
                         const WeightRange& wr) {
    double inv_s[2], sum_s[2], sq_s[2];
    bool exact = true;
    for (int l = 0; l < 2; ++l) {
        const Prescale ps = prescale_of(big[l]);
        inv_s[l] = ps.inv_s;
        exact = rescale_raw_sums({big[l], small[l], sum[l], sq[l]}, ps, n, wr, sum_s[l], sq_s[l]) &&
                exact;
    }
    inv = v2d{inv_s[0], inv_s[1]};
    sum = v2d{sum_s[0], sum_s[1]};
    sq = v2d{sq_s[0], sq_s[1]};
    return exact;
}

struct ColumnStats {
    double mean;
    double scale;
    double term;
};

inline ColumnStats scale_rule(const ScaledMoments& mo, std::size_t n) {
    const double nd = static_cast<double>(n);
    const double mean = mo.m * mo.s;
    const double sd = mo.s * std::sqrt(mo.ss / nd);
    const double d = (nd + nd) * eps;
    const double tol = d * d * mo.ref;
    const bool near_constant = sd < smallest_normal || mo.ss <= tol;
    const double scale = near_constant ? std::fmax(std::fabs(mean), 1.0) : sd;
    return {mean, scale, std::sqrt(mo.ss) * (mo.s / scale)};
}

// Where the used values of X come from: `rows` (null for all rows in order)
// selects n rows, every one of them inside X; `weights` (null, or at least n
// contiguous) apply by position, with their range in `wr`.
struct ColumnSource {
    MatView x;
    const std::uint64_t* rows;
    std::size_t n;
    const double* weights;
    WeightRange wr;
};

// The source over the listed rows (all when null); a listed row outside X is
// a broken invariant.
ColumnSource column_source(MatView x, const std::uint64_t* rows, std::size_t n,
                           const double* weights);

// Columns are standardised in blocks of this many.
inline constexpr std::size_t block_width = 8;

// The n used values of columns [c, c + width) of the source into buf,
// column-major with leading dimension n.
void gather_columns(const ColumnSource& src, std::size_t c, std::size_t width, double* buf);

// Columns [c, c + width) of the source, width at most block_width, as
// contiguous vectors of its n used values: in place for a column-major X
// read whole, else gathered into `buffer`. Lanes past width repeat the first.
std::array<const double*, block_width> block_columns(const ColumnSource& src, std::size_t c,
                                                     std::size_t width,
                                                     std::vector<double>& buffer);

// X'z formed along with the moments: z one entry per used row, and the rows
// cut into `parts` parts (first rows cuts[0 .. parts), then cuts[parts] =
// n); per column, within each part two running sums from zero over the rows
// at even and at odd offsets from the part's first row, added, and the part
// sums added in part order: the order of the PLS1 loop's products.
struct CrossDots {
    const double* z;
    const std::size_t* cuts;
    std::size_t parts;
};

// The moments of a block of n-value columns, with weights (null, or n
// contiguous) whose range is wr; with cross, g gets X'z of the 8 columns.
void block_moments8(const std::array<const double*, block_width>& c, std::size_t n,
                    const double* w, const WeightRange& wr,
                    std::array<ScaledMoments, block_width>& out,
                    const CrossDots* cross = nullptr, double* g = nullptr);

// Moments of one column of n contiguous values, by the arithmetic of the
// column blocks; weights null or at least n contiguous.
ScaledMoments contiguous_moments(const double* x, std::size_t n, const double* weights);

// Scale-rule results of columns [c0, c1) in blocks of 8, written to
// mean[j - c0], scale[j - c0], term[j - c0]. With x_std (column-major,
// leading dimension n) the standardised columns are written there too, each
// row times multipliers[i] when given. `buffer` is the reusable gather space.
// With cross, xt_z[j - c0] gets (X'z)_j from the same reading of the columns.
void column_terms(const ColumnSource& src, std::size_t c0, std::size_t c1, double* mean,
                  double* scale, double* term, double* x_std, const double* multipliers,
                  std::vector<double>& buffer, const CrossDots* cross = nullptr,
                  double* xt_z = nullptr);

}  // namespace veltra::detail
