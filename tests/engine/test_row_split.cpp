// The row split of a resampling unit: its weight slices, its blocks against
// a long-double weighted standardisation, the arithmetic options its callers
// keep their bits by, and its byte estimates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

// The one-pass products against long-double products of the blocks that
// split_blocks writes (the refit's): within the rounding bound the no-refit
// certification allows for two products of inner lengths m and p, on
// columns with huge means and a near-constant one, with weights and a
// zero weight, in every layout with the same bits (31 rows gather many
// columns at a time, 1101 rows one block of 8, which a row-major X hands
// over in place).
TEST(RowSplit, ProductsInOnePassAreThoseOfTheWrittenBlocks) {
    for (const Eigen::Index n : {31, 1101}) {
        const Eigen::Index p = 21, C = 3, m = n / 2, nt = n - m;  // blocks of 8, 8 and 5
        auto d = ref::latent_data(n, p, 8);
        d.x.col(4).array() += 1e9;
        d.x.col(9) = Eigen::VectorXd::Constant(n, 2.0) + 1e-15 * d.x.col(8);
        std::vector<std::uint64_t> order(static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = (i * 17 + 5) % order.size();
        const SplitIdx split{{order.begin(), order.begin() + m}, {order.begin() + m, order.end()}};
        Eigen::VectorXd w =
            (test_support::random_matrix(n, 1, 9).col(0).array().abs() + 0.1).matrix();
        w[Eigen::Index(split.train[3])] = 0.0;
        const Eigen::MatrixXd y = test_support::random_matrix(m, C, 10);
        for (const bool weighted : {false, true}) {
            const RowSplit rs =
                weighted ? row_split(split, view(w)) : row_split(split, std::nullopt);
            const SplitBlocks b = split_blocks(view(d.x), rs);
            using LMat = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
            const LMat tr = b.train.cast<long double>(), te = b.test.cast<long double>();
            const LMat want = te * (tr.transpose() * y.cast<long double>());
            const SplitProducts got = split_products(view(d.x), rs, y);
            const double eps = 0x1p-52, fro_tr = double(tr.norm()), fro_te = double(te.norm());
            for (Eigen::Index c = 0; c < C; ++c)
                for (Eigen::Index i = 0; i < nt; ++i)
                    EXPECT_LE(std::fabs(got.pred(i, c) - double(want(i, c))),
                              double(p + m + 4) * eps * fro_te * fro_tr * y.col(c).norm());
            EXPECT_NEAR(got.z_tr, fro_tr, 1e-13 * fro_tr);
            EXPECT_NEAR(got.z_te, fro_te, 1e-13 * fro_te);
            // What the weighted centring leaves of the training block's
            // columns (the rounding of a mean of 1e9 over the column's scale).
            const Eigen::VectorXd f = weighted ? *rs.w_train.root : Eigen::VectorXd::Ones(m);
            EXPECT_NEAR(got.residual, double((tr.transpose() * f.cast<long double>()).norm()),
                        double(m * m) * eps * fro_tr * f.norm());
            for (const auto layout : test_support::all_layouts) {
                const SplitProducts again =
                    split_products(test_support::store(d.x, layout).view, rs, y);
                EXPECT_TRUE(same_bits(again.pred, got.pred)) << n;
                EXPECT_TRUE(same_bits(again.z_te, got.z_te) && same_bits(again.z_tr, got.z_tr));
            }
        }
        // A non-finite entry, or x - mean out of range, leaves nothing to
        // vouch for.
        const RowSplit rs = row_split(split, std::nullopt);
        using lim = std::numeric_limits<double>;
        for (const double bad : {lim::infinity(), lim::max()}) {
            Eigen::MatrixXd x = d.x;
            x(Eigen::Index(split.test[2]), 6) = bad;
            x(Eigen::Index(split.train[0]), 6) = -1.7e308;
            EXPECT_TRUE(std::isnan(split_products(view(x), rs, y).z_te)) << bad;
        }
    }
    EXPECT_GE(split_products_bytes(16, 15, 3), 8 * (16 * 3 + 16 * 3 + 32 * 8));
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
