#include "veltra/correlation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "column_moments.hpp"
#include "veltra/elementary.hpp"
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
    const double tau = flat_share(static_cast<double>(n));
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

double fisher_z_unclamped(double r) { return 0.5 * elementary::log1p(2.0 * r / (1.0 - r)); }

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

namespace {

using detail::load2;
using detail::splat;
using detail::v2d;

// Eight lanes as four two-lane vectors.
struct Lanes {
    v2d v[4];
};

// Row i of up to eight columns; the lanes past the columns repeat the first.
[[gnu::always_inline]] inline Lanes row_lanes(const MatView& v, std::size_t i) {
    Lanes out;
    const double* r = v.data + static_cast<std::ptrdiff_t>(i) * v.row_stride;
    if (v.col_stride == 1 && v.cols == sums_lanes) {
        for (int k = 0; k < 4; ++k) out.v[k] = load2(r + 2 * k);
        return out;
    }
    const auto at = [&](std::size_t l) {
        return r[static_cast<std::ptrdiff_t>(l < v.cols ? l : 0) * v.col_stride];
    };
    for (std::size_t k = 0; k < 4; ++k) out.v[k] = v2d{at(2 * k), at(2 * k + 1)};
    return out;
}

}  // namespace

void prescaled_sums_lanes(const MatView& v, PrescaledSums* out) {
    internal_check(v.cols >= 1 && v.cols <= sums_lanes, "prescaled_sums_lanes: 1 to 8 columns");
    // One column needs no lanes.
    if (v.cols == 1) {
        out[0] = prescaled_sums({v.data, v.rows, v.row_stride});
        return;
    }
    const std::size_t n = v.rows;
    // Each lane does the operations of prescaled_sums on its column.
    v2d big[4], s[4], sum[4], mean[4], centred[4], raw[4];
    for (int k = 0; k < 4; ++k) big[k] = sum[k] = centred[k] = raw[k] = splat(0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const Lanes x = row_lanes(v, i);
        for (int k = 0; k < 4; ++k) big[k] = detail::vmax_abs_step(big[k], x.v[k]);
    }
    for (int k = 0; k < 4; ++k)
        s[k] = v2d{detail::prescale_of(big[k][0]).inv_s, detail::prescale_of(big[k][1]).inv_s};
    for (std::size_t i = 0; i < n; ++i) {
        const Lanes x = row_lanes(v, i);
        for (int k = 0; k < 4; ++k) sum[k] += s[k] * x.v[k];
    }
    for (int k = 0; k < 4; ++k) mean[k] = sum[k] / splat(static_cast<double>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const Lanes x = row_lanes(v, i);
        for (int k = 0; k < 4; ++k) {
            const v2d u = s[k] * x.v[k];
            centred[k] += (u - mean[k]) * (u - mean[k]);
            raw[k] += u * u;
        }
    }
    for (std::size_t l = 0; l < v.cols; ++l)
        out[l] = {s[l / 2][l % 2], mean[l / 2][l % 2], centred[l / 2][l % 2], raw[l / 2][l % 2]};
}

void prescaled_cross_lanes(const MatView& x, const PrescaledSums* sx, const MatView& y,
                           const PrescaledSums* sy, double* cross) {
    internal_check(x.cols >= 1 && x.cols <= sums_lanes && y.cols == x.cols && y.rows >= x.rows,
                   "prescaled_cross_lanes: 1 to 8 columns of both");
    if (x.cols == 1) {
        const VecView a{x.data, x.rows, x.row_stride}, b{y.data, x.rows, y.row_stride};
        double sxy = 0.0;
        for (std::size_t i = 0; i < a.len; ++i)
            sxy += (sx->scale * a[i] - sx->mean) * (sy->scale * b[i] - sy->mean);
        cross[0] = sxy;
        return;
    }
    v2d xs[4], xm[4], ys[4], ym[4], sxy[4];
    for (std::size_t l = 0; l < sums_lanes; ++l) {
        const std::size_t c = l < x.cols ? l : 0;
        xs[l / 2][l % 2] = sx[c].scale, xm[l / 2][l % 2] = sx[c].mean;
        ys[l / 2][l % 2] = sy[c].scale, ym[l / 2][l % 2] = sy[c].mean;
    }
    for (int k = 0; k < 4; ++k) sxy[k] = splat(0.0);
    for (std::size_t i = 0; i < x.rows; ++i) {
        const Lanes a = row_lanes(x, i), b = row_lanes(y, i);
        for (int k = 0; k < 4; ++k) sxy[k] += (xs[k] * a.v[k] - xm[k]) * (ys[k] * b.v[k] - ym[k]);
    }
    for (std::size_t l = 0; l < x.cols; ++l) cross[l] = sxy[l / 2][l % 2];
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
