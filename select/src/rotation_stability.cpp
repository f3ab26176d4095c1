#include "veltra/select/rotation_stability.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "veltra/finite.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/procrustes/signed_permutation.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/settings.hpp"
#include "veltra/text.hpp"
#include "veltra/weights.hpp"

namespace veltra::select {

using namespace veltra::resample;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr int bootstrap_resamples = 1000;
constexpr std::size_t k_limit = 7;

std::unexpected<VeltraError> invalid(std::string message) {
    return fail(VeltraError::InvalidArgument{std::move(message)});
}

// Column j of the result is the squared distance between signs[j] times
// column perm[j] of a and column j of the reference, summed in row order.
Result<Eigen::VectorXd> aligned_sq_dev(const Eigen::MatrixXd& a, MatView reference) {
    const auto sp = procrustes::signed_permutation(MatView::of(a).eigen(), reference.eigen(), {});
    if (!sp) {
        if (sp.error().is<procrustes::ProcrustesError::NonFinite>())
            return fail(VeltraError::NonFiniteInput{});
        return fail(VeltraError::Internal{"procrustes alignment failed: " + sp.error().display()});
    }
    Eigen::VectorXd dev(a.cols());
    for (Eigen::Index j = 0; j < a.cols(); ++j) {
        const auto src = to_index(sp->perm[std::size_t(j)]);
        const double sign = sp->signs[std::size_t(j)];
        double s = 0.0;
        for (Eigen::Index i = 0; i < a.rows(); ++i) {
            const double d = sign * a(i, src) - reference(std::size_t(i), std::size_t(j));
            s += d * d;
        }
        dev[j] = s;
    }
    return dev;
}

// Peak bytes of one replicate of m of the n rows: its subsample copy (twice
// with weights), its gathered and validated weights, its refit on the m
// rows, and the row lists of its split of all n rows.
std::uint64_t replicate_bytes(std::uint64_t n, std::uint64_t m, std::uint64_t p, std::uint64_t k,
                              bool weighted) {
    const std::uint64_t copies = sat_mul(block_bytes(m, p), weighted ? 2 : 1);
    const std::uint64_t rows = sat_add(block_bytes(m, 2), block_bytes(n, 1));
    return sat_add(sat_add(copies, rows), refit_bytes(m, m, p, k));
}

double ratio_or_nan(double rot, double unrot) { return unrot == 0.0 ? nan : rot / unrot; }

// Axis totals add in axis order; Eigen's sum() may pair lanes instead.
double axis_total(const Eigen::VectorXd& v) {
    double s = 0.0;
    for (const double x : v) s += x;
    return s;
}

Result<RotationStabilityOutput> rotation_stability_impl(MatView x, VecView y, std::size_t k,
                                                        const VarimaxOpts& varimax,
                                                        std::optional<MatView> L,
                                                        std::optional<VecView> weights,
                                                        const RotationStabilityOpts& opts) {
    const std::size_t n = x.rows, p = x.cols;
    if (y.size() != n) return fail(VeltraError::DimensionMismatch{y.size(), n, p});
    if (k == 0) return invalid("k must be >= 1");
    if (k > p) return fail(VeltraError::KExceedsMax{k, p});
    if (k == 1)
        return invalid("k=1: rotation indeterminacy diagnostic is meaningless on a 1-D subspace");
    if (k > k_limit)
        return invalid("k>7 (" + format_count(k) +
                       "): signed-permutation enumeration is not tractable for k > 7 (2^k * k! "
                       "candidates per replicate). Use k <= 7, or reduce the subspace dimension "
                       "before calling this function.");
    if (L && L->cols != k)
        return fail(VeltraError::ShapeMismatch{"L.ncols=" + format_count(L->cols) +
                                               " but k=" + format_count(k)});
    const SubsampleOpts& sub = opts.subsample;
    VELTRA_CHECK((SubsampleOpts{sub.n_boot, sub.m_rate, sub.level, 1.0, 1.0}.validate()));
    VELTRA_CHECK(check_finite_mat(x, par_parallel));
    if (!y.eigen().allFinite()) return fail(VeltraError::NonFiniteInput{});
    VELTRA_TRY(norm, validate_weights_for_k(weights, n, k));
    VELTRA_TRY(resolved, resolve_seed(opts.seed));
    ChaCha8Rng& rng = resolved->rng;
    const std::optional<VecView> w =
        norm->weights ? std::optional<VecView>(VecView::of(*norm->weights)) : std::nullopt;

    FitOpts ref_opts;
    ref_opts.pre_standardized = opts.pre_standardized;
    ref_opts.strict = true;
    VELTRA_TRY(reference, pls1_fit_impl(x, y, k, w, ref_opts));
    const Eigen::MatrixXd& w_ref = reference->W;
    VELTRA_TRY(ref_rot, rotate(MatView::of(w_ref), varimax, L));
    VELTRA_TRY(m, resolve_subsample_m(n, k, sub.m_rate, "equals n"));

    const RotationReplicateData data{x,          y, w, *m, k, opts.pre_standardized,
                                     MatView::of(w_ref), MatView::of(ref_rot->W_rot), varimax, L};
    const std::vector<RotationStabilityWorkerRow> rows = map_units_seeded(
        rng, sub.n_boot, replicate_bytes(n, *m, p, k, w.has_value()),
        [&](std::size_t, ChaCha8Rng& unit_rng) {
            auto row = run_one_rotation_stability(data, unit_rng);
            if (row) return std::move(*row);
            const Eigen::VectorXd nans = Eigen::VectorXd::Constant(to_index(k), nan);
            return RotationStabilityWorkerRow{nans, nans};
        });
    const std::uint64_t bootstrap_seed = rng.next_u64();
    return reduce_variance_ratio(rows, k, sub.n_boot, *m, resolved->seed, bootstrap_seed,
                                 sub.m_rate, sub.level, norm->n_eff, sub.max_skip_rate);
}

}  // namespace

Result<RotationStabilityOutput> pls1_rotation_stability(MatView x, VecView y, std::size_t k,
                                                        const VarimaxOpts& varimax,
                                                        std::optional<MatView> L,
                                                        std::optional<VecView> weights,
                                                        const RotationStabilityOpts& opts) {
    return run_entry(
        [&] { return rotation_stability_impl(x, y, k, varimax, L, weights, opts); });
}

Result<Eigen::MatrixXd> fit_subsample(MatView x, VecView y, RowList rows, std::size_t k,
                                      std::optional<VecView> weights, bool pre_standardized) {
    // The rows are standardised over themselves and fitted as they stand,
    // strictly: a replicate that stops short of k components is a failed
    // replicate, never a row of another length.
    FitOpts opts;
    opts.pre_standardized = true;
    opts.strict = true;
    VELTRA_TRY(fit, fit_rows(x, y, rows, k, pre_standardized, weights, opts));
    return std::move(fit->model.W);
}

Result<RotationStabilityWorkerRow> run_one_rotation_stability(const RotationReplicateData& data,
                                                              ChaCha8Rng& rng) {
    const SplitIdx split = subsample_indices(data.x.rows, data.m, rng);
    VELTRA_TRY(w_b, fit_subsample(data.x, data.y, split.train, data.k, data.weights,
                                  data.pre_standardized));
    VELTRA_TRY(unrot, aligned_sq_dev(*w_b, data.w_ref));
    // The Procrustes turn first, so that varimax starts from the reference's
    // orientation and only the indeterminacy varimax leaves is measured.
    const Eigen::MatrixXd r_b = orthogonal_rotation(MatView::of(*w_b), data.w_ref);
    const Eigen::MatrixXd w_al = *w_b * r_b;
    VELTRA_TRY(w_al_rot, rotate(MatView::of(w_al), data.varimax, data.L));
    VELTRA_TRY(rot, aligned_sq_dev(w_al_rot->W_rot, data.w_ref_rot));
    return RotationStabilityWorkerRow{std::move(*unrot), std::move(*rot)};
}

Result<RotationStabilityOutput> reduce_variance_ratio(
    std::span<const RotationStabilityWorkerRow> rows, std::size_t k, std::uint64_t n_boot,
    std::uint64_t m, std::uint64_t seed, std::uint64_t bootstrap_seed, double m_rate,
    double level, double n_eff, double max_skip_rate) {
    const auto kk = to_index(k);
    std::vector<const RotationStabilityWorkerRow*> finite;
    finite.reserve(rows.size());
    for (const auto& r : rows) {
        internal_check(r.unrot.size() == kk && r.rot.size() == kk,
                       "reduce_variance_ratio: a replicate row does not have k entries");
        if (r.unrot.allFinite() && r.rot.allFinite()) finite.push_back(&r);
    }
    const std::size_t total = rows.size(), b_f = finite.size();
    const double skip_rate = double(total - b_f) / double(total);
    if (b_f == 0 || skip_rate > max_skip_rate)
        return fail(
            VeltraError::ResamplingDegenerate{total - b_f, total, skip_rate, max_skip_rate});

    // Per-axis means over the listed rows, summed in list order.
    const auto axis_means = [&](auto&& row_at, std::size_t count, Eigen::VectorXd& unrot,
                                Eigen::VectorXd& rot) {
        unrot.setZero(kk);
        rot.setZero(kk);
        for (std::size_t b = 0; b < count; ++b) {
            unrot += row_at(b).unrot;
            rot += row_at(b).rot;
        }
        unrot /= double(b_f);
        rot /= double(b_f);
    };

    RotationStabilityOutput out;
    axis_means([&](std::size_t b) -> const auto& { return *finite[b]; }, b_f,
               out.variance_unrot_per_axis, out.variance_rot_per_axis);
    out.variance_unrot = axis_total(out.variance_unrot_per_axis);
    out.variance_rot = axis_total(out.variance_rot_per_axis);

    std::vector<double> overall;
    std::vector<std::vector<double>> per_axis(k);
    if (out.variance_unrot == 0.0) {
        out.degenerate_baseline = true;
    } else {
        ChaCha8Rng boot = ChaCha8Rng::seed_from_u64(bootstrap_seed);
        overall.reserve(bootstrap_resamples);
        std::vector<std::size_t> drawn(b_f);
        Eigen::VectorXd unrot, rot;
        int skipped = 0;
        for (int r = 0; r < bootstrap_resamples; ++r) {
            for (auto& d : drawn) d = random_range_usize(boot, 0, b_f);
            axis_means([&](std::size_t b) -> const auto& { return *finite[drawn[b]]; }, b_f,
                       unrot, rot);
            const double unrot_total = axis_total(unrot);
            if (unrot_total > 0.0) overall.push_back(axis_total(rot) / unrot_total);
            else ++skipped;
            for (Eigen::Index j = 0; j < kk; ++j)
                if (unrot[j] > 0.0) per_axis[std::size_t(j)].push_back(rot[j] / unrot[j]);
        }
        out.degenerate_baseline = double(skipped) / bootstrap_resamples > 0.05;
    }

    const double alpha = 1.0 - level;
    out.variance_ratio = build_ciscalar_from_bootstrap(
        ratio_or_nan(out.variance_rot, out.variance_unrot), overall, alpha);
    for (Eigen::Index j = 0; j < kk; ++j)
        out.variance_ratio_per_axis.push_back(build_ciscalar_from_bootstrap(
            ratio_or_nan(out.variance_rot_per_axis[j], out.variance_unrot_per_axis[j]),
            per_axis[std::size_t(j)], alpha));
    out.n_boot = n_boot;
    out.m = m;
    out.m_rate = m_rate;
    out.level = level;
    out.seed = seed;
    out.n_boot_finite = b_f;
    out.n_eff = n_eff;
    return out;
}

CIScalar build_ciscalar_from_bootstrap(double point, std::span<double> samples, double alpha) {
    const std::size_t count = samples.size();
    if (count == 0) return {point, nan, nan, nan};
    if (count == 1) return {point, samples[0], samples[0], 0.0};
    // NaN first, then ascending: the ratios here are never NaN, and a NaN
    // would make the plain order comparison inconsistent.
    const auto nan_end = std::stable_partition(samples.begin(), samples.end(),
                                               [](double s) { return std::isnan(s); });
    std::stable_sort(nan_end, samples.end());
    const auto quantile = [&](double q) {
        const double h = std::clamp(q, 0.0, 1.0) * double(count - 1);
        const auto i = static_cast<std::size_t>(std::floor(h));
        return samples[i] + (h - double(i)) * (samples[std::min(i + 1, count - 1)] - samples[i]);
    };
    double sum = 0.0;
    for (const double s : samples) sum += s;
    const double mean = sum / double(count);
    double ss = 0.0;
    for (const double s : samples) ss += (s - mean) * (s - mean);
    return {point, quantile(alpha / 2.0), quantile(1.0 - alpha / 2.0),
            std::sqrt(ss / double(count - 1))};
}

}  // namespace veltra::select
