#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include <Eigen/QR>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/resample/dual_route/multi_k.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/standardize.hpp"
#include "veltra/weights.hpp"

using namespace veltra;
using namespace veltra::resample;
using test_support::view;
namespace ref = pls_reference;
using Kind = NspaceOutcome::Kind;

namespace {

// Standardised Z and columns (y, then permuted copies), rows times sqrt(w)
// when weighted, as a weighted fit prepares them.
struct Problem {
    Eigen::MatrixXd z, ys;
};

Problem problem(const ref::Data& d, Eigen::Index columns, std::optional<Eigen::VectorXd> w = {}) {
    const auto wv = w ? std::optional(view(*w)) : std::nullopt;
    Problem out{standardize_weighted(view(d.x), wv).x_std, Eigen::MatrixXd(d.y.size(), columns)};
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(7);
    for (Eigen::Index c = 0; c < columns; ++c) {
        const Eigen::VectorXd yp =
            c == 0 ? d.y : col_row_subset(view(d.y), shuffled_rows(d.y.size(), rng));
        out.ys.col(c) = standardize1_weighted(view(yp), wv).y_std;
    }
    if (w) {
        const Eigen::VectorXd m = fit_row_scale(*wv);
        out.z = m.asDiagonal() * out.z;
        out.ys = m.asDiagonal() * out.ys;
    }
    return out;
}

// Every certified column against the direct p-space refit; the count.
int check_certified(const Problem& pr, std::size_t k, double tol) {
    const NspaceGram g(view(pr.z), par_sequential);
    const auto outcomes = nspace_kernel_cols(g.view(), view(pr.ys), k);
    int certified = 0;
    for (Eigen::Index c = 0; c < pr.ys.cols(); ++c) {
        if (!outcomes[std::size_t(c)].is(Kind::Coefficients)) continue;
        ++certified;
        const Eigen::VectorXd y = pr.ys.col(c);
        const PreparedFit direct =
            pls1_fit_prepared_fro(view(pr.z), view(y), k, std::nullopt, g.fro_norm, par_sequential);
        EXPECT_EQ(direct.k_used, k);
        const Eigen::VectorXd beta = pr.z.transpose() * outcomes[std::size_t(c)].alpha;
        EXPECT_LT(test_support::rel_diff(beta, direct.coef), tol) << "column " << c << " k " << k;
    }
    return certified;
}

}  // namespace

TEST(NspaceKernel, CertifiedColumnsMatchTheDirectRefit) {
    auto near = ref::latent_data(40, 300, 12, 3);
    std::mt19937_64 gen(3);
    std::normal_distribution<double> tiny(0.0, 1e-9);
    for (Eigen::Index i = 0; i < near.x.size(); ++i) near.x.data()[i] += tiny(gen);
    const auto w = ref::positive_weights(40, 5);
    // Of 12 columns at every k = 1 .. 4: the allowance grows with each step,
    // so a response fitted well by three components may be refused at four.
    const struct {
        Problem pr;
        double tol;
        int min_certified;
    } cases[] = {
        {problem(near, 12), 1e-6, 0},
        {problem(ref::latent_data(40, 300, 13, 6), 12,
                 Eigen::Map<const Eigen::VectorXd>(w.data(), 40)),
         1e-9, 9},
    };
    for (const auto& c : cases)
        for (std::size_t k = 1; k <= 4; ++k)
            EXPECT_GE(check_certified(c.pr, k, c.tol), c.min_certified);
}

TEST(NspaceKernel, MatchesTheNumPyReference) {
    // From tests/data/nspace_reference.py: alpha at k = 2 and k = 3.
    const double want[2][12] = {
        {0.028941341358336904, 0.014337354222506208, -0.009485304210082783, -0.030778683789048408,
         -0.0338478184368493, -0.016673602403662464, 0.016686422146226905, 0.0386024840811256,
         0.030258772500010696, 0.002273587158132581, -0.021992782249650924, -0.018321770377044945},
        {0.033024165210674056, 0.016414722737843005, -0.008015441017441532, -0.030492759702541554,
         -0.03639787052771544, -0.02128715708058743, 0.01190386092438515, 0.03900251912854364,
         0.032812635591907766, 0.0050948197536705864, -0.02296084974870127, -0.019098645270036897}};
    Eigen::MatrixXd x(12, 40);
    for (Eigen::Index i = 0; i < 12; ++i)
        for (Eigen::Index j = 0; j < 40; ++j)
            x(i, j) = std::sin(1.3 * double(i) * double(j) + 0.7 * double(j * j) + 0.1 * double(i));
    Eigen::MatrixXd y(12, 1);
    for (Eigen::Index i = 0; i < 12; ++i) y(i, 0) = std::cos(0.9 * double(i)) + 0.3 * x(i, 0);
    const Eigen::MatrixXd z = standardize_weighted(view(x)).x_std;
    const Eigen::MatrixXd ys = standardize1_weighted(VecView{y.data(), 12, 1}).y_std;
    const NspaceGram g(view(z), par_sequential);
    for (std::size_t k : {2, 3}) {
        const auto out = nspace_kernel_cols(g.view(), view(ys), k);
        ASSERT_TRUE(out[0].is(Kind::Coefficients));
        EXPECT_LT(test_support::rel_diff(out[0].alpha,
                                         Eigen::Map<const Eigen::VectorXd>(want[k - 2], 12)),
                  1e-10);
    }
}

TEST(NspaceKernel, RefusesWhereTheTestsMust) {
    // Rank 2: a third component has only rounding left to fit.
    Problem pr = problem(ref::latent_data(30, 100, 21, 2), 4);
    for (Eigen::Index j = 2; j < pr.z.cols(); ++j) pr.z.col(j) = pr.z.col(j % 2) * (1.0 + j);
    const NspaceGram g(view(pr.z), par_sequential);
    EXPECT_EQ(check_certified(pr, 2, 1e-8), 4);
    // Columns: fitted, zero, NaN, non-zero but orthogonal to every column of Z.
    pr.ys.col(1).setZero();
    pr.ys(3, 2) = NAN;
    const Eigen::MatrixXd q = pr.z.leftCols(2).householderQr().householderQ();
    pr.ys.col(3) = Eigen::VectorXd::LinSpaced(30, -1, 1);
    pr.ys.col(3) -= q.leftCols(2) * (q.leftCols(2).transpose() * pr.ys.col(3)).eval();
    auto kinds = [&](const NspaceGram& gram, const Eigen::MatrixXd& y, std::size_t k) {
        std::vector<Kind> out;
        for (const auto& o : nspace_kernel_cols(gram.view(), view(y), k)) out.push_back(o.kind);
        return out;
    };
    using V = std::vector<Kind>;
    const Kind C = Kind::Coefficients, Z = Kind::Zero, U = Kind::Unresolved;
    EXPECT_EQ(kinds(g, pr.ys, 1), (V{C, Z, U, U}));
    EXPECT_EQ(kinds(g, pr.ys, 3), (V{U, Z, U, U}));
    EXPECT_EQ(kinds(g, pr.ys, 0), (V{U, Z, U, U}));
    EXPECT_EQ(kinds(g, pr.ys, 30), (V{U, Z, U, U}));
    EXPECT_EQ(kinds(g, pr.ys.topRows(29), 1), V(4, U));
    EXPECT_TRUE(kinds(g, Eigen::MatrixXd(30, 0), 1).empty());
    // Z = 0: bound 0, nothing to fit; no rows: every column Zero.
    const NspaceGram zero(view(Eigen::MatrixXd(Eigen::MatrixXd::Zero(30, 5))), par_sequential);
    EXPECT_EQ(zero.norm_bound, 0.0);
    EXPECT_EQ(kinds(zero, pr.ys.leftCols(1), 1), V{U});
    EXPECT_EQ(
        kinds(NspaceGram(view(Eigen::MatrixXd(0, 5)), par_sequential), Eigen::MatrixXd(0, 2), 1),
        V(2, Z));
}

TEST(NspaceKernel, OneComponentIsTheClosedFormAndColumnsDoNotDependOnTheirGroup) {
    const Problem pr = problem(ref::latent_data(25, 80, 31, 4), 40);
    const NspaceGram g(view(pr.z), par_parallel);
    const auto all = nspace_kernel_cols(g.view(), view(pr.ys), 2);
    for (Eigen::Index c = 0; c < pr.ys.cols(); ++c) {
        const Eigen::MatrixXd one = pr.ys.col(c);
        EXPECT_TRUE(test_support::same_bits(nspace_kernel_cols(g.view(), view(one), 2)[0].alpha,
                                            all[std::size_t(c)].alpha));
        const Eigen::VectorXd y = one, gy = g.gram * y;
        const Eigen::VectorXd closed = (y.dot(gy) / gy.squaredNorm()) * y;
        EXPECT_LT(
            test_support::rel_diff(nspace_kernel_cols(g.view(), view(one), 1)[0].alpha, closed),
            1e-12);
    }
}

TEST(NspaceGram, NormBoundHoldsWherePowerIterationFails) {
    // The start vector (1, 2)/sqrt(5) is the eigenvector of the smaller
    // eigenvalue 1: twice its Rayleigh quotient misses the top eigenvalue 4.
    const Eigen::Vector2d u1(2.0 / std::sqrt(5.0), -1.0 / std::sqrt(5.0)), u2(u1[1] * -1.0, u1[0]);
    const Eigen::MatrixXd g = 4.0 * u1 * u1.transpose() + u2 * u2.transpose();
    const NspaceGram ng = NspaceGram::from_gram(view(g), 3);
    EXPECT_EQ(ng.fro_norm, std::sqrt(g(0, 0) + g(1, 1)));
    EXPECT_GE(ng.norm_bound, 4.0);
    EXPECT_LE(ng.norm_bound, g.trace());
    EXPECT_EQ(gram_norm_bound(view(Eigen::MatrixXd(0, 0)), 3.0), 9.0);
}
