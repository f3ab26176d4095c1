// Pearson correlations and the Fisher z transform of the resampling tests.
//
// Every correlation first multiplies each vector by a power of two taken
// from its own largest magnitude, which is exact and leaves the correlation
// as it is, so huge and tiny values correlate as ordinary ones do; every sum
// is one running sum in index order. The forms differ only in what they
// answer for a vector without spread, as their callers' rules require.
#pragma once

#include <cstddef>

#include "veltra/view.hpp"

namespace veltra {

// atanh r, computed as 0.5 log1p(2r / (1 - r)): the form whose rounding the
// tests and intervals are fixed to. +-inf at +-1, NaN beyond and for NaN.
double fisher_z_unclamped(double r);

// The split tests' Fisher z: of r clamped to [-0.9999, 0.9999] first, so
// that a correlation of +-1 stays finite; NaN stays NaN.
double fisher_z(double r);

// The power of two that brings the largest |v_i| (NaN ignored) into [1, 2)
// when it is in the normal range, the standardising kernels' prescale;
// 2^1022 for an empty or all-zero v.
double pow2_prescale(VecView v);

// Mean, centred and raw sum of squares of v times its prescale, in index order.
struct PrescaledSums {
    double scale;
    double mean;
    double centred;
    double raw;
};
PrescaledSums prescaled_sums(VecView v);

// Up to eight columns at once, one per vector lane: out[l] is the bits of
// prescaled_sums of column l of v, and with y, cross[l] the bits of the sum
// (s_x x_i - mean_x)(s_y y_i - mean_y) over the rows in index order, for
// column l of v as x (sums out[l]) and of y (sums sy[l]), which
// prescaled_correlation divides. Columns whose entries lie side by side
// (column stride 1) are read a row at a time.
inline constexpr std::size_t sums_lanes = 8;
void prescaled_sums_lanes(const MatView& v, PrescaledSums* out);
void prescaled_cross_lanes(const MatView& x, const PrescaledSums* sx, const MatView& y,
                           const PrescaledSums* sy, double* cross);

// sum (s_x x_i - mean_x)(s_y y_i - mean_y) / sqrt(S_x S_y) over the first
// x.len entries, from the prescaled sums of x and of those entries of y;
// clamped to [-1, 1], a NaN passes.
double prescaled_correlation(VecView x, const PrescaledSums& sx, VecView y,
                             const PrescaledSums& sy);

// The guarded correlation of the split tests: x and the first x.len entries
// of y (a shorter y is an internal failure); 0 for empty vectors and when
// either side has no spread beyond rounding (S <= (2 n eps)^2 R); clamped
// to [-1, 1], NaN through. A NaN spread of x also gives 0.
double guarded_pearson(VecView x, VecView y);
// The same, except that a NaN spread passes the guards, so NaN input gives a
// NaN correlation (the two-block tests map it to their lower clamp).
double pearson_r_guarded(VecView a, VecView b);

// The plain correlation of the subsample intervals' holdout rows: NaN for
// fewer than two values, and when either centred sum of squares, in the
// values' own units, is not above 1e-30; else clamped to [-1, 1]. Its
// prescale leaves values between 2^-480 and 2^480 as they are.
double holdout_correlation(VecView a, VecView b);

}  // namespace veltra
