#include "veltra/resample/subsample.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "veltra/correlation.hpp"
#include "veltra/elementary.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/row_split.hpp"
#include "veltra/special.hpp"
#include "veltra/text.hpp"
#include "veltra/weights.hpp"

namespace veltra::resample {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::unexpected<VeltraError> invalid(std::string message) {
    return fail(VeltraError::InvalidArgument{std::move(message)});
}

// The mean and spread are formed on values prescaled by a power of two, so
// that they are finite whenever the true ones are.
double prescale_of(std::span<const double> v) {
    double most = 0.0;
    for (const double x : v) most = std::max(most, std::fabs(x));
    return spread_prescale(most);
}

double mean_of(std::span<const double> v) {
    const double scale = prescale_of(v);
    double s = 0.0;
    for (const double x : v) s += x * scale;
    return s / static_cast<double>(v.size()) / scale;
}

// The sample variance (divisor N - 1; 0 for fewer than two values) of the
// values times scale.
struct ScaledVar {
    double var;
    double scale;
};
ScaledVar scaled_sample_var(std::span<const double> v) {
    if (v.size() < 2) return {0.0, 1.0};
    const double scale = prescale_of(v);
    double s = 0.0;
    for (const double x : v) s += x * scale;
    const double mu = s / static_cast<double>(v.size());
    double ss = 0.0;
    for (const double x : v) ss += (x * scale - mu) * (x * scale - mu);
    return {ss / static_cast<double>(v.size() - 1), scale};
}
double sample_var(std::span<const double> v) {
    const ScaledVar s = scaled_sample_var(v);
    return s.var / s.scale / s.scale;
}
double sample_sd(std::span<const double> v) {
    const ScaledVar s = scaled_sample_var(v);
    return std::sqrt(s.var) / s.scale;
}

std::vector<double> without_nan(std::span<const double> v) {
    std::vector<double> out;
    out.reserve(v.size());
    for (const double x : v)
        if (!std::isnan(x)) out.push_back(x);
    return out;
}

// Peak bytes of one draw: its two standardised blocks, two refits of at
// most n rows, and its own row vectors (indices, weights, leverages,
// prediction).
std::uint64_t draw_bytes(std::uint64_t n, std::uint64_t p, std::uint64_t k) {
    const std::uint64_t fits = sat_mul(2, refit_bytes(n, n, p, k));
    return sat_add(sat_add(block_bytes(n, sat_mul(2, p)), fits), block_bytes(n, 4));
}

WorkerOutcome failed_draw(const VeltraError& e) {
    const bool skipped = e.is<VeltraError::InvalidWeights>() &&
                         e.as<VeltraError::InvalidWeights>().reason == "insufficient_effective_n";
    return {skipped ? WorkerOutcome::Kind::Skipped : WorkerOutcome::Kind::Failed, {}};
}

}  // namespace

Result<void> SubsampleOpts::validate() const {
    if (!(0.5 < m_rate && m_rate < 0.95))
        return invalid("m_rate must satisfy 0.5 < m_rate < 0.95, got " + format_real(m_rate));
    if (!(0.5 <= level && level <= 0.99))
        return invalid("level must satisfy 0.5 ≤ level ≤ 0.99, got " + format_real(level));
    if (n_boot < 100) return invalid("n_boot must be ≥ 100, got " + format_count(n_boot));
    if (!(0.0 <= max_failure_rate && max_failure_rate <= 1.0))
        return invalid("max_failure_rate must be in [0.0, 1.0], got " +
                       format_real(max_failure_rate));
    if (!(0.0 <= max_skip_rate && max_skip_rate <= 1.0))
        return invalid("max_skip_rate must be in [0.0, 1.0], got " + format_real(max_skip_rate));
    return {};
}

Result<std::size_t> resolve_subsample_m(std::size_t n, std::size_t k, double m_rate,
                                        std::string_view too_large) {
    const std::uint64_t m = elementary::ceil_pow(n, m_rate);
    const std::string from = "resolved m = " + format_count(m) + " (from n=" + format_count(n) +
                             ", m_rate=" + format_real(m_rate) + ")";
    if (m >= n) return invalid(from + " " + std::string(too_large) + "; need m < n");
    if (m < sat_add(k, 2))
        return invalid(from + " is too small for k=" + format_count(k) + "; need m ≥ k+2");
    return m;
}

Result<std::size_t> resolve_ci_m(std::size_t n, std::size_t k, double m_rate) {
    return resolve_subsample_m(n, k, m_rate, "leaves no holdout");
}

FitOpts subsample_fit_opts(bool pre_standardized) {
    FitOpts opts;
    opts.pre_standardized = pre_standardized;
    opts.strict = true;
    opts.par = par_sequential;
    return opts;
}

Result<RowsFit> fit_rows(MatView x, VecView y, RowList rows, std::size_t k, bool pre_standardized,
                         std::optional<VecView> weights, const FitOpts& fit_opts) {
    // The listed rows as the training half of a unit without test rows; its
    // weights are validated here, so that a list without weight fails as a
    // fit does.
    RowSplit unit{rows, {}, {}, {}};
    if (weights) {
        const Eigen::VectorXd gathered = col_row_subset(*weights, rows);
        VELTRA_TRY(norm, validate_and_normalize_weights(VecView::of(gathered), rows.size()));
        if (norm->weights) unit.w_train = SliceWeights::mean_one(std::move(*norm->weights));
    }
    const std::optional<VecView> wv = unit.w_train.w_view();
    const Eigen::VectorXd y_rows = col_row_subset(y, rows);
    if (pre_standardized) {
        const Eigen::MatrixXd x_rows = row_subset(x, rows);
        VELTRA_TRY(fit, pls1_fit_impl(MatView::of(x_rows), VecView::of(y_rows), k, wv, fit_opts));
        const auto p = to_index(x.cols);
        return RowsFit{std::move(*fit), Eigen::VectorXd::Zero(p), Eigen::VectorXd::Ones(p), 1.0};
    }
    // The fit weighs the rows itself: the block is standardised, not scaled.
    SplitBlocks xs = split_blocks(x, unit, {.row_factors = false});
    const Standardized1 ys = standardize1_mean_one(VecView::of(y_rows), unit.w_train.moment_view());
    VELTRA_TRY(fit, pls1_fit_impl(MatView::of(xs.train), VecView::of(ys.y_std), k, wv, fit_opts));
    return RowsFit{std::move(*fit), std::move(xs.mean), std::move(xs.scale), ys.scale};
}

WorkerOutcome subsample_draw(MatView x, VecView y, std::size_t k, std::size_t m,
                             bool pre_standardized, std::optional<VecView> weights,
                             ChaCha8Rng& rng) {
    const std::size_t n = x.rows;
    const SplitIdx split = subsample_indices(n, m, rng);
    std::vector<std::uint64_t> drawn(n);
    for (auto& row : drawn) row = random_range_usize(rng, 0, n);

    const FitOpts fit_opts = subsample_fit_opts(pre_standardized);
    auto sub = fit_rows(x, y, split.train, k, pre_standardized, weights, fit_opts);
    if (!sub) return failed_draw(sub.error());
    auto boot = fit_rows(x, y, drawn, k, pre_standardized, weights, fit_opts);
    if (!boot) return failed_draw(boot.error());

    WorkerOutcome out{WorkerOutcome::Kind::Row, {}};
    out.row.beta = sub->model.coef.array() * sub->y_scale / sub->x_scale.array();
    out.row.leverage = leverage_diag(MatView::of(boot->model.T));
    const Eigen::MatrixXd z =
        pre_standardized ? row_subset(x, split.test)
                         : standardize_apply_rows(x, split.test, VecView::of(sub->x_mean),
                                                  VecView::of(sub->x_scale));
    const Eigen::VectorXd pred =
        mat_vec(MatView::of(z), VecView::of(sub->model.coef), par_sequential);
    const Eigen::VectorXd y_test = col_row_subset(y, split.test);
    out.row.holdout_r = holdout_correlation(VecView::of(pred), VecView::of(y_test));
    return out;
}

Result<ConfirmatoryCI> pls1_subsample_inference_confirmatory(
    MatView x, VecView y, std::size_t k, const Pls1Model& full_fit, VecView leverages,
    const SubsampleOpts& opts, bool pre_standardized, std::optional<VecView> weights,
    ChaCha8Rng& rng) {
    VELTRA_CHECK(opts.validate());
    VELTRA_TRY(m, resolve_ci_m(x.rows, k, opts.m_rate));
    const auto draw = [&](std::size_t, ChaCha8Rng& unit_rng) {
        return subsample_draw(x, y, k, *m, pre_standardized, weights, unit_rng);
    };
    const std::vector<WorkerOutcome> outcomes =
        map_units_seeded(rng, opts.n_boot, draw_bytes(x.rows, x.cols, k), draw);
    return reduce_subsample_outcomes(outcomes, full_fit, leverages, opts, *m);
}

namespace {

using Rows = std::span<const ConfirmatoryWorkerRow* const>;

// Leverages pool drawn positions, not the rows drawn into them.
void leverage_intervals(Rows rows, VecView leverages, double z, ConfirmatoryCI& ci) {
    const auto n = to_index(leverages.size());
    ci.leverage_ci_lower.resize(n);
    ci.leverage_ci_upper.resize(n);
    ci.leverage_se.resize(n);
    std::vector<double> values(rows.size());
    for (Eigen::Index i = 0; i < n; ++i) {
        for (std::size_t b = 0; b < rows.size(); ++b) values[b] = rows[b]->leverage[i];
        const double sd = sample_sd(without_nan(values));
        const double at = leverages[static_cast<std::size_t>(i)];
        ci.leverage_ci_lower[i] = std::clamp(at - z * sd, 0.0, 1.0);
        ci.leverage_ci_upper[i] = std::clamp(at + z * sd, 0.0, 1.0);
        ci.leverage_se[i] = sd;
    }
}

// The subsample coefficients shrink towards zero; the factor c in [0, 1]
// estimates by how much from the coordinates whose spread is usable.
double shrinkage(const std::vector<std::vector<double>>& draws, const Eigen::VectorXd& b,
                 double level) {
    double A = 0.0, B = 0.0;
    for (std::size_t j = 0; j < draws.size(); ++j) {
        const double bj = b[to_index(j)];
        const double se1 = reduce_centered_scaled(draws[j], bj, 1.0, level).se;
        const double mean_j = mean_of(without_nan(draws[j]));
        if (std::isfinite(bj) && se1 > 0.0 && std::isfinite(se1) && std::isfinite(mean_j)) {
            A += (bj / se1) * (mean_j / se1);
            B += (bj / se1) * (bj / se1);
        }
    }
    if (!(B > 0.0)) return 1.0;
    const double q = A / B;
    return std::isfinite(q) ? std::clamp(q, 0.0, 1.0) : 1.0;
}

void beta_intervals(Rows rows, const Eigen::VectorXd& b, double level, std::size_t n,
                    std::size_t m, ConfirmatoryCI& ci) {
    const std::size_t p = static_cast<std::size_t>(b.size());
    std::vector<std::vector<double>> draws(p, std::vector<double>(rows.size()));
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t r = 0; r < rows.size(); ++r) draws[j][r] = rows[r]->beta[to_index(j)];
    const double c = shrinkage(draws, b, level);
    ci.beta_ci_lower = Eigen::VectorXd::Constant(to_index(p), -inf);
    ci.beta_ci_upper = Eigen::VectorXd::Constant(to_index(p), inf);
    ci.beta_se = Eigen::VectorXd::Constant(to_index(p), inf);
    if (c > 0.0) {
        const double scale = std::sqrt(static_cast<double>(m) / static_cast<double>(n - m));
        for (std::size_t j = 0; j < p; ++j) {
            for (double& v : draws[j]) v /= c;
            const CenteredInterval r = reduce_centered_scaled(draws[j], b[to_index(j)], scale, level);
            ci.beta_ci_lower[to_index(j)] = r.lower;
            ci.beta_ci_upper[to_index(j)] = r.upper;
            ci.beta_se[to_index(j)] = r.se;
        }
    }
    ci.beta_sign_z_signed.resize(to_index(p));
    for (std::size_t j = 0; j < p; ++j) {
        const double bj = b[to_index(j)], se = ci.beta_se[to_index(j)];
        ci.beta_sign_z_signed[to_index(j)] =
            !std::isfinite(bj) ? nan : bj == 0.0 ? 0.0 : se > 0.0 ? bj / se : nan;
    }
    ci.beta_sign_z = ci.beta_sign_z_signed.cwiseAbs();
}

CIScalar holdout_interval(Rows rows, std::size_t n, std::size_t m, double z) {
    std::vector<double> r_open, r_known;
    for (const auto* row : rows) {
        const double r = row->holdout_r;
        if (!std::isnan(r)) r_known.push_back(r);
        if (std::isfinite(r) && std::fabs(r) < 1.0) r_open.push_back(r);
    }
    if (!r_open.empty()) {
        const double count = static_cast<double>(r_open.size());
        std::vector<double> zs(r_open.size());
        std::transform(r_open.begin(), r_open.end(), zs.begin(), fisher_z_unclamped);
        const double se = std::sqrt(
            (static_cast<double>(n - m) / static_cast<double>(m) + 1.0 / count) * sample_var(zs));
        const double r_bar = mean_of(r_open);
        const double centre = fisher_z_unclamped(r_bar);
        return {r_bar, elementary::tanh(centre - z * se), elementary::tanh(centre + z * se), se};
    }
    if (!r_known.empty()) {
        const double mu = mean_of(r_known);
        return {mu, mu, mu, 0.0};
    }
    return {};
}

}  // namespace

Result<ConfirmatoryCI> reduce_subsample_outcomes(std::span<const WorkerOutcome> outcomes,
                                                 const Pls1Model& full_fit, VecView leverages,
                                                 const SubsampleOpts& opts, std::size_t m) {
    const std::uint64_t n_boot = outcomes.size();
    const double total = static_cast<double>(n_boot);
    std::vector<const ConfirmatoryWorkerRow*> rows;
    std::uint64_t skipped = 0, failed = 0, nan_r = 0;
    for (const WorkerOutcome& o : outcomes) {
        if (o.kind == WorkerOutcome::Kind::Skipped) ++skipped;
        if (o.kind == WorkerOutcome::Kind::Failed) ++failed;
        if (o.kind != WorkerOutcome::Kind::Row) continue;
        rows.push_back(&o.row);
        nan_r += std::isnan(o.row.holdout_r);
    }
    const double skip_rate = static_cast<double>(skipped) / total;
    if (skip_rate > opts.max_skip_rate)
        return fail(
            VeltraError::ResamplingDegenerate{skipped, n_boot, skip_rate, opts.max_skip_rate});
    const std::uint64_t w = skipped + failed, h = w + nan_r;
    if (static_cast<double>(h) / total > opts.max_failure_rate)
        return fail(VeltraError::ResampleFailureRateExceeded{
            opts.max_failure_rate, static_cast<double>(w) / total, static_cast<double>(h) / total,
            w, h, n_boot});

    const std::size_t n = leverages.size();
    const double z = standard_normal_inv(1.0 - (1.0 - opts.level) / 2.0);
    ConfirmatoryCI ci;
    ci.n_boot = opts.n_boot;
    ci.m = m;
    ci.m_rate = opts.m_rate;
    ci.level = opts.level;
    ci.n_boot_finite = n_boot - w;
    ci.n_boot_finite_holdout_corr = n_boot - h;
    leverage_intervals(rows, leverages, z, ci);
    beta_intervals(rows, full_fit.beta, opts.level, n, m, ci);
    ci.holdout_corr = holdout_interval(rows, n, m, z);
    return ci;
}

CenteredInterval reduce_centered_scaled(std::span<const double> values, double est, double scale,
                                        double level) {
    internal_check(!std::isnan(level), "reduce_centered_scaled: level is NaN");
    std::vector<double> d = without_nan(values);
    if (d.empty()) return {est, est, est, 0.0};
    for (double& v : d) v -= est;
    std::sort(d.begin(), d.end());
    const std::size_t last = d.size() - 1;
    const double a = std::clamp((1.0 - level) / 2.0, 0.0, 1.0);
    // Type-7 sample quantile: linear between order statistics.
    const auto quantile = [&](double t) {
        const double h = t * static_cast<double>(last);
        const auto lo = static_cast<std::size_t>(std::floor(h));
        return d[lo] + (h - static_cast<double>(lo)) * (d[std::min(lo + 1, last)] - d[lo]);
    };
    return {est, est - scale * quantile(1.0 - a), est - scale * quantile(a), scale * sample_sd(d)};
}

}  // namespace veltra::resample
