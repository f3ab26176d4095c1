#include "veltra/select/find_k_search.hpp"

#include <string>
#include <utility>

#include "veltra/fit.hpp"
#include "veltra/resample/confirmatory.hpp"
#include "veltra/resample/gate.hpp"
#include "veltra/rng.hpp"
#include "veltra/select/sequential.hpp"
#include "veltra/settings.hpp"
#include "veltra/weights.hpp"

namespace veltra::select {

using namespace veltra::resample;
namespace {

using M = ConfirmatoryMethod;

auto invalid(std::string text) {
    return fail(VeltraError::InvalidArgument{std::move(text)});
}

std::optional<VecView> view_of(const std::optional<Eigen::VectorXd>& v) {
    if (!v) return std::nullopt;
    return VecView::of(*v);
}

// The size checks that both searches make first.
Result<void> check_y_and_k_max(MatView x, VecView y, std::size_t k_max) {
    if (y.len != x.rows) return fail(VeltraError::DimensionMismatch{y.len, x.rows, x.cols});
    if (k_max == 0) return invalid("k_max must be >= 1");
    if (k_max > x.cols) return fail(VeltraError::KExceedsMax{k_max, x.cols});
    return {};
}

// keep = p is the dense search.
std::optional<std::size_t> sparse_keep(std::size_t keep, std::size_t p) {
    return keep < p ? std::optional<std::size_t>(keep) : std::nullopt;
}

// The sequential p-values of components 1 .. k_star, tested to the end.
Result<void> run_diagnostic(MatView x, VecView y, std::optional<VecView> weights, double n_eff,
                            std::optional<std::size_t> keep, const FindKOpts& opts,
                            ChaCha8Rng& rng, FindKOptimalOutput& out) {
    const ConfirmatoryArgs& test = *opts.diagnostic;
    if (out.k_star == 0) {
        const ResolvedMethod resolved = resolve_method(test, x, weights, n_eff, !keep);
        out.pvalues = Eigen::VectorXd();
        out.diagnostic = std::string(method_name(resolved.test.method));
        out.stable_rank = resolved.stable_rank;
        return {};
    }
    if (!SequentialArgs::defaults_for(test.method))
        return invalid(std::string(method_name(test.method)) + " has no sequential variant");

    SequentialArgs args;
    args.seed = rng.next_u64();
    args.keep = keep;
    args.method = test;
    args.alpha = 0.05;
    args.continue_all = true;
    args.pre_standardized = opts.pre_standardized;
    args.verbose = opts.verbose;
    VELTRA_TRY(run, run_incremental_sequence(x, y, out.k_star, weights, args, n_eff));
    out.pvalues = std::move(run->pvalues);
    out.diagnostic = std::move(run->test_method);
    out.stable_rank = run->stable_rank;
    return {};
}

Result<FindKOptimalOutput> find_k_optimal_impl(MatView x, VecView y, std::size_t k_max,
                                               std::optional<std::size_t> keep,
                                               std::optional<VecView> weights,
                                               const FindKOpts& opts) {
    const std::size_t n = x.rows;
    VELTRA_CHECK(check_y_and_k_max(x, y, k_max));
    const std::optional<ConfirmatoryMethod> diagnostic =
        opts.diagnostic ? std::optional(opts.diagnostic->method) : std::nullopt;
    if (diagnostic == M::auto_) return invalid("diagnostic does not accept 'auto'");
    if (diagnostic == M::score) return invalid("score has no sequential variant");
    if (diagnostic == M::raw_perm) VELTRA_CHECK(check_raw_perm_rows("diagnostic='raw_perm'", n));
    VELTRA_TRY(norm, validate_weights_for_k(weights, n, k_max));
    VELTRA_TRY(seeded, resolve_seed(opts.seed));
    const std::optional<VecView> w = view_of(norm->weights);

    FindKOptimalOutput out;
    out.selector = std::string(selector_name(opts.selector));
    out.seed = seeded->seed;
    out.n_eff = norm->n_eff;
    if (opts.selector == Selector::bic) {
        VELTRA_TRY(pick, select_bic(x, y, k_max, w, keep, norm->n_eff));
        out.k_star = pick->k_star;
        out.bic_scores = std::move(pick->bic_scores);
    } else {
        const CvRule rule = opts.selector == Selector::r2_se ? CvRule::one_se : CvRule::max_mean;
        VELTRA_TRY(pick, select_cv(x, y, k_max, opts.n_folds, rule, w, keep, seeded->rng));
        out.k_star = pick->k_star;
        out.cv_scores = std::move(pick->cv_scores);
        out.cv_scores_se = std::move(pick->cv_scores_se);
    }
    if (opts.diagnostic)
        VELTRA_CHECK(run_diagnostic(x, y, w, norm->n_eff, keep, opts, seeded->rng, out));
    return out;
}

Result<FindKSequenceOutput> find_k_sequence_impl(MatView x, VecView y, std::size_t k_max,
                                                 std::optional<std::size_t> keep,
                                                 std::optional<VecView> weights,
                                                 const FindKSequenceOpts& opts) {
    VELTRA_CHECK(check_y_and_k_max(x, y, k_max));
    VELTRA_TRY(norm, validate_weights_for_k(weights, x.rows, k_max));

    // The counts of raw_perm, split_nb and split_exact are checked by the
    // first component's test.
    const ConfirmatoryArgs& test = opts.test;
    if (test.method == M::score) return invalid("test_method='score' has no sequential variant");
    if (test.method == M::auto_) {
        VELTRA_CHECK(check_split_exact_counts(test.n_perm, test.n_splits));
        if (test.force) return invalid("force applies to test_method='split_nb' only, not 'auto'");
    }

    SequentialArgs args;
    args.seed = opts.seed;
    args.keep = keep;
    args.method = test;
    args.alpha = opts.alpha;
    args.pre_standardized = opts.pre_standardized;
    args.verbose = opts.verbose;
    VELTRA_TRY(run, run_incremental_sequence(x, y, k_max, view_of(norm->weights), args,
                                             norm->n_eff));
    FindKSequenceOutput out;
    out.k_star = run->found ? run->k_star : 0;
    out.pvalues = std::move(run->pvalues);
    out.test_method = std::move(run->test_method);
    out.alpha = opts.alpha;
    out.seed = run->seed;
    out.n_eff = norm->n_eff;
    out.stable_rank = run->stable_rank;
    return out;
}

}  // namespace

std::string_view selector_name(Selector selector) {
    switch (selector) {
        case Selector::r2_se: return "r2_se";
        case Selector::r2_max: return "r2_max";
        case Selector::bic: return "bic";
    }
    internal_failure("unknown selector");
}

Result<FindKOptimalOutput> pls1_find_k_optimal(MatView x, VecView y, std::size_t k_max,
                                               std::optional<VecView> weights,
                                               const FindKOpts& opts) {
    return run_entry([&] { return find_k_optimal_impl(x, y, k_max, std::nullopt, weights, opts); });
}

Result<FindKOptimalOutput> spls1_find_k_optimal(MatView x, VecView y, std::size_t k_max,
                                                std::size_t keep, std::optional<VecView> weights,
                                                const FindKOpts& opts) {
    return run_entry([&]() -> Result<FindKOptimalOutput> {
        VELTRA_CHECK(validate_keep(keep, x.cols));
        return find_k_optimal_impl(x, y, k_max, sparse_keep(keep, x.cols), weights, opts);
    });
}

Result<FindKSequenceOutput> pls1_find_k_sequence(MatView x, VecView y, std::size_t k_max,
                                                 std::optional<VecView> weights,
                                                 const FindKSequenceOpts& opts) {
    return run_entry(
        [&] { return find_k_sequence_impl(x, y, k_max, std::nullopt, weights, opts); });
}

Result<FindKSequenceOutput> spls1_find_k_sequence(MatView x, VecView y, std::size_t k_max,
                                                  std::size_t keep,
                                                  std::optional<VecView> weights,
                                                  const FindKSequenceOpts& opts) {
    return run_entry([&]() -> Result<FindKSequenceOutput> {
        VELTRA_CHECK(validate_keep(keep, x.cols));
        return find_k_sequence_impl(x, y, k_max, sparse_keep(keep, x.cols), weights, opts);
    });
}

}  // namespace veltra::select
