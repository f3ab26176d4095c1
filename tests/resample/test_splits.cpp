// The split toolkit: split draws and sizes, and the prepared split a refit
// reads.
#include <gtest/gtest.h>

#include "engine/test_support.hpp"
#include "resample/resample_test_support.hpp"
#include "veltra/resample/splits.hpp"

using namespace veltra;
using namespace veltra::resample;
using resample_test::random_matrix;

TEST(Splits, DrawsRefuseSmallNAndSizeTheHalves) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1), fresh = ChaCha8Rng::seed_from_u64(1);
    const auto small = draw_splits(6, 2, 10, rng);
    ASSERT_FALSE(small.has_value());
    EXPECT_EQ(small.error().as<VeltraError::InvalidArgument>().message, "n=6 too small for k=2 under split methods (need n ≥ k+5)");
    EXPECT_EQ(rng.next_u64(), fresh.next_u64());  // nothing drawn
    struct Case { std::size_t n, k, m; };
    for (const Case c : {Case{7, 2, 4}, Case{100, 1, 50}, Case{11, 3, 5}, Case{8, 1, 4}}) {
        const auto splits = draw_splits(c.n, c.k, 3, rng);
        ASSERT_TRUE(splits.has_value());
        EXPECT_EQ((*splits)[2].train.size(), c.m) << c.n;
        EXPECT_EQ((*splits)[2].test.size(), c.n - c.m) << c.n;
    }
}

// A split's blocks are its rows standardised with the training half's
// weights and times each half's row factors, bit for bit, and a training
// half without weight leaves nothing to fit.
TEST(Splits, PreparedSplitIsTheWeightedStandardisationWithRowFactors) {
    const Eigen::MatrixXd x = random_matrix(30, 7, 4);
    const Eigen::VectorXd w = Eigen::VectorXd::LinSpaced(30, 0.2, 3.0);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(5);
    const SplitIdx split = one_split(30, 15, rng);
    const PreparedSplit s = prepare_split(MatView::of(x), split, VecView::of(w));
    const auto slice = [&](RowList rows) {
        return renormalize_mean_one(VecView::of(col_row_subset(VecView::of(w), rows)));
    };
    const Eigen::VectorXd w_tr = slice(split.train), w_te = slice(split.test);
    const Eigen::VectorXd r_tr = sqrt_col(VecView::of(w_tr)), r_te = sqrt_col(VecView::of(w_te));
    const StandardizedFro tr = standardize_rows_fro(MatView::of(x), split.train, VecView::of(w_tr),
                                                    VecView::of(r_tr));
    EXPECT_TRUE(test_support::same_bits(s.train, tr.x_std));
    EXPECT_EQ(s.fro, tr.fro);
    EXPECT_TRUE(test_support::same_bits(
        s.test, standardize_apply_rows(MatView::of(x), split.test, VecView::of(tr.mean),
                                       VecView::of(tr.scale), VecView::of(r_te))));
    EXPECT_TRUE(s.fittable());
    Eigen::VectorXd none = w;
    for (const std::uint64_t i : split.train) none[Eigen::Index(i)] = 0.0;
    EXPECT_FALSE(prepare_split(MatView::of(x), split, VecView::of(none)).fittable());
}
