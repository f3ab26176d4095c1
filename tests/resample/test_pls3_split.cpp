// The two-block split primitives against a long-double first pair, and the
// n-space route against the primal one on the same splits and permutations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/pls3_reference.hpp"
#include "veltra/resample/pls3_signal_test.hpp"
#include "veltra/resample/split_nb.hpp"

using namespace veltra;
using namespace pls3_test;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const std::vector<std::size_t> observed{0};

struct Draws {
    std::vector<SplitIdx> splits;
    std::vector<std::vector<std::uint64_t>> perms;
};

Draws draws(std::size_t n, std::size_t J, std::size_t B, std::uint64_t seed) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
    Draws d{*draw_splits(n, 1, J, rng), {}};
    for (std::size_t b = 0; b < B; ++b) d.perms.push_back(shuffled_rows(n, rng));
    return d;
}

// Test rows standardised with the training rows' moments, times w.
Eigen::VectorXd ref_scores(const Eigen::MatrixXd& m, const SplitIdx& s, const LMat& w) {
    Eigen::Matrix<long double, Eigen::Dynamic, 1> t(to_index(s.test.size()));
    t.setZero();
    const long double n_tr = s.train.size();
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
        long double mean = 0, var = 0;
        for (const auto r : s.train) mean += m(to_index(r), j) / n_tr;
        for (const auto r : s.train) var += std::pow(m(to_index(r), j) - mean, 2) / n_tr;
        for (Eigen::Index i = 0; i < t.size(); ++i)
            t[i] += (m(to_index(s.test[i]), j) - mean) / std::sqrt(var) * w(j, 0);
    }
    return t.cast<double>();
}

// Column 0 of m made to overflow on the split's first test row once
// standardised with its training rows.
Eigen::MatrixXd overflowing(Eigen::MatrixXd m, const SplitIdx& s) {
    for (std::size_t i = 0; i < s.train.size(); ++i) m(to_index(s.train[i]), 0) = (i % 2) * 1e-300;
    m(to_index(s.test[0]), 0) = 1e300;
    return m;
}

}  // namespace

TEST(Pls3Split, GuardedCorrelationLetsNanThroughAndFisherZClampsIt) {
    const Eigen::VectorXd a = Eigen::VectorXd::LinSpaced(5, 0, 4), flat = Eigen::VectorXd::Ones(5);
    Eigen::VectorXd nan = a;
    nan[2] = std::nan("");
    EXPECT_EQ(pearson_r_guarded(VecView{}, VecView{}), 0.0);
    EXPECT_EQ(pearson_r_guarded(VecView::of(flat), VecView::of(a)), 0.0);
    EXPECT_TRUE(std::isnan(pearson_r_guarded(VecView::of(nan), VecView::of(a))));
    EXPECT_NEAR(pls3_fisher_z(std::nan("")), std::atanh(-0.9999), 1e-12);
}

TEST(Pls3Split, PrimalZMatchesTheLongDoubleFirstPairAndPermutesYRows) {
    const Eigen::MatrixXd x = random_block(40, 7, 1), y = related_block(x, 3, 2);
    const Draws d = draws(40, 1, 2, 3);
    const SplitIdx& s = d.splits[0];
    const RefSvd ref = reference_svd(standardized(row_subset(MatView::of(x), s.train)),
                                     standardized(row_subset(MatView::of(y), s.train)));
    const Eigen::VectorXd tx = ref_scores(x, s, ref.U), ty = ref_scores(y, s, ref.V);
    const std::vector<std::size_t> cols{0, 2};
    const auto z = pls3_split_columns_z_primal(MatView::of(x), MatView::of(y), s, cols, d.perms, {});
    EXPECT_NEAR(std::tanh(z[0]), guarded_pearson(VecView::of(tx), VecView::of(ty)), 1e-12);
    const Eigen::MatrixXd y2 = row_subset(MatView::of(y), d.perms[1]);
    EXPECT_EQ(z[1], pls3_split_columns_z_primal(MatView::of(x), MatView::of(y2), s, observed, {}, {})[0]);
    const Eigen::MatrixXd y_big = overflowing(y, s);
    EXPECT_EQ(pls3_split_columns_z_primal(MatView::of(x), MatView::of(y_big), s, observed, {}, {})[0], 0.0);
}

TEST(Pls3Split, NspaceRouteAgreesWithThePrimalRouteDenseAndSparse) {
    const Eigen::MatrixXd x = random_block(24, 60, 7), y = related_block(x, 4, 8);
    const Draws d = draws(24, 6, 9, 9);
    const MatView xv = MatView::of(x), yv = MatView::of(y);
    for (const std::optional<std::uint64_t> keep_y : {std::optional<std::uint64_t>{}, {2}}) {
        const Pls3SplitSparse sparse{std::nullopt, keep_y, 100, 1e-8};
        const auto primal = pls3_split_zbars_columns_primal(xv, yv, d.splits, d.perms, sparse);
        const auto nspace = pls3_split_zbars_columns(xv, yv, d.splits, d.perms, sparse);
        ASSERT_EQ(nspace.size(), 10u);
        // The sparse alternations of both routes stop within tol of each other.
        for (std::size_t c = 0; c < 10; ++c) EXPECT_NEAR(nspace[c], primal[c], keep_y ? 1e-6 : 1e-12);
    }
    // Non-finite Gram entries leave the split to the primal route, which scores it 0.
    const Eigen::MatrixXd x_big = overflowing(x, d.splits[0]);
    for (const double z : pls3_split_zbars_columns(MatView::of(x_big), yv, {d.splits.data(), 1}, d.perms, {}))
        EXPECT_EQ(z, 0.0);
    // Sparse X weights run on the primal route only, and change the answer.
    const Pls3SplitSparse keep_x{3, std::nullopt, 100, 1e-8};
    EXPECT_NE(pls3_split_zbars_columns_primal(xv, yv, d.splits, d.perms, keep_x)[0],
              pls3_split_zbars_columns_primal(xv, yv, d.splits, d.perms, {})[0]);
}

TEST(Pls3Split, RestrictedSweepsOfTheSelectedSupport) {
    const Eigen::MatrixXd m = Eigen::Vector4d(4.0, 1.0, 3.0, 3.0).asDiagonal();
    EXPECT_EQ(restricted_sweeps(m, Eigen::Vector4d(1, 0, 0, 0)), 0.0);
    EXPECT_EQ(restricted_sweeps(m, Eigen::Vector4d(1, 1, 0, 0)), 4.0 / 3.0);
    EXPECT_EQ(restricted_sweeps(m, Eigen::Vector4d(0, 0, 1, 1)), inf);
    EXPECT_EQ(restricted_sweeps(-m, Eigen::Vector4d(1, 1, 1, 1)), inf);
}
