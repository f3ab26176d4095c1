#include "veltra/select/find_k.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "veltra/elementary.hpp"
#include "veltra/finite.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/select/cv_folds.hpp"
#include "veltra/settings.hpp"
#include "veltra/standardize.hpp"
#include "veltra/text.hpp"
#include "veltra/weights.hpp"

namespace veltra::select {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::optional<VecView> view_of(const std::optional<Eigen::VectorXd>& v) {
    if (!v) return std::nullopt;
    return VecView::of(*v);
}

bool all_finite(std::span<const Eigen::VectorXd> preds) {
    for (const auto& p : preds)
        if (!p.allFinite()) return false;
    return true;
}

// The fold's R^2 of each prediction, NaN for the columns beyond them.
std::vector<double> fold_r2(const FoldData& fold, std::span<const Eigen::VectorXd> preds,
                            std::size_t columns) {
    internal_check(preds.size() <= columns, "more predictions than candidates");
    const double ss_tot = fold.ss_tot();
    std::vector<double> scores(columns, nan);
    for (std::size_t c = 0; c < preds.size(); ++c) scores[c] = fold.r2(preds[c], ss_tot);
    return scores;
}

// The standardised validation block times each coefficient vector.
std::vector<Eigen::VectorXd> predict_blocks(const FoldBlocks& blocks,
                                            std::span<const Eigen::VectorXd> coefs) {
    std::vector<Eigen::VectorXd> preds;
    preds.reserve(coefs.size());
    for (const auto& c : coefs)
        preds.push_back(mat_vec(MatView::of(blocks.val), VecView::of(c), par_sequential));
    return preds;
}

// Whether the one-component fit on all rows finds a component; without one
// there is nothing to cross-validate.
Result<bool> has_component(const CvData& data, std::optional<std::size_t> keep) {
    FitOpts opts;
    opts.keep = keep;
    VELTRA_TRY(model, pls1_fit_impl(data.x, data.y, 1, data.weights, opts));
    return model->k_used > 0;
}

// Both searches from here on: folds drawn from rng, scored, aggregated.
Result<CvPick> cv_select(const CvData& data, std::size_t n_folds, ChaCha8Rng& rng,
                         std::span<const std::uint64_t> candidates, CvRule rule,
                         const FoldScorer& scorer) {
    const CvFolds folds = cv_folds(data.x.rows, n_folds, rng);
    VELTRA_TRY(scores, cv_fold_scores(data, folds, scorer));
    return aggregate_and_pick(*scores, candidates, rule);
}

}  // namespace

CvPick aggregate_and_pick(const std::vector<std::vector<double>>& fold_scores,
                          std::span<const std::uint64_t> candidates, CvRule rule) {
    internal_check(!candidates.empty(), "aggregate_and_pick: no candidates");
    CvPick out;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        std::vector<double> finite;
        for (const auto& fold : fold_scores) {
            internal_check(c < fold.size(), "aggregate_and_pick: a fold lacks a candidate");
            if (std::isfinite(fold[c])) finite.push_back(fold[c]);
        }
        double mean = nan, se = nan;
        if (!finite.empty()) {
            const auto m = static_cast<double>(finite.size());
            double sum = 0.0;
            for (double x : finite) sum += x;
            mean = sum / m;
            double ss = 0.0;
            for (double x : finite) ss += (x - mean) * (x - mean);
            const double var = ss / (finite.size() > 1 ? m - 1.0 : 1.0);
            se = std::sqrt(var) / std::sqrt(m);
        }
        out.mean[candidates[c]] = mean;
        out.se[candidates[c]] = se;
    }

    std::uint64_t best = candidates.front();
    double best_mean = nan;
    for (const auto& [key, mean] : out.mean) {
        if (!std::isfinite(mean)) continue;
        if (std::isnan(best_mean) || mean >= best_mean) {
            best = key;
            best_mean = mean;
        }
    }
    if (rule == CvRule::max_mean) {
        out.k_star = best;
        return out;
    }
    const auto se_best = out.se.find(best);
    const double threshold = best_mean - (se_best == out.se.end() ? 0.0 : se_best->second);
    out.k_star = candidates.front();
    for (const auto& [key, mean] : out.mean)
        if (std::isfinite(mean) && mean >= threshold) {
            out.k_star = key;
            break;
        }
    return out;
}

std::size_t cv_fold_count(std::size_t n, std::size_t n_folds) {
    const std::size_t room = n >= 2 ? n - 2 : 0;
    return std::max<std::size_t>(std::min(room, n_folds), 2);
}

Result<void> reject_cv_leave_one_out(std::size_t n, std::size_t requested, std::size_t capped) {
    if (capped < n) return {};
    return fail(VeltraError::InvalidArgument{
        "cross-validation needs n >= 3 (got n=" + format_count(n) + "): the fold count (requested " +
        format_count(requested) + ", capped at max(2, n - 2) = " + format_count(capped) +
        ") would make every validation fold a single row (leave-one-out)"});
}

Result<CvSelection> select_cv(MatView x, VecView y, std::size_t k_max, std::size_t n_folds,
                              CvRule rule, std::optional<VecView> weights,
                              std::optional<std::size_t> keep, ChaCha8Rng& rng) {
    const std::size_t n = x.rows, p = x.cols;
    const std::size_t f = cv_fold_count(n, n_folds);
    VELTRA_CHECK(reject_cv_leave_one_out(n, n_folds, f));
    const std::size_t room = n >= f + 2 ? n - (f + 2) : 0;
    const std::size_t k = std::max<std::size_t>(std::min(k_max, room), 1);
    std::vector<std::uint64_t> candidates(k);
    for (std::size_t c = 0; c < k; ++c) candidates[c] = c + 1;

    const CvData data{x, y, weights};
    VELTRA_TRY(found, has_component(data, keep));
    if (!*found)
        return CvSelection{0, {}, rule == CvRule::one_se ? std::optional<ScoreMap>(ScoreMap{})
                                                         : std::nullopt};

    // One fit of k components per fold scores every smaller count too.
    FoldScorer scorer;
    scorer.columns = k;
    scorer.k = k;
    scorer.fast = [&](const FoldData& fold) -> Result<std::vector<std::optional<double>>> {
        VELTRA_CHECK(check_fit_y_and_k(p, VecView::of(fold.y_train.y_std), k, keep));
        std::vector<std::optional<double>> out(k);
        const std::optional<PreparedFit> fit = fold.fast_fit(x, k, keep);
        if (!fit) return out;
        const auto coefs = sweep_coefs(fit->W, fit->P, fit->Q, fit->k_used);
        const auto preds = fold.predict_in_place(x, coefs, cv_par(n, p, k));
        if (!all_finite(preds)) return out;
        const std::vector<double> scores = fold_r2(fold, preds, k);
        for (std::size_t c = 0; c < k; ++c) out[c] = scores[c];
        return out;
    };
    scorer.exact = [&](const FoldData& fold,
                       std::span<const std::size_t> pending) -> Result<std::vector<double>> {
        const FoldBlocks blocks = fold.copy_blocks(x);
        VELTRA_TRY(model, fold.exact_fit(blocks, k, keep));
        const auto coefs = sweep_coefs(model->W, model->P, model->Q, model->k_used);
        const std::vector<double> scores = fold_r2(fold, predict_blocks(blocks, coefs), k);
        std::vector<double> out;
        for (std::size_t c : pending) out.push_back(scores[c]);
        return out;
    };
    VELTRA_TRY(pick, cv_select(data, f, rng, candidates, rule, scorer));
    CvSelection out{pick->k_star, std::move(pick->mean), std::nullopt};
    if (rule == CvRule::one_se) out.cv_scores_se = std::move(pick->se);
    return out;
}

Result<BicSelection> select_bic(MatView x, VecView y, std::size_t k_max,
                                std::optional<VecView> weights, std::optional<std::size_t> keep,
                                double n_eff) {
    FitOpts opts;
    opts.keep = keep;
    VELTRA_TRY(model, pls1_fit_impl(x, y, k_max, weights, opts));
    BicSelection out;
    if (model->k_used == 0) return out;

    // The response the fit saw: standardised with its weights, rows scaled
    // by their square roots like the scores T.
    const Standardized1 ys = standardize1_weighted(y, view_of(model->weights));
    Eigen::VectorXd r = ys.y_std;
    if (model->weights) r = r.cwiseProduct(sqrt_col(VecView::of(*model->weights)));
    internal_check(model->T.rows() == r.size() &&
                       model->T.cols() >= to_index(model->k_used) &&
                       model->Q.size() >= to_index(model->k_used),
                   "select_bic: the scores do not match the response");

    double best = std::numeric_limits<double>::infinity();
    out.k_star = 1;
    for (std::size_t k = 1; k <= model->k_used; ++k) {
        const double q = model->Q[to_index(k - 1)];
        double rss = 0.0;
        for (Eigen::Index i = 0; i < r.size(); ++i) {
            r[i] -= q * model->T(i, to_index(k - 1));
            rss += r[i] * r[i];
        }
        const double bic =
            n_eff * elementary::log(rss / n_eff) + static_cast<double>(k) * elementary::log(n_eff);
        out.bic_scores[k] = bic;
        if (!std::isnan(bic) && !(best <= bic)) {
            best = bic;
            out.k_star = k;
        }
    }
    return out;
}

std::vector<std::uint64_t> keep_grid(std::size_t p) {
    if (p < 2) return {p};
    std::vector<std::uint64_t> grid;
    for (std::uint64_t keep = 1; keep < p; keep *= 2) {
        grid.push_back(keep);
        if (keep > p / 2) break;  // the next power of two would not stay below p
    }
    grid.push_back(p);
    return grid;
}

namespace {

std::string grid_text(std::span<const std::uint64_t> grid) {
    std::string text = "[";
    for (std::size_t i = 0; i < grid.size(); ++i)
        text += (i == 0 ? "" : ", ") + format_count(grid[i]);
    return text + "]";
}

Result<FindKeepOptimalOutput> find_keep_optimal(MatView x, VecView y, std::size_t k,
                                                std::size_t n_folds,
                                                std::optional<std::uint64_t> seed, bool verbose,
                                                std::optional<VecView> weights) {
    const std::size_t n = x.rows, p = x.cols;
    if (y.len != n) return fail(VeltraError::DimensionMismatch{y.len, n, p});
    if (k == 0) return fail(VeltraError::InvalidArgument{"k must be >= 1"});
    if (k > p) return fail(VeltraError::KExceedsMax{k, p});
    VELTRA_CHECK(check_finite_mat(x, cv_par(n, p, 1)));
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(y[i])) return fail(VeltraError::NonFiniteInput{});
    VELTRA_TRY(norm, validate_weights_for_k(weights, n, k));
    VELTRA_TRY(resolved, resolve_seed(seed));

    FindKeepOptimalOutput out;
    out.k = k;
    out.keep_grid = keep_grid(p);
    out.seed = resolved->seed;
    out.n_eff = norm->n_eff;
    const std::vector<std::uint64_t>& grid = out.keep_grid;
    if (verbose) {
        const std::string line = "spls1_find_keep_optimal: sweeping keep grid " + grid_text(grid) +
                                 " at fixed k=" + format_count(k) + "\n";
        std::fputs(line.c_str(), stderr);
    }
    const std::size_t f = cv_fold_count(n, n_folds);
    VELTRA_CHECK(reject_cv_leave_one_out(n, n_folds, f));

    const CvData data{x, y, view_of(norm->weights)};
    VELTRA_TRY(found, has_component(data, std::nullopt));
    if (!*found) return out;

    // One fit per kept-feature count; each scores its own coefficients.
    FoldScorer scorer;
    scorer.columns = grid.size();
    scorer.k = k;
    scorer.fast = [&](const FoldData& fold) -> Result<std::vector<std::optional<double>>> {
        std::vector<std::optional<double>> out(grid.size());
        const double ss_tot = fold.ss_tot();
        for (std::size_t c = 0; c < grid.size(); ++c) {
            VELTRA_CHECK(check_fit_y_and_k(p, VecView::of(fold.y_train.y_std), k, grid[c]));
            const std::optional<PreparedFit> fit = fold.fast_fit(x, k, grid[c]);
            if (!fit) continue;
            const auto pred = fold.predict_in_place(x, std::span(&fit->coef, 1), cv_par(n, p, k));
            if (all_finite(pred)) out[c] = fold.r2(pred.front(), ss_tot);
        }
        return out;
    };
    scorer.exact = [&](const FoldData& fold,
                       std::span<const std::size_t> pending) -> Result<std::vector<double>> {
        const FoldBlocks blocks = fold.copy_blocks(x);
        const double ss_tot = fold.ss_tot();
        std::vector<double> out;
        for (std::size_t c : pending) {
            VELTRA_TRY(model, fold.exact_fit(blocks, k, grid[c]));
            out.push_back(fold.r2(predict_blocks(blocks, std::span(&model->coef, 1)).front(), ss_tot));
        }
        return out;
    };
    VELTRA_TRY(pick, cv_select(data, f, resolved->rng, grid, CvRule::one_se, scorer));
    out.keep_star = pick->k_star;
    out.cv_scores = std::move(pick->mean);
    out.cv_scores_se = std::move(pick->se);
    return out;
}

}  // namespace

Result<FindKeepOptimalOutput> spls1_find_keep_optimal(MatView x, VecView y, std::size_t k,
                                                      std::size_t n_folds,
                                                      std::optional<std::uint64_t> seed,
                                                      bool verbose,
                                                      std::optional<VecView> weights) {
    return run_entry([&] { return find_keep_optimal(x, y, k, n_folds, seed, verbose, weights); });
}

}  // namespace veltra::select
