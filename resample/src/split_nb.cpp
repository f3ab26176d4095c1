#include "veltra/resample/split_nb.hpp"

#include <algorithm>
#include <cmath>

#include "veltra/correlation.hpp"
#include "veltra/elementary.hpp"
#include "veltra/resample/nr_split.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/resample/splits.hpp"
#include "veltra/special.hpp"
#include "veltra/weights.hpp"

namespace veltra::resample {

namespace {

struct ZMoments {
    double mean;
    double var;  // divisor J - 1
};

ZMoments z_moments(std::span<const double> r) {
    const double J = static_cast<double>(r.size());
    double sum = 0.0;
    for (const double v : r) sum += fisher_z(v);
    const double mean = sum / J;
    double ss = 0.0;
    for (const double v : r) {
        const double d = fisher_z(v) - mean;
        ss += d * d;
    }
    return {mean, ss / (J - 1.0)};
}

}  // namespace

NbTest nb_test(std::span<const double> r, std::size_t n_train, std::size_t n_test) {
    const double J = static_cast<double>(r.size());
    const ZMoments z = z_moments(r);
    const double s = std::sqrt(z.var);
    const double spread =
        std::sqrt(1.0 / J + static_cast<double>(n_test) / static_cast<double>(n_train)) * s;
    const double t = z.mean / std::fmax(spread, 1e-15);
    const double df = J - 1.0;
    double p;
    if (!(df > 0.0)) {
        p = std::numeric_limits<double>::quiet_NaN();
    } else if (t == 0.0) {
        p = 0.5;
    } else {
        const double h = 0.5 * betainc(df / 2.0, 0.5, df / (df + t * t));
        p = t > 0.0 ? h : 1.0 - h;
    }
    return {p, elementary::tanh(z.mean), t, df};
}

std::optional<double> nb_rho_hat(std::span<const double> r, std::size_t n_test) {
    if (n_test < 4) return std::nullopt;
    const double v = z_moments(r).var;
    const double rho = 1.0 + v / (-1.0 / (static_cast<double>(n_test) - 3.0));
    return std::isnan(rho) ? rho : std::clamp(rho, 0.0, 1.0);
}

Result<SplitTestResult> run_split_nb(MatView x, VecView y, std::size_t k, std::size_t n_splits,
                                     std::optional<VecView> weights,
                                     std::optional<std::size_t> keep, ChaCha8Rng& rng) {
    const std::size_t n = x.rows, p = x.cols;
    VELTRA_TRY(splits, draw_splits(n, k, n_splits, rng));
    // Uniform weights are no weights, down to whether rho_hat is reported.
    VELTRA_TRY(normalized, validate_and_normalize_weights(weights, n));
    if (!normalized->weights) weights.reset();
    const std::size_t m = split_train_size(n, k), n_test = n - m;
    std::vector<SplitR> rs;
    if (k == 1 && !keep) {
        rs = split_nb_correlations_nr(x, y, *splits, weights);
    } else {
        rs = map_units(n_splits, split_refit_bytes(*splits, p, k), [&](std::size_t j) {
            return split_half_r(x, y, k, (*splits)[j], weights, keep);
        });
    }
    std::vector<double> r(rs.size());
    bool any_fitted = false;
    for (std::size_t j = 0; j < rs.size(); ++j) {
        r[j] = rs[j].r;
        any_fitted = any_fitted || rs[j].fitted;
    }
    // Splits that cannot be fitted count as r = 0; when none can, p = 0.5
    // would read as an answer although there is no evidence at all.
    if (!any_fitted) return std::unexpected(every_split_failed());
    const NbTest nb = nb_test(r, m, n_test);
    SplitTestResult out{nb.p, nb.statistic, std::nullopt};
    if (!weights) out.rho_hat = nb_rho_hat(r, n_test);
    return out;
}

}  // namespace veltra::resample
