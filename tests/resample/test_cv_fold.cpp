#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/resample/cv_fold.hpp"

using namespace veltra;
using namespace veltra::resample;
using test_support::view;
namespace ref = pls_reference;

namespace {

// k folds over n rows, row i in fold i mod k.
std::vector<std::vector<std::size_t>> folds_of(std::size_t n, std::size_t k) {
    std::vector<std::vector<std::size_t>> folds(k);
    for (std::size_t i = 0; i < n; ++i) folds[i % k].push_back(i);
    return folds;
}

}  // namespace

TEST(CvFold, ExactRefitEqualsAFreshFitOnTheTrainingRows) {
    const auto d = ref::latent_data(60, 25, 5);
    const auto folds = folds_of(60, 4);
    const auto wl = ref::positive_weights(60, 9);
    const Eigen::VectorXd w = Eigen::Map<const Eigen::VectorXd>(wl.data(), 60);
    for (const bool weighted : {false, true})
        for (std::size_t f = 0; f < folds.size(); ++f) {
            const auto wv = weighted ? std::optional(view(w)) : std::nullopt;
            const auto fold = prepare_cv_fold(view(d.x), folds, f, wv);
            const auto c = cv_fold_contribution(*fold, view(d.y), 2, std::nullopt);
            ASSERT_TRUE(c.has_value());
            // pls1_fit on the training rows with their own weights, scored on
            // the test rows in the fold's scale of y.
            const auto rows = Eigen::Map<const Eigen::Array<std::uint64_t, -1, 1>>(
                                  fold->train.data(), Eigen::Index(fold->train.size()))
                                  .cast<Eigen::Index>();
            const Eigen::MatrixXd xt = d.x(rows, Eigen::all);
            const Eigen::VectorXd yt = d.y(rows), wt = w(rows);
            const auto model = pls1_fit(view(xt), view(yt), 2,
                                        weighted ? std::optional(view(wt)) : std::nullopt, {});
            const CvTargets t = cv_fold_targets(*fold, view(d.y));
            double ss = 0.0;
            for (const std::size_t i : fold->test) {
                const double pred = d.x.row(Eigen::Index(i)).dot(model->beta) + model->intercept;
                ss += std::pow((pred - d.y[Eigen::Index(i)]) / t.scale, 2);
            }
            EXPECT_NEAR(c->ss_res, ss, 1e-10 * ss);
            EXPECT_NEAR(c->ss_tot, (t.test.array() - t.test.mean()).square().sum(),
                        1e-12 * c->ss_tot);
        }
}

TEST(CvFold, WeightEdgeCasesAndFailures) {
    const auto d = ref::latent_data(12, 6, 7);
    const auto folds = folds_of(12, 11);  // fold 1 tests row 1 alone
    // Weights uniform on the training rows run exactly unweighted.
    Eigen::VectorXd w = Eigen::VectorXd::Constant(12, 3.0);
    w[1] = 0.5;
    const auto plain = prepare_cv_fold(view(d.x), folds, 1, std::nullopt);
    const auto uniform = prepare_cv_fold(view(d.x), folds, 1, view(w));
    EXPECT_FALSE(uniform->w_train.w.has_value());
    EXPECT_TRUE(test_support::same_bits(plain->z_train, uniform->z_train));
    EXPECT_EQ(cv_fold_contribution(*plain, view(d.y), 1, std::nullopt)->ss_tot, 0.0);
    // Weights summing to zero on the training rows: no fit, never unweighted.
    const Eigen::VectorXd zero = Eigen::VectorXd::Unit(12, 1);
    const auto massless = prepare_cv_fold(view(d.x), folds, 1, view(zero));
    EXPECT_EQ(cv_fold_contribution(*massless, view(d.y), 1, std::nullopt).error().code(),
              "invalid_weights");
    // k above p is the column's own error.
    EXPECT_EQ(cv_fold_contribution(*plain, view(d.y), 7, std::nullopt).error().code(),
              "k_exceeds_max");
}

// The fold's row factors enter while its training rows are standardised;
// the block is the one standardised with the fold's weights and scaled
// afterwards, bit for bit, its norm that block's, and its test rows
// unweighted.
TEST(CvFold, BlocksAreTheWeightedStandardisationScaledAfterwards) {
    const auto d = ref::latent_data(30, 9, 12);
    const auto folds = folds_of(30, 3);
    const auto wl = ref::positive_weights(30, 13);
    const Eigen::VectorXd w = Eigen::Map<const Eigen::VectorXd>(wl.data(), 30);
    const auto fold = prepare_cv_fold(view(d.x), folds, 2, view(w));
    const Eigen::VectorXd w_tr = renormalize_mean_one(view(col_row_subset(view(w), fold->train)));
    const StandardizedFro tr = standardize_rows_fro(view(d.x), fold->train, view(w_tr));
    const Eigen::MatrixXd z_train = sqrt_col(view(w_tr)).asDiagonal() * tr.x_std;
    EXPECT_TRUE(test_support::same_bits(fold->z_train, z_train));
    EXPECT_TRUE(test_support::same_bits(
        fold->z_test,
        standardize_apply_rows(view(d.x), fold->test, view(tr.mean), view(tr.scale))));
    EXPECT_EQ(fold->fro, stable_norm(MatView::of(z_train)));
}

TEST(CvFold, ColumnsFittedTogetherAreEachColumnsOwnRefit) {
    // 40 columns (the response, permutations of it, a constant and a
    // non-finite one) on weighted, unweighted and massless folds, with and
    // without keep, k within and beyond p: every contribution, value or
    // error, is the one-column refit's, bit for bit.
    const auto d = ref::latent_data(45, 30, 11);
    const auto folds = folds_of(45, 5);
    const auto wl = ref::positive_weights(45, 3);
    Eigen::VectorXd w = Eigen::Map<const Eigen::VectorXd>(wl.data(), 45);
    // Weight only on the rows of fold 0 (most training rows weightless), and
    // only on the rows of fold 1 (its training rows massless).
    Eigen::VectorXd sparse_w = Eigen::VectorXd::Zero(45), massless_w = sparse_w;
    for (Eigen::Index i = 0; i < 45; i += 5) sparse_w[i] = 1.0, massless_w[i + 1] = 2.0;
    Eigen::MatrixXd cols(45, 40);
    for (Eigen::Index j = 0; j < 40; ++j)
        for (Eigen::Index i = 0; i < 45; ++i) cols(i, j) = d.y[(i * (2 * j + 1) + j) % 45];
    cols.col(7).setConstant(2.5);
    cols(3, 21) = std::nan("");
    for (const auto* weights :
         {static_cast<Eigen::VectorXd*>(nullptr), &w, &sparse_w, &massless_w})
        for (const std::optional<std::size_t> keep : {std::optional<std::size_t>{},
                                                      std::optional<std::size_t>{4}})
            for (const std::size_t k : {1, 3, 31}) {
                const auto wv = weights ? std::optional(view(*weights)) : std::nullopt;
                const auto fold = prepare_cv_fold(view(d.x), folds, 1, wv);
                ASSERT_TRUE(fold.has_value());
                const auto together = cv_fold_contributions(*fold, view(cols), k, keep);
                ASSERT_EQ(together.size(), 40u);
                for (Eigen::Index j = 0; j < 40; ++j) {
                    const Eigen::VectorXd col = cols.col(j);
                    const auto alone = cv_fold_contribution(*fold, view(col), k, keep);
                    const auto& got = together[std::size_t(j)];
                    ASSERT_EQ(got.has_value(), alone.has_value()) << j;
                    if (!alone) {
                        EXPECT_EQ(got.error().code(), alone.error().code());
                        continue;
                    }
                    EXPECT_TRUE(test_support::same_bits(got->ss_res, alone->ss_res) &&
                                test_support::same_bits(got->ss_tot, alone->ss_tot))
                        << "column " << j << " k " << k;
                }
            }
}
