#include "veltra/correlation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "column_moments.hpp"
#include "veltra/error.hpp"
#include "veltra/numeric.hpp"

namespace veltra {

namespace {

// The correlation of both guarded forms; nan_passes says whether a NaN
// spread of x reaches the division (the two-block form) or gives 0.
double pearson_prescaled(VecView x, VecView y, bool nan_passes) {
    const std::size_t n = x.len;
    internal_check(y.len >= n, "guarded_pearson: y shorter than x");
    if (n == 0) return 0.0;
    const VecView yh{y.data, n, y.stride};
    const PrescaledSums sx = prescaled_sums(x), sy = prescaled_sums(yh);
    const double tau = std::pow(2.0 * static_cast<double>(n) * eps, 2);
    const bool flat_x = nan_passes ? sx.centred <= tau * sx.raw : !(sx.centred > tau * sx.raw);
    if (flat_x || sy.centred <= tau * sy.raw) return 0.0;
    return prescaled_correlation(x, sx, yh, sy);
}

double largest_magnitude(VecView v) {
    double a = 0.0;
    for (std::size_t i = 0; i < v.len; ++i) a = detail::max_abs_step(a, v[i]);
    return a;
}

}  // namespace

double fisher_z_unclamped(double r) { return 0.5 * std::log1p(2.0 * r / (1.0 - r)); }

double fisher_z(double r) { return fisher_z_unclamped(std::clamp(r, -0.9999, 0.9999)); }

double pow2_prescale(VecView v) { return detail::prescale_of(largest_magnitude(v)).inv_s; }

PrescaledSums prescaled_sums(VecView v) {
    const double s = pow2_prescale(v);
    double sum = 0.0;
    for (std::size_t i = 0; i < v.len; ++i) sum += s * v[i];
    const double mean = sum / static_cast<double>(v.len);
    double centred = 0.0, raw = 0.0;
    for (std::size_t i = 0; i < v.len; ++i) {
        const double u = s * v[i];
        centred += (u - mean) * (u - mean);
        raw += u * u;
    }
    return {s, mean, centred, raw};
}

double prescaled_correlation(VecView x, const PrescaledSums& sx, VecView y,
                             const PrescaledSums& sy) {
    double sxy = 0.0;
    for (std::size_t i = 0; i < x.len; ++i)
        sxy += (sx.scale * x[i] - sx.mean) * (sy.scale * y[i] - sy.mean);
    const double r = sxy / std::sqrt(sx.centred * sy.centred);
    return std::isnan(r) ? r : std::clamp(r, -1.0, 1.0);
}

double guarded_pearson(VecView x, VecView y) { return pearson_prescaled(x, y, false); }

double pearson_r_guarded(VecView a, VecView b) { return pearson_prescaled(a, b, true); }

double holdout_correlation(VecView a, VecView b) {
    const std::size_t n = a.len;
    internal_check(b.len >= n, "holdout_correlation: b shorter than a");
    if (n < 2) return std::numeric_limits<double>::quiet_NaN();
    const double sa = spread_prescale(largest_magnitude(a));
    const double sb = spread_prescale(largest_magnitude(b));
    // The means in the values' own units, then prescaled again: the rounding
    // of the intervals' own means.
    double suma = 0.0, sumb = 0.0;
    for (std::size_t i = 0; i < n; ++i) suma += a[i] * sa;
    for (std::size_t i = 0; i < n; ++i) sumb += b[i] * sb;
    const double nd = static_cast<double>(n);
    const double ma = suma / nd / sa * sa, mb = sumb / nd / sb * sb;
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double da = a[i] * sa - ma, db = b[i] * sb - mb;
        sxx += da * da;
        syy += db * db;
        sxy += da * db;
    }
    if (!(sxx / sa / sa > 1e-30 && syy / sb / sb > 1e-30))
        return std::numeric_limits<double>::quiet_NaN();
    return std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
}

}  // namespace veltra
