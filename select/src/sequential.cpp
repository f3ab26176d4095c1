#include "veltra/select/sequential.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/resample/confirmatory_test.hpp"
#include "veltra/resample/gate.hpp"
#include "veltra/rng.hpp"
#include "veltra/select/cv_folds.hpp"
#include "veltra/standardize.hpp"
#include "veltra/text.hpp"

namespace veltra::select {

using namespace veltra::resample;
namespace {

using M = ConfirmatoryMethod;

// The sequential raw_perm always cross-validates over this many folds.
constexpr std::uint64_t sequence_n_folds = 5;

// The standardised data that every component starts from again. A
// pre-standardised column-major X is read in place.
struct SequenceInputs {
    Eigen::MatrixXd z_owned;
    std::optional<MatView> z_borrowed;
    Eigen::VectorXd ys;

    MatView z() const { return z_borrowed ? *z_borrowed : MatView::of(z_owned); }
};

SequenceInputs sequence_inputs(MatView x, VecView y, std::optional<VecView> weights,
                               bool pre_standardized) {
    SequenceInputs in;
    if (!pre_standardized) {
        in.z_owned = std::move(standardize_weighted(x, weights).x_std);
        in.ys = std::move(standardize1_weighted(y, weights).y_std);
        return in;
    }
    if (x.is_col_major())
        in.z_borrowed = x;
    else
        in.z_owned = x.eigen();
    in.ys = y.eigen();
    return in;
}

struct Deflated {
    Eigen::MatrixXd x;
    Eigen::VectorXd y;
};

// Z and ys less the first k components of a fit on them. The scores come
// from rows scaled by sqrt(w), so their products are scaled back; rows of
// weight zero are left as they are.
Result<Deflated> deflate(const SequenceInputs& in, std::size_t k, std::optional<VecView> weights,
                         std::optional<std::size_t> keep) {
    FitOpts opts;
    opts.keep = keep;
    opts.pre_standardized = true;
    const MatView z = in.z();
    VELTRA_TRY(model, pls1_fit_impl(z, VecView::of(in.ys), k, weights, opts));
    Deflated out{z.eigen(), in.ys};
    if (model->k_used == 0) return out;
    const std::size_t n = z.rows, p = z.cols;
    const Par par = cv_par(n, p, model->k_used);
    const Eigen::MatrixXd m = mat_mul(MatView::of(model->T), MatView::of(model->P).transposed(), par);
    const Eigen::VectorXd v = mat_vec(MatView::of(model->T), VecView::of(model->Q), par);
    if (!model->weights) {
        out.x -= m;
        out.y -= v;
        return out;
    }
    const Eigen::VectorXd& w = *model->weights;
    Eigen::VectorXd s(w.size());
    for (Eigen::Index i = 0; i < w.size(); ++i) s[i] = w[i] > 0.0 ? 1.0 / std::sqrt(w[i]) : 0.0;
    out.x -= s.asDiagonal() * m;
    out.y -= s.cwiseProduct(v);
    return out;
}

}  // namespace

std::optional<SequentialKind> SequentialArgs::defaults_for(ConfirmatoryMethod method) {
    if (method == M::score) return std::nullopt;
    return SequentialKind{.method = method};
}

Result<void> check_raw_perm_rows(std::string_view label, std::size_t n) {
    if (n > sequence_n_folds) return {};
    const std::string f = format_count(sequence_n_folds);
    return fail(VeltraError::InvalidArgument{
        std::string(label) + " uses " + f + "-fold CV and needs n > " + f + " (got n=" +
        format_count(n) +
        "): with n_folds >= n every validation fold is a single row, so the pooled CV R² is "
        "undefined"});
}

Result<SequentialRun> run_incremental_sequence(MatView x, VecView y, std::size_t k_max,
                                               std::optional<VecView> weights,
                                               const SequentialArgs& args, double n_eff) {
    const std::size_t n = x.rows, p = x.cols;
    if (k_max > p) return fail(VeltraError::KExceedsMax{k_max, p});
    internal_check(args.method.method != M::score, "score has no sequential kind");
    if (args.method.method == M::raw_perm)
        VELTRA_CHECK(check_raw_perm_rows("test_method='raw_perm'", n));
    // The gate and the auto rule look at X once, before any test; the tests
    // then run the outcome as it stands.
    const ResolvedMethod resolved = resolve_method(args.method, x, weights, n_eff, !args.keep);
    VELTRA_TRY(seeded, resolve_seed(args.seed));

    SequentialRun run;
    run.stable_rank = resolved.stable_rank;
    run.test_method = std::string(method_name(resolved.test.method));
    run.seed = seeded->seed;
    run.pvalues = Eigen::VectorXd::Constant(to_index(k_max),
                                            std::numeric_limits<double>::quiet_NaN());

    ConfirmatoryOpts test_opts;
    test_opts.keep = args.keep;
    test_opts.test = resolved.test;
    if (test_opts.test.method == M::raw_perm) test_opts.test.n_folds = sequence_n_folds;
    test_opts.pre_standardized = true;

    const SequenceInputs in = sequence_inputs(x, y, weights, args.pre_standardized);
    for (std::size_t j = 1; j <= k_max; ++j) {
        std::optional<Deflated> deflated;
        if (j >= 2) {
            VELTRA_TRY(d, deflate(in, j - 1, weights, args.keep));
            deflated = std::move(*d);
        }
        const MatView xd = deflated ? MatView::of(deflated->x) : in.z();
        const VecView yd = deflated ? VecView::of(deflated->y) : VecView::of(in.ys);
        test_opts.seed = seeded->rng.next_u64();
        VELTRA_TRY(test, confirmatory_test_impl(xd, yd, 1, weights, test_opts, true));
        const double pv = test->pvalue;
        run.pvalues[to_index(j - 1)] = pv;
        if (pv < args.alpha) {
            run.found = true;
            run.k_star = j;
        }
        // A NaN p-value neither rejects nor stops the run.
        if (pv >= args.alpha && !args.continue_all) break;
    }
    return run;
}

}  // namespace veltra::select
