// Cross-validated, BIC and kept-feature choices against textbook refits per
// fold (long double).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "resample/resample_test_support.hpp"
#include "select/select_test_support.hpp"
#include "veltra/fit.hpp"
#include "veltra/select/find_k.hpp"

using namespace veltra;
using namespace veltra::select;
using namespace select_test;

TEST(AggregateAndPick, RulesOnTheWorkedExamples) {
    struct Case { std::vector<std::vector<double>> folds; std::vector<std::uint64_t> cand; CvRule rule; std::uint64_t want; };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {{{0.5, 0.6, 0.55}, {0.5, 0.6, 0.65}}, {1, 2, 3}, CvRule::max_mean, 3},
        {{{0.5, 0.6, 0.55}, {0.5, 0.6, 0.65}}, {1, 2, 3}, CvRule::one_se, 2},
        {{{0.3, 0.52, 0.55, 0.51}, {0.3, 0.52, 0.55, 0.61}}, {1, 2, 4, 8}, CvRule::one_se, 2},
        {{{nan, nan}, {nan, nan}}, {1, 2}, CvRule::one_se, 1},
        {{{nan, 0.2}, {nan, nan}}, {1, 2}, CvRule::max_mean, 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(aggregate_and_pick(c.folds, c.cand, c.rule).k_star, c.want);
    const CvPick pick = aggregate_and_pick(cases[0].folds, cases[0].cand, CvRule::one_se);
    EXPECT_NEAR(pick.se.at(3), 0.05, 1e-15);
    EXPECT_EQ(aggregate_and_pick(cases[4].folds, cases[4].cand, CvRule::one_se).se.at(2), 0.0);
    const CvPick none = aggregate_and_pick(cases[3].folds, cases[3].cand, CvRule::one_se);
    EXPECT_TRUE(std::isnan(none.mean.at(1)) && std::isnan(none.se.at(1)));
}

TEST(SelectCv, TenFoldScoresMatchTextbookRefitsPerFold) {
    struct Case { bool weighted; double offset; std::optional<std::size_t> keep; };
    for (const Case c : {Case{true, 0.0, {}}, Case{false, 0.0, 3}, Case{true, 1e7, {}}}) {
        Design d = design(c.weighted);
        d.x.col(2).array() += c.offset;  // mean far above the spread: the exact fold path
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(11), same = ChaCha8Rng::seed_from_u64(11);
        const auto sel = select_cv(MatView::of(d.x), VecView::of(d.y), 5, 10, CvRule::one_se,
                                   wview(d.w), c.keep, rng);
        ASSERT_TRUE(sel.has_value()) << sel.error().display();
        const CvFolds folds = cv_folds(60, 10, same);
        const auto fold = prep_fold({MatView::of(d.x), VecView::of(d.y), wview(d.w)}, folds, 0);
        EXPECT_EQ(fold->fast_fit(MatView::of(d.x), 5, c.keep).has_value(), c.offset == 0.0);
        std::vector<std::vector<long double>> per_k(5);
        for (std::size_t f = 0; f < 10; ++f) {
            const auto r2 = select_test::ref_fold_r2(d.x, d.y, d.w, folds, f, 5, c.keep);
            for (std::size_t k = 0; k < 5; ++k) per_k[k].push_back(r2.at(k));
        }
        ASSERT_EQ(sel->cv_scores.size(), 5u);
        for (std::uint64_t k = 1; k <= 5; ++k) {
            const auto ref = select_test::mean_se(per_k[k - 1]);
            EXPECT_NEAR(sel->cv_scores.at(k), static_cast<double>(ref.mean), 1e-9) << k;
            EXPECT_NEAR(sel->cv_scores_se->at(k), static_cast<double>(ref.se), 1e-9) << k;
        }
        EXPECT_EQ(sel->k_star, rule_pick(sel->cv_scores, &*sel->cv_scores_se));
    }
}

TEST(SelectCv, EdgeCounts) {
    const Eigen::MatrixXd x = resample_test::random_matrix(40, 4, 2);
    const Eigen::VectorXd y = x * Eigen::Vector4d(1.0, -2.0, 0.5, 3.0);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1);
    // n = 3 runs with 2 folds and the one candidate 1.
    const auto three = select_cv(MatView{x.data(), 3, 4, 1, 40}, VecView{y.data(), 3, 1}, 4, 5,
                                 CvRule::one_se, std::nullopt, std::nullopt, rng);
    EXPECT_EQ(three->cv_scores.size(), 1u);
    const Eigen::VectorXd flat = Eigen::VectorXd::Constant(40, 2.0);
    const auto none = select_cv(MatView::of(x), VecView::of(flat), 4, 5, CvRule::one_se,
                                std::nullopt, std::nullopt, rng);
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->k_star, 0u);
    EXPECT_TRUE(none->cv_scores.empty() && none->cv_scores_se->empty());
}

TEST(SelectBic, EqualsTheBicOfSeparateFitsOnEffectiveN) {
    const Design d = design(true);
    const Eigen::VectorXd w = Eigen::Map<const Eigen::VectorXd>(d.w->data(), 60);
    const double n_eff = w.sum() * w.sum() / w.squaredNorm();
    const auto bic = select_bic(MatView::of(d.x), VecView::of(d.y), 6, wview(d.w), {}, n_eff);
    ASSERT_TRUE(bic.has_value());
    ASSERT_EQ(bic->bic_scores.size(), 6u);
    const long double y_sd = pls_reference::standardize(d.x, d.y, d.w).y_sd;
    std::uint64_t argmin = 0;
    long double best = INFINITY;
    for (std::size_t k = 1; k <= 6; ++k) {
        const auto m = pls1_fit(MatView::of(d.x), VecView::of(d.y), k, wview(d.w), {});
        ASSERT_TRUE(m.has_value());
        long double rss = 0;
        for (Eigen::Index i = 0; i < 60; ++i) {
            const long double r = (d.y[i] - d.x.row(i).dot(m->beta) - m->intercept) / y_sd;
            rss += w[i] * 60 / w.sum() * r * r;
        }
        const long double ref = n_eff * std::log(rss / n_eff) + k * std::log((long double)n_eff);
        EXPECT_NEAR(bic->bic_scores.at(k), static_cast<double>(ref), 1e-9 * std::fabs(ref)) << k;
        if (ref < best) best = ref, argmin = k;
    }
    EXPECT_EQ(bic->k_star, argmin);
    // Two latent directions: the fit stops early; a constant y has no component.
    const Eigen::MatrixXd x = resample_test::random_matrix(30, 2, 4) *
                              resample_test::random_matrix(2, 5, 6);
    const Eigen::VectorXd y = x.col(0) - x.col(3);
    const auto short_fit = select_bic(MatView::of(x), VecView::of(y), 5, {}, {}, 30.0);
    ASSERT_TRUE(short_fit.has_value());
    EXPECT_LT(short_fit->bic_scores.size(), 5u);
    EXPECT_LE(short_fit->k_star, short_fit->bic_scores.size());
    const Eigen::VectorXd flat = Eigen::VectorXd::Constant(30, 1.0);
    const auto none = select_bic(MatView::of(x), VecView::of(flat), 3, {}, {}, 30.0);
    EXPECT_TRUE(none->k_star == 0 && none->bic_scores.empty());
}

TEST(KeepSearch, TenFoldScoresMatchTextbookSparseRefits) {
    EXPECT_EQ(keep_grid(1), std::vector<std::uint64_t>({1}));
    EXPECT_EQ(keep_grid(5), std::vector<std::uint64_t>({1, 2, 4, 5}));
    EXPECT_EQ(keep_grid(8), std::vector<std::uint64_t>({1, 2, 4, 8}));
    const Design d = design(true, 9);
    const auto out = spls1_find_keep_optimal(MatView::of(d.x), VecView::of(d.y), 2, 10, 21,
                                             false, wview(d.w));
    ASSERT_TRUE(out.has_value()) << out.error().display();
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(21);
    const CvFolds folds = cv_folds(60, 10, rng);
    for (std::uint64_t keep : out->keep_grid) {
        std::vector<long double> r2;
        for (std::size_t f = 0; f < 10; ++f)
            r2.push_back(select_test::ref_fold_r2(d.x, d.y, d.w, folds, f, 2, keep).back());
        const auto ref = select_test::mean_se(r2);
        EXPECT_NEAR(out->cv_scores.at(keep), static_cast<double>(ref.mean), 1e-9) << keep;
        EXPECT_NEAR(out->cv_scores_se.at(keep), static_cast<double>(ref.se), 1e-9) << keep;
    }
    EXPECT_EQ(out->keep_star, rule_pick(out->cv_scores, &out->cv_scores_se));
    EXPECT_EQ(out->seed, 21u);
}
