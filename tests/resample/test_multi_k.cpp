#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include <Eigen/Eigenvalues>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/resample/dual_route/multi_k.hpp"
#include "veltra/standardize.hpp"
#include "veltra/weights.hpp"

using namespace veltra;
using test_support::rel_diff;
using test_support::same_bits;
using test_support::view;
namespace ref = pls_reference;
using Kind = NspaceOutcome::Kind;

namespace {

// Standardised Z (rows times sqrt(w) when weighted) and response columns:
// y itself and shuffled copies.
struct Problem {
    Eigen::MatrixXd z, ys;
};

Problem problem(const ref::Data& d, int columns, const std::vector<double>* w = nullptr) {
    Problem out;
    std::optional<VecView> wv;
    Eigen::VectorXd wvec, mult;
    if (w) {
        wvec = Eigen::Map<const Eigen::VectorXd>(w->data(), Eigen::Index(w->size()));
        wv = view(wvec);
        mult = fit_row_scale(*wv);
    }
    out.z = standardize_weighted(view(d.x), wv).x_std;
    std::mt19937_64 gen(7);
    std::vector<Eigen::Index> perm(std::size_t(d.y.size()));
    std::iota(perm.begin(), perm.end(), Eigen::Index{0});
    out.ys.resize(d.y.size(), columns);
    for (int c = 0; c < columns; ++c) {
        const Eigen::VectorXd yp = d.y(perm);
        out.ys.col(c) = standardize1_weighted(view(yp), wv).y_std;
        std::shuffle(perm.begin(), perm.end(), gen);
    }
    if (w) {
        out.z = mult.asDiagonal() * out.z;
        out.ys = mult.asDiagonal() * out.ys;
    }
    return out;
}

// Certified columns against the direct refit; returns how many certified.
int check_certified(const Problem& pr, std::size_t k, double tol) {
    const NspaceGram g(view(pr.z), par_sequential);
    const auto outcomes = nspace_kernel_cols(g.view(), view(pr.ys), k);
    int certified = 0;
    for (Eigen::Index c = 0; c < pr.ys.cols(); ++c) {
        const NspaceOutcome& o = outcomes[std::size_t(c)];
        if (!o.is(Kind::Coefficients)) continue;
        ++certified;
        const Eigen::VectorXd y = pr.ys.col(c);
        const PreparedFit direct =
            pls1_fit_prepared_fro(view(pr.z), view(y), k, std::nullopt, g.fro_norm, par_sequential);
        EXPECT_EQ(direct.k_used, k);
        EXPECT_LT(rel_diff(Eigen::VectorXd(pr.z.transpose() * o.alpha), direct.coef), tol)
            << "column " << c << " k " << k;
    }
    return certified;
}

}  // namespace

TEST(NspaceKernel, CertifiedColumnsMatchTheDirectRefit) {
    const auto w = ref::positive_weights(40, 5);
    struct Case {
        const char* name;
        Problem pr;
        double tol;
        // Of 12 columns at every k = 1 .. 4; the allowance grows with each
        // step, so a well-fitted response may be refused at k = 4.
        int min_certified;
    };
    auto near = ref::latent_data(40, 300, 12, 3);
    std::mt19937_64 gen(3);
    std::normal_distribution<double> tiny(0.0, 1e-9);
    for (Eigen::Index i = 0; i < near.x.size(); ++i) near.x.data()[i] += tiny(gen);
    const Case cases[] = {
        {"random", problem(ref::latent_data(40, 300, 11, 6), 12), 1e-9, 9},
        {"near rank 3", problem(near, 12), 1e-6, 0},
        {"weighted", problem(ref::latent_data(40, 300, 13, 6), 12, &w), 1e-9, 9},
    };
    for (const Case& c : cases)
        for (std::size_t k = 1; k <= 4; ++k)
            EXPECT_GE(check_certified(c.pr, k, c.tol), c.min_certified) << c.name << " k " << k;
}

TEST(NspaceKernel, RefusesWhereTheTestsMust) {
    // Rank 2: a third component has only rounding left to fit.
    Problem rank2 = problem(ref::latent_data(30, 100, 21, 2), 6);
    for (Eigen::Index j = 0; j < rank2.z.cols(); ++j) rank2.z.col(j) = rank2.z.col(j % 2) * (1.0 + j);
    const NspaceGram g(view(rank2.z), par_sequential);
    EXPECT_EQ(check_certified(rank2, 2, 1e-8), 6);
    for (const auto& o : nspace_kernel_cols(g.view(), view(rank2.ys), 3))
        EXPECT_TRUE(o.is(Kind::Unresolved));

    // Zero, NaN, an orthogonal response, k = 0 and k >= n, a row mismatch.
    Eigen::MatrixXd ys = rank2.ys.leftCols(4);
    ys.col(1).setZero();
    ys(3, 2) = std::nan("");
    // Orthogonal to every column of Z: Z'y = 0 although y is not zero.
    const Eigen::MatrixXd basis = rank2.z.leftCols(2).householderQr().householderQ();
    ys.col(3) = Eigen::VectorXd::LinSpaced(30, -1, 1);
    ys.col(3) -= basis.leftCols(2) * (basis.leftCols(2).transpose() * ys.col(3)).eval();
    auto kinds = [&](MatView y, std::size_t k) {
        std::vector<Kind> out;
        for (const auto& o : nspace_kernel_cols(g.view(), y, k)) out.push_back(o.kind);
        return out;
    };
    using V = std::vector<Kind>;
    EXPECT_EQ(kinds(view(ys), 1),
              (V{Kind::Coefficients, Kind::Zero, Kind::Unresolved, Kind::Unresolved}));
    EXPECT_EQ(kinds(view(ys), 0), (V{Kind::Unresolved, Kind::Zero, Kind::Unresolved, Kind::Unresolved}));
    EXPECT_EQ(kinds(view(ys), 30), kinds(view(ys), 0));
    EXPECT_EQ(kinds(view(Eigen::MatrixXd(ys.topRows(29))), 1), V(4, Kind::Unresolved));
    EXPECT_TRUE(nspace_kernel_cols(g.view(), view(Eigen::MatrixXd(30, 0)), 1).empty());

    // Z = 0: bound 0 and nothing to fit; n = 0: every column Zero.
    const Eigen::MatrixXd z0 = Eigen::MatrixXd::Zero(30, 5);
    const NspaceGram zero(view(z0), par_sequential);
    EXPECT_EQ(zero.norm_bound, 0.0);
    for (const auto& o : nspace_kernel_cols(zero.view(), view(rank2.ys), 1))
        EXPECT_TRUE(o.is(Kind::Unresolved));
    const NspaceGram empty(view(Eigen::MatrixXd(0, 5)), par_sequential);
    for (const auto& o : nspace_kernel_cols(empty.view(), view(Eigen::MatrixXd(0, 2)), 1))
        EXPECT_TRUE(o.is(Kind::Zero));
}

TEST(NspaceKernel, OneComponentIsTheClosedFormAndColumnsDoNotDependOnTheirGroup) {
    const Problem pr = problem(ref::latent_data(25, 80, 31, 4), 40);
    const NspaceGram g(view(pr.z), par_parallel);
    const auto all = nspace_kernel_cols(g.view(), view(pr.ys), 2);
    for (Eigen::Index c = 0; c < pr.ys.cols(); ++c) {
        const Eigen::MatrixXd one = pr.ys.col(c);
        EXPECT_TRUE(same_bits(nspace_kernel_cols(g.view(), view(one), 2)[0].alpha,
                              all[std::size_t(c)].alpha));
        const Eigen::VectorXd y = one;
        const Eigen::VectorXd gy = g.gram * y;
        const Eigen::VectorXd closed = (y.dot(gy) / gy.squaredNorm()) * y;
        EXPECT_LT(rel_diff(nspace_kernel_cols(g.view(), view(one), 1)[0].alpha, closed), 1e-12);
    }
}

TEST(NspaceGram, NormBoundHoldsWherePowerIterationFails) {
    // The start vector (1, 2)/sqrt(5) is an eigenvector of the smaller
    // eigenvalue 1; twice that misses the top eigenvalue 4.
    const Eigen::Vector2d u1(2.0 / std::sqrt(5.0), -1.0 / std::sqrt(5.0));
    const Eigen::Vector2d u2(1.0 / std::sqrt(5.0), 2.0 / std::sqrt(5.0));
    const Eigen::MatrixXd g = 4.0 * u1 * u1.transpose() + u2 * u2.transpose();
    const NspaceGram ng = NspaceGram::from_gram(view(g), 3);
    EXPECT_EQ(ng.fro_norm, std::sqrt(g(0, 0) + g(1, 1)));
    EXPECT_GE(ng.norm_bound, 4.0);
    EXPECT_LE(ng.norm_bound, g.trace());
    for (unsigned seed = 0; seed < 10; ++seed) {
        const Problem pr = problem(ref::latent_data(20 + seed, 50, seed, 1 + seed % 4), 1);
        const NspaceGram r(view(pr.z), par_sequential);
        const double top = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(r.gram).eigenvalues().maxCoeff();
        EXPECT_GE(r.norm_bound, top);
        EXPECT_LE(r.norm_bound, r.fro_norm * r.fro_norm);
    }
    EXPECT_EQ(gram_norm_bound(view(Eigen::MatrixXd(0, 0)), 3.0), 9.0);
}
