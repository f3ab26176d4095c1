// The per-column arithmetic of the scale rule, shared by the standardising
// kernels and the fit-time moments so that every path gives the same bits.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra::detail {

inline constexpr double epsilon = 2.220446049250313e-16;         // 2^-52
inline constexpr double smallest_normal = 2.2250738585072014e-308;  // 2^-1022

// Largest |x| so far; NaN never wins a comparison, so it is ignored.
inline double max_abs_step(double m, double x) {
    const double a = std::fabs(x);
    return a > m ? a : m;
}

// Two adjacent lanes of doubles: SSE2 on x86-64, NEON on Arm. Only exact
// IEEE operations are used, so a lane gives the bits of the scalar code.
typedef double v2d __attribute__((vector_size(16)));
typedef long long v2i __attribute__((vector_size(16)));

inline v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline v2d splat(double a) { return v2d{a, a}; }
inline v2d vmax_abs_step(v2d m, v2d x) {
    const v2d a = (v2d)((v2i)x & ~(v2i)splat(-0.0));
    const v2i take = a > m;
    return (v2d)(((v2i)a & take) | ((v2i)m & ~take));
}

struct Prescale {
    double s;
    double inv_s;
};

// Powers of two from the exponent field of the column's largest magnitude,
// clamped to [1, 2045] so that both s and 1/s stay normal.
inline Prescale prescale_of(double max_abs) {
    std::uint64_t e = (std::bit_cast<std::uint64_t>(max_abs) >> 52) & 0x7ffu;
    e = std::clamp<std::uint64_t>(e, 1, 2045);
    return {std::bit_cast<double>(e << 52), std::bit_cast<double>((2046 - e) << 52)};
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
    const double d = (nd + nd) * epsilon;
    const double tol = d * d * mo.ref;
    const bool near_constant = sd < smallest_normal || mo.ss <= tol;
    const double scale = near_constant ? std::fmax(std::fabs(mean), 1.0) : sd;
    return {mean, scale, std::sqrt(mo.ss) * (mo.s / scale)};
}

// Where the used values of X come from: `rows` (null for all rows in order)
// selects n rows; `weights` (null, or at least n contiguous) by position.
struct ColumnSource {
    MatView x;
    const std::uint64_t* rows;
    std::size_t n;
    const double* weights;
};

// Moments of one column of n contiguous values, by the arithmetic of the
// column blocks; weights null or at least n contiguous.
ScaledMoments contiguous_moments(const double* x, std::size_t n, const double* weights);

// Scale-rule results of columns [c0, c1) in blocks of 8, written to
// mean[j - c0], scale[j - c0], term[j - c0]. With x_std (column-major,
// leading dimension n) the standardised columns are written there too, each
// row times multipliers[i] when given. `buffer` is the reusable gather space.
void column_terms(const ColumnSource& src, std::size_t c0, std::size_t c1, double* mean,
                  double* scale, double* term, double* x_std, const double* multipliers,
                  std::vector<double>& buffer);

}  // namespace veltra::detail
