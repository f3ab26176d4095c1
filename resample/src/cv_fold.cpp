#include "veltra/resample/cv_fold.hpp"

#include "veltra/component_block.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/standardize.hpp"

namespace veltra::resample {

SplitIdx fold_rows(Folds folds, std::size_t f) {
    internal_check(f < folds.size(), "fold index beyond the folds");
    SplitIdx rows;
    rows.test.assign(folds[f].begin(), folds[f].end());
    for (std::size_t g = 0; g < folds.size(); ++g)
        if (g != f) rows.train.insert(rows.train.end(), folds[g].begin(), folds[g].end());
    return rows;
}

Result<CvFold> prepare_cv_fold(MatView x, Folds folds, std::size_t f,
                               std::optional<VecView> weights) {
    SplitIdx split = fold_rows(folds, f);
    RowSplit rows = row_split(split, weights, false);
    // A fold without effective training rows fails its columns; it is never
    // fitted as if unweighted.
    if (rows.massless())
        return CvFold{std::move(split.train), std::move(split.test), std::move(rows.w_train),
                      {}, {}, {}, {}, 0.0};
    // The row factors enter as the standardised values are written: the
    // same products, entry by entry, as scaling the finished block.
    SplitBlocks b = split_blocks(x, rows, {.row_factors = true, .norm_of_block = true});
    if (!b.all_finite()) return fail(VeltraError::NonFiniteInput{});
    return CvFold{std::move(split.train), std::move(split.test), std::move(rows.w_train),
                  std::move(b.train),     std::move(b.test),     std::move(b.mean),
                  std::move(b.scale),     b.fro};
}

CvTargets cv_fold_targets(const CvFold& fold, VecView column) {
    const Eigen::VectorXd y_tr = col_row_subset(column, fold.train);
    Standardized1 s = standardize1_mean_one(VecView::of(y_tr), fold.w_train.moment_view());
    Eigen::VectorXd test = col_row_subset(column, fold.test);
    for (Eigen::Index i = 0; i < test.size(); ++i) test[i] = (test[i] - s.mean) / s.scale;
    return {std::move(s.y_std), std::move(test), s.mean, s.scale};
}

CvContribution fold_sums(VecView prediction, VecView y_test) {
    const std::size_t t = y_test.len;
    CvContribution out{-0.0, -0.0};
    double sum = -0.0;
    for (std::size_t i = 0; i < t; ++i) sum += y_test[i];
    const double mean = sum / static_cast<double>(t);
    for (std::size_t i = 0; i < t; ++i) {
        const double r = prediction[i] - y_test[i], d = y_test[i] - mean;
        out.ss_res += r * r;
        out.ss_tot += d * d;
    }
    return out;
}

Result<CvContribution> cv_fold_contribution(const CvFold& fold, VecView column, std::size_t k,
                                            std::optional<std::size_t> keep) {
    if (fold.massless()) return fail(VeltraError::InvalidWeights{"all_zero"});
    CvTargets y = cv_fold_targets(fold, column);
    const auto p = static_cast<std::size_t>(fold.z_train.cols());
    VELTRA_CHECK(check_fit_y_and_k(p, VecView::of(y.train), k, keep));
    if (fold.w_train.root) y.train.array() *= fold.w_train.root->array();
    const PreparedFit fit = pls1_fit_prepared_fro(MatView::of(fold.z_train), VecView::of(y.train),
                                                  k, keep, fold.fro, par_sequential);
    const Eigen::VectorXd pred =
        mat_vec(MatView::of(fold.z_test), VecView::of(fit.coef), par_sequential);
    return fold_sums(VecView::of(pred), VecView::of(y.test));
}

std::vector<Result<CvContribution>> cv_fold_contributions(const CvFold& fold, MatView values,
                                                          std::size_t k,
                                                          std::optional<std::size_t> keep) {
    const std::size_t w = values.cols;
    std::vector<Result<CvContribution>> out;
    out.reserve(w);
    if (fold.massless()) {
        for (std::size_t i = 0; i < w; ++i)
            out.emplace_back(fail(VeltraError::InvalidWeights{"all_zero"}));
        return out;
    }
    const auto p = static_cast<std::size_t>(fold.z_train.cols());
    const auto m = to_index(fold.train.size());
    std::vector<CvTargets> targets;
    std::vector<std::size_t> fitted;
    Eigen::MatrixXd y_train(m, to_index(w));
    for (std::size_t i = 0; i < w; ++i) {
        targets.push_back(cv_fold_targets(fold, values.column(i)));
        CvTargets& y = targets.back();
        Result<void> checked = check_fit_y_and_k(p, VecView::of(y.train), k, keep);
        if (!checked) {
            out.emplace_back(std::unexpected(std::move(checked).error()));
            continue;
        }
        out.emplace_back(CvContribution{});
        if (fold.w_train.root) y.train.array() *= fold.w_train.root->array();
        y_train.col(to_index(fitted.size())) = y.train;
        fitted.push_back(i);
    }
    const MatView ys{y_train.data(), static_cast<std::size_t>(m), fitted.size(), 1, m};
    const Eigen::MatrixXd coef =
        pls1_coef_prepared_block(MatView::of(fold.z_train), ys, k, keep, fold.fro);
    const Eigen::MatrixXd pred = mat_vec_columns(MatView::of(fold.z_test), MatView::of(coef));
    for (std::size_t q = 0; q < fitted.size(); ++q)
        out[fitted[q]] = fold_sums(VecView{pred.col(to_index(q)).data(), fold.test.size(), 1},
                                   VecView::of(targets[fitted[q]].test));
    return out;
}

}  // namespace veltra::resample
