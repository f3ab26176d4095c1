// The folds of the model-selection searches: their sizes and byte
// estimates, a fold's R^2 sums, and the weights of a fold's two halves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "select/select_test_support.hpp"
#include "veltra/select/cv_folds.hpp"

using namespace veltra;
using namespace veltra::select;
using namespace select_test;

TEST(CvFolds, SizesBytesAndFoldScores) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(3);
    const CvFolds folds = cv_folds(7, 3, rng);
    ASSERT_EQ(folds.size(), 3u);
    EXPECT_EQ(folds[0].size() * 100 + folds[1].size() * 10 + folds[2].size(), 322u);
    std::vector<std::size_t> rows = folds[0];
    for (const auto& f : {folds[1], folds[2]}) rows.insert(rows.end(), f.begin(), f.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, std::vector<std::size_t>({0, 1, 2, 3, 4, 5, 6}));

    struct Bytes { std::uint64_t p, k, v, want; };
    for (const Bytes b : {Bytes{1, 1, 1, 832}, Bytes{100, 3, 20, 39168},
                          Bytes{~0ULL, 1, 1, ~0ULL}, Bytes{1ULL << 61, 4, ~0ULL, ~0ULL}})
        EXPECT_EQ(cv_fold_bytes(b.p, b.k, b.v), b.want) << b.p;

    FoldData fold;
    fold.y_val = Eigen::VectorXd::Constant(3, 0.7);
    fold.val = {0, 1, 2};
    EXPECT_EQ(fold.ss_tot(), 0.0);
    EXPECT_EQ(fold.r2(Eigen::VectorXd::Constant(3, 5.0), fold.ss_tot()), 0.0);
    fold.y_val = Eigen::VectorXd(3);
    fold.y_val << 1.0, 2.0, 4.0;
    fold.w_val = Eigen::VectorXd(3);
    *fold.w_val << 1.5, 0.0, 1.5;  // ybar = 2.5, SS_tot = 1.5 (2.25 + 2.25)
    EXPECT_DOUBLE_EQ(fold.ss_tot(), 6.75);
    EXPECT_DOUBLE_EQ(fold.r2(Eigen::VectorXd::Constant(3, 2.5), 6.75), 0.0);
    fold.y_val[2] = 1.0;  // constant where the weight is
    EXPECT_EQ(fold.ss_tot(), 0.0);
    FoldData empty;
    EXPECT_TRUE(std::signbit(empty.ss_tot()));
}

TEST(CvFolds, ZeroWeightFoldsAreScoredUnweightedOrRefused) {
    const Design d = design(false);
    std::vector<double> w(60, 1.0);
    const CvFolds folds = {{0, 1, 2}, {3, 4, 5}, {}};
    for (std::size_t r : folds[0]) w[r] = 0.0;
    auto fold = prep_fold({MatView::of(d.x), VecView::of(d.y), wview(w)}, folds, 0);
    ASSERT_TRUE(fold.has_value());
    EXPECT_FALSE(fold->w_val.has_value());
    std::fill(w.begin() + 3, w.end(), 0.0);  // fold 0 trains on no weight at all
    w[0] = 1.0;
    const auto refused = prep_fold({MatView::of(d.x), VecView::of(d.y), wview(w)}, folds, 0);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(), "invalid weights: all_zero");
}
