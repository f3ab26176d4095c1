#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "veltra/procrustes/signed_permutation.hpp"

namespace {

using Eigen::MatrixXd;
using namespace veltra::procrustes;
using Perm = std::vector<std::size_t>;
using Stride = Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>;

MatrixView view(const MatrixXd& m) { return {m.data(), m.rows(), m.cols(), Stride(m.rows(), 1)}; }

Perm identity(std::size_t k) {
    Perm perm(k);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    return perm;
}

// Squared distance of the signed, reordered `a` from `ref`, in long double.
long double distance2(const MatrixXd& a, const MatrixXd& ref, const Perm& perm,
                      const std::vector<double>& signs) {
    long double s = 0;
    for (Eigen::Index j = 0; j < ref.cols(); ++j)
        for (Eigen::Index r = 0; r < ref.rows(); ++r) {
            const long double d = static_cast<long double>(signs[j]) * a(r, perm[j]) - ref(r, j);
            s += d * d;
        }
    return s;
}

// The smallest squared distance over all k! orders times 2^k sign patterns.
long double brute_force(const MatrixXd& a, const MatrixXd& ref) {
    const auto k = static_cast<std::size_t>(a.cols());
    Perm perm = identity(k);
    long double best = std::numeric_limits<long double>::infinity();
    do {
        for (unsigned mask = 0; mask < (1u << k); ++mask) {
            std::vector<double> signs(k);
            for (std::size_t j = 0; j < k; ++j) signs[j] = (mask >> j & 1) ? -1.0 : 1.0;
            best = std::min(best, distance2(a, ref, perm, signs));
        }
    } while (std::next_permutation(perm.begin(), perm.end()));
    return best;
}

// Where several orders score alike below k = 4, the first in Heap's order wins.
const std::vector<std::vector<Perm>> heap_order = {
    {{0}}, {{0, 1}, {1, 0}}, {{0, 1, 2}, {1, 0, 2}, {2, 0, 1}, {0, 2, 1}, {1, 2, 0}, {2, 1, 0}}};

// The alignment is as close as the best signed order; below k = 4 on integer
// data (exact sums, exact ties) it is also the first best in Heap's order.
void expect_brute_force_optimum(const MatrixXd& a, const MatrixXd& ref, bool integer) {
    const auto got = signed_permutation(view(a), view(ref), {.check_finite = true});
    ASSERT_TRUE(got.has_value());
    ASSERT_TRUE(std::is_permutation(got->perm.begin(), got->perm.end(), identity(a.cols()).begin()));
    for (double s : got->signs) ASSERT_TRUE(s == 1.0 || s == -1.0);
    const long double best = brute_force(a, ref);
    const long double mine = distance2(a, ref, got->perm, got->signs);
    const double scale = integer ? 0.0 : a.squaredNorm() + ref.squaredNorm();
    EXPECT_NEAR(double(mine), double(best), 1e-12 * scale);
    EXPECT_NEAR(got->residual, std::sqrt(double(best)), 1e-7 * std::sqrt(scale));
    const Eigen::Index k = a.cols();
    if (!integer || k > 3) return;
    const MatrixXd cross = a.transpose() * ref;
    auto score = [&](const Perm& q) {
        double s = 0;
        for (Eigen::Index j = 0; j < k; ++j) s += std::abs(cross(q[j], j));
        return s;
    };
    Perm first = heap_order[k - 1][0];
    for (const Perm& q : heap_order[k - 1])
        if (score(q) > score(first)) first = q;
    EXPECT_EQ(got->perm, first);
    for (Eigen::Index j = 0; j < k; ++j)
        EXPECT_EQ(got->signs[j], cross(first[j], j) >= 0 ? 1.0 : -1.0);
}

MatrixXd draw(Eigen::Index p, Eigen::Index k, std::mt19937_64& g, bool ternary) {
    std::normal_distribution<double> normal;
    return MatrixXd::NullaryExpr(p, k, [&] { return ternary ? double(g() % 3) - 1 : normal(g); });
}

TEST(SignedPermutation, IsAsCloseAsBruteForceOnRandomAndTieHeavyMatrices) {
    enum Kind { gaussian, tiny_gaussian, noisy_signed_copy, ternary, repeated_columns, zero_a };
    for (int kind = gaussian; kind <= zero_a; ++kind)
        for (Eigen::Index k = 1; k <= 5; ++k)
            for (Eigen::Index p : {1, 2, 3, 8})
                for (unsigned seed = 0; seed < 60; ++seed) {
                    SCOPED_TRACE(testing::Message() << "kind " << kind << " k=" << k << " p=" << p
                                                    << " seed=" << seed);
                    std::mt19937_64 g(seed * 131 + k * 7 + p);
                    const bool integer = kind >= ternary;
                    MatrixXd a = draw(p, k, g, integer), ref = draw(p, k, g, integer);
                    if (kind == zero_a) a.setZero();
                    if (kind == tiny_gaussian) a *= 1e-9, ref *= 1e-9;  // cross products ~1e-18
                    if (kind == noisy_signed_copy) {
                        Perm perm = identity(k);
                        std::shuffle(perm.begin(), perm.end(), g);
                        a *= 0.3;
                        for (Eigen::Index j = 0; j < k; ++j)
                            a.col(perm[j]) += (g() % 2 ? -1.0 : 1.0) * ref.col(j);
                    }
                    for (Eigen::Index j = 1; kind == repeated_columns && j < k; ++j)
                        if (g() % 2) a.col(j) = a.col(g() % j), ref.col(j) = -ref.col(g() % j);
                    expect_brute_force_optimum(a, ref, integer);
                }
}

// Found by a wide random search: several rows are still free after the row
// reduction, so a later path search relies on the duals an earlier one left.
TEST(SignedPermutation, IsAsCloseAsBruteForceWhereDualsCarryOver) {
    MatrixXd a6(3, 6), ref6(3, 6), a7(2, 7), ref7(2, 7);
    a6 << 0.037, 0.911, 0.912, -0.202, 0.333, -0.023, -0.128, 1.810, 2.658, -0.860, -0.587,
        -0.476, 0.459, 1.668, -0.661, -1.143, -1.617, -0.858;
    ref6 << -0.236, 0.876, 0.013, -1.939, -1.223, -0.506, -0.146, 1.133, -1.470, -1.159, -1.279,
        -0.203, 0.180, 0.374, 0.550, 0.380, 0.759, 0.128;
    a7 << 0.583, -0.415, -0.086, -1.095, -2.465, -0.254, 1.194, 0.134, 0.423, -0.310, 0.583,
        -0.105, -0.452, -0.199;
    ref7 << -0.234, -0.875, 0.614, 1.344, -1.985, -0.103, -0.227, -0.625, -1.972, -0.846, 0.113,
        -0.942, 0.085, 0.214;
    expect_brute_force_optimum(a6, ref6, false);
    expect_brute_force_optimum(a7, ref7, false);
}

// Read through a row-major view and a reversed, spread-out view alike.
TEST(SignedPermutation, RecoversAnExactSignedReorderingFromAnyLayout) {
    const Perm perm = {5, 3, 6, 0, 2, 1, 4};
    const std::vector<double> signs = {1, -1, 1, -1, -1, 1, 1};
    std::mt19937_64 g(7);
    const MatrixXd ref = draw(9, 7, g, false);
    Eigen::Matrix<double, -1, -1, Eigen::RowMajor> a(9, 7);
    for (Eigen::Index j = 0; j < 7; ++j) a.col(perm[j]) = signs[j] * ref.col(j);
    // The reference read bottom row first, its columns two elements apart.
    MatrixXd spread = MatrixXd::Zero(18, 7);
    for (Eigen::Index r = 0; r < 9; ++r) spread.row(2 * r) = ref.row(8 - r);
    const MatrixView a_rows(a.data(), 9, 7, Stride(1, 7));
    const MatrixView ref_spread(spread.data() + 16, 9, 7, Stride(18, -2));
    const auto plain = signed_permutation(view(a), view(ref), {});
    const auto strided = signed_permutation(a_rows, ref_spread, {});
    ASSERT_TRUE(plain.has_value() && strided.has_value());
    EXPECT_EQ(plain->perm, perm);
    EXPECT_EQ(plain->signs, signs);
    EXPECT_EQ(strided->perm, perm);
    EXPECT_EQ(strided->residual, plain->residual);
}

// Unchecked NaN makes the order meaningless, never the call fail.
TEST(SignedPermutation, ReportsEachErrorWithItsTextButRunsOnUncheckedNaN) {
    const auto text = [](const MatrixXd& a, const MatrixXd& ref, bool check_finite) {
        const auto got = signed_permutation(view(a), view(ref), {.check_finite = check_finite});
        return got ? std::string() : got.error().display();
    };
    MatrixXd poisoned = MatrixXd::Ones(4, 5);
    poisoned(0, 1) = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(text(MatrixXd::Ones(5, 3), MatrixXd::Ones(5, 4), false),
              "dimension mismatch: a is 5\u00D73, reference is 5\u00D74");
    EXPECT_EQ(text(MatrixXd(0, 3), MatrixXd::Ones(1, 3), false),
              "dimension mismatch: a is 0\u00D73, reference is 1\u00D73");
    EXPECT_EQ(text(MatrixXd(0, 3), MatrixXd(0, 3), true), "empty input: rows or columns is zero");
    EXPECT_EQ(text(MatrixXd::Ones(4, 5), poisoned, true), "non-finite value in input");
    EXPECT_EQ(ProcrustesError{ProcrustesError::InvalidOptions{"x"}}.display(), "invalid options: x");

    const MatrixXd nan = MatrixXd::Constant(4, 3, std::nan(""));
    const auto got = signed_permutation(view(nan), view(MatrixXd::Ones(4, 3)), {});
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(std::is_permutation(got->perm.begin(), got->perm.end(), identity(3).begin()));
    EXPECT_EQ(got->residual, 0.0);  // a NaN sum reports 0
    EXPECT_EQ(got->signs, std::vector<double>(3, -1.0));
}

}  // namespace
