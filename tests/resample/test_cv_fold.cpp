#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "veltra/fit.hpp"
#include "veltra/resample/cv_fold.hpp"

using namespace veltra;
using test_support::view;
namespace ref = pls_reference;

namespace {

// k folds over n rows, row i in fold i mod k.
std::vector<std::vector<std::size_t>> folds_of(std::size_t n, std::size_t k) {
    std::vector<std::vector<std::size_t>> folds(k);
    for (std::size_t i = 0; i < n; ++i) folds[i % k].push_back(i);
    return folds;
}

// SS_res of a fresh pls1_fit on the training rows, in the fold's scale.
double fresh_ss_res(const ref::Data& d, const CvFold& fold, const std::vector<double>* w,
                    std::size_t k, double scale) {
    Eigen::MatrixXd xt(Eigen::Index(fold.train.size()), d.x.cols());
    Eigen::VectorXd yt(xt.rows()), wt(xt.rows());
    for (std::size_t i = 0; i < fold.train.size(); ++i) {
        xt.row(Eigen::Index(i)) = d.x.row(Eigen::Index(fold.train[i]));
        yt[Eigen::Index(i)] = d.y[Eigen::Index(fold.train[i])];
        if (w) wt[Eigen::Index(i)] = (*w)[fold.train[i]];
    }
    const auto model =
        pls1_fit(view(xt), view(yt), k, w ? std::optional(view(wt)) : std::nullopt, FitOpts{});
    EXPECT_TRUE(model.has_value());
    double ss = 0.0;
    for (const std::size_t i : fold.test) {
        const double pred = d.x.row(Eigen::Index(i)).dot(model->beta) + model->intercept;
        const double r = (pred - d.y[Eigen::Index(i)]) / scale;
        ss += r * r;
    }
    return ss;
}

}  // namespace

TEST(CvFold, ExactRefitEqualsAFreshFitOnTheTrainingRows) {
    const auto d = ref::latent_data(60, 25, 5);
    const auto w = ref::positive_weights(60, 9);
    const auto folds = folds_of(60, 4);
    for (const std::vector<double>* weights : {static_cast<const std::vector<double>*>(nullptr), &w})
        for (std::size_t f = 0; f < folds.size(); ++f) {
            const Eigen::VectorXd wv = weights ? Eigen::Map<const Eigen::VectorXd>(w.data(), 60)
                                               : Eigen::VectorXd();
            const auto fold = prepare_cv_fold(view(d.x), folds, f,
                                              weights ? std::optional(view(wv)) : std::nullopt);
            ASSERT_TRUE(fold.has_value());
            const auto c = cv_fold_contribution(*fold, view(d.y), 2, std::nullopt);
            ASSERT_TRUE(c.has_value());
            const CvTargets t = cv_fold_targets(*fold, view(d.y));
            EXPECT_NEAR(c->ss_res, fresh_ss_res(d, *fold, weights, 2, t.scale),
                        1e-10 * c->ss_res);
            const double m = t.test.mean();
            EXPECT_NEAR(c->ss_tot, (t.test.array() - m).square().sum(), 1e-12 * c->ss_tot);
        }
}

TEST(CvFold, WeightEdgeCasesAndFailures) {
    const auto d = ref::latent_data(12, 6, 7);
    const auto folds = folds_of(12, 11);  // test folds of one or two rows
    // Weights uniform on the training rows run exactly unweighted.
    Eigen::VectorXd w = Eigen::VectorXd::Constant(12, 3.0);
    w[1] = 0.5;  // fold 1 tests row 1 alone
    const auto plain = prepare_cv_fold(view(d.x), folds, 1, std::nullopt);
    const auto uniform = prepare_cv_fold(view(d.x), folds, 1, view(w));
    ASSERT_TRUE(plain && uniform);
    EXPECT_FALSE(uniform->weights.has_value());
    EXPECT_TRUE(test_support::same_bits(plain->z_train, uniform->z_train));
    const auto c = cv_fold_contribution(*plain, view(d.y), 1, std::nullopt);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->ss_tot, 0.0);  // one test row

    // Weights summing to zero on the training rows: no fit, never unweighted.
    Eigen::VectorXd zero = Eigen::VectorXd::Zero(12);
    zero[1] = 1.0;
    const auto massless = prepare_cv_fold(view(d.x), folds, 1, view(zero));
    ASSERT_TRUE(massless.has_value());
    const auto failed = cv_fold_contribution(*massless, view(d.y), 1, std::nullopt);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().code(), "invalid_weights");

    // Non-finite data; k above p is the column's own error.
    Eigen::MatrixXd bad = d.x;
    bad(3, 2) = INFINITY;
    EXPECT_EQ(prepare_cv_fold(view(bad), folds, 0, std::nullopt).error().code(), "non_finite_input");
    EXPECT_EQ(cv_fold_contribution(*plain, view(d.y), 7, std::nullopt).error().code(), "k_exceeds_max");
}
