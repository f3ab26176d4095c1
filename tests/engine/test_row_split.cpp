// The row split of a resampling unit: its weight slices, its blocks against
// a long-double weighted standardisation, the arithmetic options its callers
// keep their bits by, and its byte estimates.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "veltra/linalg.hpp"
#include "veltra/row_split.hpp"

using namespace veltra;
using test_support::same_bits;
using test_support::view;
namespace ref = pls_reference;

namespace {

const SplitIdx split_of_12{{0, 3, 4, 7, 9, 10, 11}, {1, 2, 5, 6, 8}};

Eigen::VectorXd weights_12() {
    Eigen::VectorXd w(12);
    w << 0.5, 2.0, 1.0, 3.0, 0.25, 1.5, 0.75, 2.5, 1.0, 0.0, 4.0, 1.25;
    return w;
}

}  // namespace

TEST(RowSplit, SlicesAreMeanOneOrAbsentOrMassless) {
    const Eigen::VectorXd w = weights_12();
    const SliceWeights tr = slice_weights(view(w), split_of_12.train);
    long double sum = 0;
    for (const auto i : split_of_12.train) sum += w[Eigen::Index(i)];
    for (std::size_t i = 0; i < 7; ++i) {
        const long double want = w[Eigen::Index(split_of_12.train[i])] * 7.0L / sum;
        EXPECT_NEAR((*tr.w)[Eigen::Index(i)], double(want), 1e-15);
        EXPECT_EQ((*tr.root)[Eigen::Index(i)], std::sqrt((*tr.w)[Eigen::Index(i)]));
    }
    EXPECT_TRUE(same_bits(*tr.moments, renormalize_mean_one(view(*tr.w))));
    // Equal weights, an empty half and no weights run unweighted; a half
    // whose weights sum to zero is massless and has none to run with.
    const Eigen::VectorXd equal = Eigen::VectorXd::Constant(12, 3.0);
    EXPECT_FALSE(slice_weights(view(equal), split_of_12.train).w.has_value());
    EXPECT_FALSE(slice_weights(view(w), {}).w.has_value());
    EXPECT_FALSE(slice_weights(std::nullopt, split_of_12.train).w.has_value());
    Eigen::VectorXd zero_test = w;
    for (const auto i : split_of_12.test) zero_test[Eigen::Index(i)] = 0.0;
    const RowSplit rs = row_split(split_of_12, view(zero_test));
    EXPECT_TRUE(rs.massless() && rs.w_test.massless && !rs.w_test.w && !rs.w_train.massless);
    EXPECT_FALSE(row_split(split_of_12, view(zero_test), false).massless());
}

TEST(RowSplit, BlocksAreTheWeightedStandardisationTimesTheRowFactors) {
    const auto d = ref::latent_data(12, 5, 3);
    const Eigen::VectorXd w = weights_12();
    const RowSplit rs = row_split(split_of_12, view(w));
    for (const auto layout : test_support::all_layouts) {
        const auto stored = test_support::store(d.x, layout);
        const SplitBlocks b = split_blocks(stored.view, rs);
        long double fro = 0;
        for (Eigen::Index j = 0; j < 5; ++j) {
            long double mean = 0, ss = 0;
            for (Eigen::Index i = 0; i < 7; ++i)
                mean += (*rs.w_train.w)[i] * d.x(Eigen::Index(split_of_12.train[i]), j) / 7.0L;
            for (Eigen::Index i = 0; i < 7; ++i)
                ss += (*rs.w_train.w)[i] *
                      std::pow(d.x(Eigen::Index(split_of_12.train[i]), j) - mean, 2) / 7.0L;
            const long double sd = std::sqrt(ss);
            for (Eigen::Index i = 0; i < 7; ++i) {
                const long double z = std::sqrt((*rs.w_train.w)[i]) *
                                      (d.x(Eigen::Index(split_of_12.train[i]), j) - mean) / sd;
                EXPECT_NEAR(b.train(i, j), double(z), 1e-12);
                fro += z * z;
            }
            for (Eigen::Index i = 0; i < 5; ++i)
                EXPECT_NEAR(b.test(i, j),
                            double(std::sqrt((*rs.w_test.w)[i]) *
                                   (d.x(Eigen::Index(split_of_12.test[i]), j) - mean) / sd),
                            1e-12);
        }
        EXPECT_NEAR(b.fro, double(std::sqrt(fro)), 1e-12);
        EXPECT_TRUE(b.all_finite());
    }
}

// The options change where a step happens, never its products: row factors
// entered while standardising equal scaling the finished block, and the
// block's own norm agrees with the one the standardisation forms.
TEST(RowSplit, OptionsKeepTheArithmeticOfEachCaller) {
    const auto d = ref::latent_data(12, 9, 4);
    const Eigen::VectorXd w = weights_12();
    const RowSplit rs = row_split(split_of_12, view(w), false);
    const SplitBlocks plain = split_blocks(view(d.x), rs, {.row_factors = false});
    const SplitBlocks scaled = split_blocks(view(d.x), rs, {.norm_of_block = true});
    const Eigen::MatrixXd after = rs.w_train.root->asDiagonal() * plain.train;
    EXPECT_TRUE(same_bits(scaled.train, after));
    EXPECT_TRUE(same_bits(scaled.test, plain.test));  // the test half is unweighted
    EXPECT_EQ(scaled.fro, stable_norm(MatView::of(after)));
    EXPECT_NEAR(scaled.fro, split_blocks(view(d.x), rs).fro, 1e-13 * scaled.fro);
    // The targets: training y standardised with the moment weights times the
    // row factors, test y times its own.
    const RowSplit both = row_split(split_of_12, view(w));
    const Eigen::VectorXd y_tr = split_train_target(both.w_train, both.train, view(d.y));
    const Eigen::VectorXd y_te = split_test_target(both.w_test, both.test, view(d.y));
    for (Eigen::Index i = 0; i < 5; ++i)
        EXPECT_EQ(y_te[i], d.y[Eigen::Index(split_of_12.test[i])] * (*both.w_test.root)[i]);
    EXPECT_NEAR(y_tr.dot(*both.w_train.root), 0.0, 1e-13);  // weighted mean zero
    EXPECT_NEAR(y_tr.squaredNorm(), 7.0, 1e-12);            // weighted variance one
}

TEST(RowSplit, ByteEstimates) {
    // Blocks count rows rounded up to 8; a refit adds its six row vectors and
    // the component loop's work.
    EXPECT_EQ(split_blocks_bytes(7, 5, 3), 8 * 3 * 8 + 8 * 3 * 8);
    EXPECT_EQ(split_blocks_bytes(std::vector<SplitIdx>{split_of_12, {{1}, {}}}, 2), 256u);
    EXPECT_EQ(refit_bytes(20, 9, 4, 2),
              24 * 2 * 8 + 16 * 2 * 8 + 16 * 2 * 8 + prepared_fit_bytes(9, 4, 2));
    const std::vector<SplitIdx> one{split_of_12};
    EXPECT_EQ(split_refit_bytes(one, 4, 2, 3),
              prepared_split_bytes(one, 4) + 3 * refit_bytes(12, 7, 4, 2));
    EXPECT_EQ(refit_bytes(u64_max, 1, u64_max, 1), u64_max);
}
