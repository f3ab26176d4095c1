#include "veltra/resample/confirmatory_test.hpp"

#include <string>
#include <utility>

#include <Eigen/Core>

#include "veltra/finite.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/resample/e_score.hpp"
#include "veltra/resample/gate.hpp"
#include "veltra/resample/signal_test.hpp"
#include "veltra/resample/split_nb.hpp"
#include "veltra/rng.hpp"
#include "veltra/settings.hpp"
#include "veltra/text.hpp"
#include "veltra/weights.hpp"

namespace veltra::resample {

namespace {

using M = ConfirmatoryMethod;

std::unexpected<VeltraError> invalid(std::string message) {
    return fail(VeltraError::InvalidArgument{std::move(message)});
}

// The counts of the requested method; score and e have none.
Result<void> check_counts(const ConfirmatoryArgs& t, std::size_t n) {
    switch (t.method) {
        case M::raw_perm:
            if (t.n_folds < 2)
                return invalid("n_folds must be ≥ 2, got " + format_count(t.n_folds));
            if (t.n_folds >= n)
                return invalid("n_folds must be < n (got n_folds=" + format_count(t.n_folds) +
                               ", n=" + format_count(n) + ")");
            if (t.n_perm == 0) return invalid("n_perm must be ≥ 1, got 0");
            return {};
        case M::split_nb:
            return check_n_splits(t.n_splits);
        case M::split_exact:
        case M::auto_:
            return check_split_exact_counts(t.n_perm, t.n_splits);
        case M::score:
        case M::e:
            return {};
    }
    internal_failure("unknown confirmatory method");
}

Result<SplitTestResult> from_pair(Result<PvalueStatistic> r) {
    if (!r) return std::unexpected(std::move(r).error());
    return SplitTestResult{r->pvalue, r->statistic, std::nullopt};
}
Result<SplitTestResult> from_pair(Result<PermTestResult> r) {
    if (!r) return std::unexpected(std::move(r).error());
    return SplitTestResult{r->pvalue, r->statistic, std::nullopt};
}

Result<SplitTestResult> run_method(const ConfirmatoryArgs& t, MatView x, VecView y, std::size_t k,
                                   std::optional<VecView> w, std::optional<std::size_t> keep,
                                   bool pre_standardized, ChaCha8Rng& rng) {
    switch (t.method) {
        case M::raw_perm:
            return from_pair(run_raw_perm(x, y, k, t.n_perm, t.n_folds, w, keep, rng));
        case M::split_nb:
            return run_split_nb(x, y, k, t.n_splits, w, keep, rng);
        case M::split_exact: {
            const SplitExactRoute route =
                split_exact_refit_route(x.rows, x.cols, t.n_perm, k, keep, w.has_value());
            if (route == SplitExactRoute::no_refit)
                return from_pair(run_split_perm_nr(x, y, k, t.n_perm, t.n_splits, w, keep, rng));
            return from_pair(run_split_perm(route, x, y, k, t.n_perm, t.n_splits, w, keep, rng));
        }
        case M::score:
            return from_pair(run_score(x, y, w, pre_standardized));
        case M::e:
            return from_pair(run_e(x, y, k, w, keep, rng));
        case M::auto_:
            return fail(VeltraError::Internal{"test_method='auto' reached dispatch unresolved"});
    }
    internal_failure("unknown confirmatory method");
}

}  // namespace

Result<ConfirmatoryTestOutput> confirmatory_test_impl(MatView x, VecView y, std::size_t k,
                                                      std::optional<VecView> weights,
                                                      const ConfirmatoryOpts& opts,
                                                      bool already_resolved) {
    const std::size_t n = x.rows, p = x.cols;
    if (y.size() != n) return fail(VeltraError::DimensionMismatch{y.size(), n, p});
    VELTRA_CHECK(check_finite_mat(x));
    VELTRA_CHECK(check_finite_mat(MatView{y.data, n, 1, y.stride, 0}));  // y as one column
    VELTRA_CHECK(check_counts(opts.test, n));
    if (k == 0) return invalid("k must be >= 1");
    if (k > p) return fail(VeltraError::KExceedsMax{k, p});
    VELTRA_TRY(norm, validate_weights_for_k(weights, n, k));
    const std::optional<VecView> w =
        norm->weights ? std::optional<VecView>(VecView::of(*norm->weights)) : std::nullopt;
    if (opts.keep) {
        VELTRA_CHECK(validate_keep(*opts.keep, p));
        if (opts.ci)
            return invalid(
                "keep does not combine with ci: per-coordinate subsample CIs under selection are "
                "post-selection inference, which veltra does not implement");
    }
    if (opts.ci) {
        VELTRA_CHECK(opts.ci->validate());
        VELTRA_CHECK(resolve_ci_m(n, k, opts.ci->m_rate));
    }

    // The gate sees X and the weights only, never y.
    const ResolvedMethod resolved =
        already_resolved ? ResolvedMethod{opts.test, std::nullopt}
                         : resolve_method(opts.test, x, w, norm->n_eff, k == 1 && !opts.keep);
    VELTRA_TRY(seeded, resolve_seed(opts.seed));
    const ConfirmatoryArgs& t = resolved.test;
    VELTRA_TRY(tested, run_method(t, x, y, k, w, opts.keep, opts.pre_standardized, seeded->rng));

    ConfirmatoryTestOutput out;
    out.pvalue = tested->pvalue;
    out.statistic = tested->statistic;
    out.test_method = std::string(method_name(t.method));
    out.k = k;
    if (t.method == M::raw_perm || t.method == M::split_exact) out.n_perm = t.n_perm;
    if (t.method == M::split_nb || t.method == M::split_exact) out.n_splits = t.n_splits;
    out.seed = seeded->seed;
    out.n_eff = norm->n_eff;
    out.rho_hat = tested->rho_hat;  // split_nb's only
    out.stable_rank = resolved.stable_rank;

    if (opts.ci) {
        ChaCha8Rng ci_rng = ChaCha8Rng::seed_from_u64(seeded->rng.next_u64());
        FitOpts fit_opts;
        fit_opts.pre_standardized = opts.pre_standardized;
        fit_opts.strict = true;
        VELTRA_TRY(fit, pls1_fit_impl(x, y, k, weights, fit_opts));
        const Eigen::VectorXd leverages = leverage_diag(MatView::of(fit->T));
        VELTRA_TRY(ci, pls1_subsample_inference_confirmatory(x, y, k, *fit, VecView::of(leverages),
                                                             *opts.ci, opts.pre_standardized, w,
                                                             ci_rng));
        out.ci = std::move(*ci);
    }
    return out;
}

Result<ConfirmatoryTestOutput> pls1_confirmatory_test(MatView x, VecView y, std::size_t k,
                                                      std::optional<VecView> weights,
                                                      const ConfirmatoryOpts& opts) {
    return run_entry([&] { return confirmatory_test_impl(x, y, k, weights, opts, false); });
}

}  // namespace veltra::resample
