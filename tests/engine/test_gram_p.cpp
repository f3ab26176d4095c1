#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <optional>
#include <random>
#include <vector>

#include <Eigen/Eigenvalues>

#include "engine/pls_reference.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/gram_p.hpp"
#include "veltra/standardize.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;
namespace ref = pls_reference;

namespace {

double spectral_norm(const Eigen::MatrixXd& g) {
    return Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(g).eigenvalues().cwiseAbs().maxCoeff();
}

struct Standardised {
    Eigen::MatrixXd x;
    Eigen::VectorXd y;
};

Standardised standardised(const ref::Data& d) {
    const FitX fx = fit_x_moments(view(d.x), std::nullopt, std::nullopt, par_sequential);
    return {fx.materialize(view(d.x)), standardize1_weighted(view(d.y)).y_std};
}

PreparedFit direct(const Eigen::MatrixXd& x, const Eigen::VectorXd& y, std::size_t k, double fro,
                   std::optional<std::size_t> keep = std::nullopt) {
    return pls1_fit_prepared_fro(view(x), view(y), k, keep, fro, par_sequential);
}

struct Tally {
    int certified = 0;
    int unresolved = 0;
};

// Every certified replicate against the direct refit on the same X and y:
// same component count, coefficients within the certified bound plus the
// direct refit's own rounding.
Tally check_replicates(const Eigen::MatrixXd& x, const Eigen::VectorXd& y, std::size_t k,
                       std::optional<std::size_t> keep, int replicates, unsigned seed) {
    const GramPBlock block(view(x), par_sequential, par_sequential);
    std::mt19937_64 gen(seed);
    std::vector<Eigen::Index> perm(std::size_t(y.size()));
    std::iota(perm.begin(), perm.end(), Eigen::Index{0});
    Tally tally;
    for (int rep = 0; rep < replicates; ++rep) {
        const Eigen::VectorXd yp = y(perm);
        std::shuffle(perm.begin(), perm.end(), gen);
        const auto gram = block.fit_replicate_full(view(yp), k, keep);
        const PreparedFit refit = direct(x, yp, k, block.x_fro, keep);
        if (!gram) {
            ++tally.unresolved;
            continue;
        }
        ++tally.certified;

        EXPECT_TRUE(gram->k_used == 0 || gram->k_used == k);
        EXPECT_EQ(gram->k_used, refit.k_used);
        if (gram->k_used != refit.k_used) continue;
        const double diff = (gram->coef - refit.coef).norm();
        // The certified bound is first order with generous factors; the
        // direct refit's own rounding is far inside it.
        const double direct_rounding = 1e-15 * (1.0 + refit.coef.norm());
        EXPECT_LE(diff, gram->coef_err + direct_rounding)
            << "replicate " << rep << " bound " << gram->coef_err;
        EXPECT_TRUE(std::isfinite(gram->coef_err));
        for (Eigen::Index j = 0; j < x.cols() && keep; ++j)
            EXPECT_EQ(gram->coef[j] == 0.0, refit.coef[j] == 0.0);
    }
    return tally;
}

}  // namespace

TEST(GramNormBound, BoundsTheSpectralNormWherePowerIterationFails) {
    // The uniform start vector is orthogonal to the top eigenvector
    // (1, -1, 0): a power iteration from it would report about 1, not 10.
    const Eigen::Vector3d u1 = Eigen::Vector3d(1, -1, 0) / std::sqrt(2.0);
    const Eigen::Vector3d u2 = Eigen::Vector3d(1, 1, 1) / std::sqrt(3.0);
    const Eigen::MatrixXd g = 10.0 * u1 * u1.transpose() + 1.0 * u2 * u2.transpose();
    const double c2 = c2_norm_estimate(view(g), std::sqrt(g.trace()));
    EXPECT_GE(c2, spectral_norm(g));
    EXPECT_LE(c2, g.trace() * (1 + 1e-15));

    // p = 1: the bound is G_11 itself, where a doubled estimate would give 2 G_11.
    Eigen::MatrixXd one(1, 1);
    one(0, 0) = 7.25;
    EXPECT_EQ(c2_norm_estimate(view(one), 3.0), 7.25);

    // A NaN row sum falls back on ||X||_F^2, and the other way round.
    Eigen::MatrixXd nan_g = g;
    nan_g(0, 1) = std::nan("");
    EXPECT_EQ(c2_norm_estimate(view(nan_g), 2.0), 4.0);
    EXPECT_EQ(c2_norm_estimate(view(g), std::nan("")), c2_norm_estimate(view(g), 1e9));
}

TEST(GramReplicates, AdversarialDataCertifyOnlyWhatHolds) {
    // Wide: more columns than rows.
    const auto wide = standardised(ref::latent_data(40, 60, 43));
    EXPECT_GT(check_replicates(wide.x, wide.y, 2, std::nullopt, 30, 3).certified, 0);
    // Collinear columns with k above the rank.
    auto s = standardised(ref::latent_data(120, 8, 47));
    s.x.col(5) = s.x.col(0) + s.x.col(1);
    s.x.col(6) = 2.0 * s.x.col(2);
    s.x.col(7) = s.x.col(3) - s.x.col(4);
    Eigen::MatrixXd rank2 = s.x;
    for (Eigen::Index j = 2; j < 8; ++j) rank2.col(j) = (j + 1.0) * s.x.col(0) - j * s.x.col(1);
    EXPECT_GT(check_replicates(s.x, s.y, 4, std::nullopt, 20, 4).certified, 0);
    // Rank 5 with k = 6, rank 2 with k = 3: the last component does not
    // exist, and a fit that stops early is never certified.
    EXPECT_EQ(check_replicates(s.x, s.y, 6, std::nullopt, 20, 8).certified, 0);
    EXPECT_EQ(check_replicates(rank2, s.y, 3, std::nullopt, 20, 5).certified, 0);

    // Near ties in the selection: columns 1 and 2 differ by rounding-sized
    // amounts, so deflated c entries nearly tie.
    auto t = standardised(ref::latent_data(150, 10, 53));
    t.x.col(2) = t.x.col(1) * (1 + 1e-12);
    t.x.col(4) = t.x.col(3) * (1 - 1e-13);
    EXPECT_GT(check_replicates(t.x, t.y, 3, std::size_t{3}, 40, 6).certified, 0);
    EXPECT_GT(check_replicates(t.x, t.y, 3, std::size_t{1}, 40, 7).unresolved, 0);
}

TEST(GramReplicates, EdgeCases) {
    const auto s = standardised(ref::latent_data(80, 6, 59));
    const GramPBlock block(view(s.x), par_sequential, par_parallel);

    // All-zero y: no component, a fit rather than none.
    const Eigen::VectorXd zero = Eigen::VectorXd::Zero(80);
    const auto z = block.fit_replicate_full(view(zero), 2, std::nullopt);
    ASSERT_TRUE(z);
    EXPECT_TRUE(z->k_used == 0 && z->coef == Eigen::VectorXd::Zero(6) && z->coef_err == 0.0);

    // Rank one with k = 2: the direct fit stops after one component, the
    // Gram route answers none.
    Eigen::MatrixXd rank1(80, 6);
    for (Eigen::Index j = 0; j < 6; ++j) rank1.col(j) = (j + 1.0) * s.x.col(0);
    const GramPBlock r1(view(rank1), par_sequential, par_parallel);
    EXPECT_FALSE(r1.fit_replicate_full(view(s.y), 2, std::nullopt));
    EXPECT_EQ(direct(rank1, s.y, 2, r1.x_fro).k_used, 1u);
    const auto k1 = r1.fit_replicate_full(view(s.y), 1, std::nullopt);
    EXPECT_TRUE(k1 && k1->k_used == 1);

    // tt below 1e-12 is never certified, although the direct loop takes it.
    const Eigen::MatrixXd tiny = s.x * 3e-8;
    const GramPBlock small(view(tiny), par_sequential, par_parallel);
    EXPECT_FALSE(small.fit_replicate_full(view(s.y), 1, std::nullopt));
    EXPECT_EQ(direct(tiny, s.y, 1, small.x_fro).k_used, 1u);
}

TEST(GramReplicates, SameBitsWithAndWithoutParallelism) {
    const auto s = standardised(ref::latent_data(3000, 60, 61));
    const GramPBlock seq(view(s.x), par_sequential, par_sequential);
    const GramPBlock par(view(s.x), par_parallel, par_parallel);
    const auto a = seq.fit_replicate_full(view(s.y), 4, std::nullopt);
    const auto b = par.fit_replicate_full(view(s.y), 4, std::nullopt);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(same_bits(a->coef, b->coef) && same_bits(a->coef_err, b->coef_err));
}
