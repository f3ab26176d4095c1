#include "veltra/resample/split_nb.hpp"

#include <algorithm>
#include <cmath>

#include "perm_support.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/finite.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/resample/nr_split.hpp"
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

Eigen::VectorXd gather(VecView y, RowList rows) {
    Eigen::VectorXd out(to_index(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        internal_check(rows[i] < y.len, "split row index beyond the response");
        out[to_index(i)] = y[rows[i]];
    }
    return out;
}

std::optional<VecView> view_of(const std::optional<Eigen::VectorXd>& v) {
    if (!v) return std::nullopt;
    return VecView::of(*v);
}

}  // namespace

VeltraError every_split_failed() {
    return VeltraError::InvalidInput{
        "every split failed to fit: the test has no evidence either way (check k against the "
        "training size and the weights)"};
}

std::size_t split_train_size(std::size_t n, std::size_t k) {
    return std::min(std::max(k + 2, n / 2), n - 3);
}

Result<std::vector<SplitIdx>> draw_splits(std::size_t n, std::size_t k, std::size_t n_splits,
                                          ChaCha8Rng& rng) {
    if (n < sat_add(k, 5))
        return fail(VeltraError::InvalidArgument{"n=" + std::to_string(n) + " too small for k=" +
                                                 std::to_string(k) +
                                                 " under split methods (need n ≥ k+5)"});
    const std::size_t m = split_train_size(n, k);
    const std::vector<std::uint64_t> seeds = child_seeds(rng, n_splits);
    return parallel_for_each_seeded(
        seeds, [&](std::size_t, ChaCha8Rng& unit_rng) { return one_split(n, m, unit_rng); });
}

SliceWeights slice_weights(std::optional<VecView> weights, RowList rows) {
    SliceWeights out;
    if (!weights || rows.empty()) return out;
    Eigen::VectorXd w = gather(*weights, rows);
    double sum = 0.0;
    for (Eigen::Index i = 0; i < w.size(); ++i) sum += w[i];
    if (sum == 0.0) {
        out.massless = true;
        return out;
    }
    double spread = 0.0;
    for (Eigen::Index i = 0; i < w.size(); ++i) {
        w[i] = w[i] * static_cast<double>(rows.size()) / sum;
        spread = std::max(spread, std::fabs(w[i] - 1.0));
    }
    if (spread < 1e-12) return out;
    out.root = sqrt_col(VecView::of(w));
    out.w = std::move(w);
    return out;
}

PreparedSplit prepare_split(MatView x, const SplitIdx& split, std::optional<VecView> weights) {
    PreparedSplit s;
    s.w_train = slice_weights(weights, split.train);
    s.w_test = slice_weights(weights, split.test);
    StandardizedFro tr = standardize_rows_fro(x, split.train, view_of(s.w_train.w),
                                              view_of(s.w_train.root));
    s.test = standardize_apply_rows(x, split.test, VecView::of(tr.mean), VecView::of(tr.scale),
                                    view_of(s.w_test.root));
    s.train = std::move(tr.x_std);
    s.mean = std::move(tr.mean);
    s.scale = std::move(tr.scale);
    s.fro = tr.fro;
    s.finite = s.train.allFinite() && s.test.allFinite();
    return s;
}

Eigen::VectorXd split_train_target(const SliceWeights& w_train, RowList train, VecView y) {
    const Eigen::VectorXd raw = gather(y, train);
    Eigen::VectorXd out = standardize1_weighted(VecView::of(raw), view_of(w_train.w)).y_std;
    if (w_train.root) out.array() *= w_train.root->array();
    return out;
}

Eigen::VectorXd split_test_target(const PreparedSplit& s, RowList test, VecView y) {
    Eigen::VectorXd out = gather(y, test);
    if (s.w_test.root) out.array() *= s.w_test.root->array();
    return out;
}

SplitR split_column_r(const PreparedSplit& s, const SplitIdx& split, VecView y, std::size_t k,
                      std::optional<std::size_t> keep) {
    // A half whose weights sum to zero has no effective rows: no fit, never
    // an unweighted one.
    if (!s.finite || s.w_train.massless || s.w_test.massless) return {};
    const Eigen::VectorXd y_train = split_train_target(s.w_train, split.train, y);
    const auto p = static_cast<std::size_t>(s.train.cols());
    if (!check_fit_y_and_k(p, VecView::of(y_train), k, keep)) return {};
    const PreparedFit fit = pls1_fit_prepared_fro(MatView::of(s.train), VecView::of(y_train), k,
                                                  keep, s.fro, par_sequential);
    const Eigen::VectorXd prediction =
        mat_vec(MatView::of(s.test), VecView::of(fit.coef), par_sequential);
    const Eigen::VectorXd y_test = split_test_target(s, split.test, y);
    return {guarded_pearson(VecView::of(prediction), VecView::of(y_test)), true};
}

SplitR split_half_r(MatView x, VecView y, std::size_t k, const SplitIdx& split,
                    std::optional<VecView> weights, std::optional<std::size_t> keep) {
    return split_column_r(prepare_split(x, split, weights), split, y, k, keep);
}

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
    return {p, std::tanh(z.mean), t, df};
}

std::optional<double> nb_rho_hat(std::span<const double> r, std::size_t n_test) {
    if (n_test < 4) return std::nullopt;
    const double v = z_moments(r).var;
    const double rho = 1.0 + v / (-1.0 / (static_cast<double>(n_test) - 3.0));
    return std::isnan(rho) ? rho : std::clamp(rho, 0.0, 1.0);
}

std::uint64_t split_blocks_bytes(std::span<const SplitIdx> splits, std::uint64_t p) {
    std::uint64_t most = 0;
    for (const SplitIdx& s : splits)
        most = std::max(most, sat_add(sat_mul(sat_mul(ceil8(s.train.size()), p), 8),
                                      sat_mul(sat_mul(ceil8(s.test.size()), p), 8)));
    return most;
}

std::uint64_t prepared_split_bytes(std::span<const SplitIdx> splits, std::uint64_t p) {
    const std::uint64_t n = splits.empty() ? 0 : splits[0].train.size() + splits[0].test.size();
    // Means, scales and norm terms; per row the weights, their roots and
    // copies; eight gathered columns.
    const std::uint64_t small =
        sat_add(block_bytes(p, 3), sat_add(block_bytes(n, 6), block_bytes(n, 8)));
    return sat_add(split_blocks_bytes(splits, p), small);
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
        const std::uint64_t bytes =
            sat_add(prepared_split_bytes(*splits, p), detail::refit_bytes(n, m, p, k));
        rs = map_units(n_splits, bytes, [&](std::size_t j) {
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
