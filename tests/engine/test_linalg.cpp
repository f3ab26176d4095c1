#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include <Eigen/LU>

#include "veltra/error.hpp"
#include "veltra/linalg.hpp"
#include "test_support.hpp"

using veltra::MatView;
using veltra::VecView;
using namespace test_support;

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Textbook product in long double, with the sum of |a||b| that bounds its
// rounding error.
void expect_product_close(const Eigen::MatrixXd& got, const Eigen::MatrixXd& a,
                          const Eigen::MatrixXd& b, const char* what) {
    ASSERT_EQ(got.rows(), a.rows()) << what;
    ASSERT_EQ(got.cols(), b.cols()) << what;
    const double k = static_cast<double>(a.cols());
    for (Eigen::Index i = 0; i < a.rows(); ++i) {
        for (Eigen::Index j = 0; j < b.cols(); ++j) {
            long double s = 0, bound = 0;
            for (Eigen::Index l = 0; l < a.cols(); ++l) {
                s += static_cast<long double>(a(i, l)) * b(l, j);
                bound += std::abs(static_cast<long double>(a(i, l)) * b(l, j));
            }
            ASSERT_LE(std::abs(got(i, j) - static_cast<double>(s)),
                      (k + 1) * eps * static_cast<double>(bound))
                << what << " at (" << i << ", " << j << ")";
        }
    }
}

}  // namespace

TEST(Products, MatchReferenceForEveryLayoutAndOddSizes) {
    struct Shape { std::size_t m, k, n; };
    const Shape shapes[] = {{5, 0, 3},  {0, 4, 3},    {4, 3, 0},   {7, 9, 1},      {9, 7, 9},
                            {1, 7, 9},  {33, 2049, 7}, {3, 9, 2049}, {41, 17, 23}, {0, 0, 1},
                            {1, 1, 1},  {1, 0, 1},     {13, 2049, 1}, {1000, 9, 1}, {1000, 2049, 1}};
    for (const Shape& sh : shapes) {
        const Eigen::MatrixXd a = random_matrix(sh.m, sh.k, 1), b = random_matrix(sh.k, sh.n, 2);
        const Eigen::VectorXd x = random_matrix(sh.k, 1, 4);
        const Eigen::VectorXd x_rev = x.reverse();
        const VecView xr{x_rev.data() + (sh.k ? sh.k - 1 : 0), sh.k, -1};  // read backwards
        for (Layout la : all_layouts) {
            const Stored sa = store(a, la);
            for (veltra::Par par : {veltra::par_sequential, veltra::par_parallel}) {
                for (Layout lb : all_layouts) {
                    expect_product_close(veltra::mat_mul(sa.view, store(b, lb).view, par), a, b, "mat_mul");
                }
                for (VecView v : {VecView::of(x), xr}) {
                    expect_product_close(veltra::mat_vec(sa.view, v, par), a, x, "mat_vec");
                }
            }
        }
    }
}

TEST(Products, SameBitsWhateverCachesTheHostReports) {
    // Entries from the raw 64-bit Mersenne Twister, whose sequence the C++
    // standard fixes, so the inputs are the same bits everywhere.
    std::mt19937_64 gen(7);
    auto fill = [&](Eigen::Index rows, Eigen::Index cols) {
        Eigen::MatrixXd m(rows, cols);
        for (Eigen::Index j = 0; j < cols; ++j)
            for (Eigen::Index i = 0; i < rows; ++i)
                m(i, j) = static_cast<double>(gen() >> 11) * 0x1p-52 - 1.0;
        return m;
    };
    // A depth that Eigen, left to the host's caches, cuts differently for
    // each of these L1 sizes.
    const Eigen::MatrixXd a = fill(300, 2000), b = fill(2000, 50);
    // The cache sizes Eigen reads on some x86-64 hosts; the first is what it
    // holds now.
    const std::ptrdiff_t hosts[][3] = {
        {Eigen::l1CacheSize(), Eigen::l2CacheSize(), Eigen::l3CacheSize()},
        {32 << 10, 1 << 20, 320 << 20},
        {48 << 10, 2 << 20, 36 << 20},
        {64 << 10, 512 << 10, 32 << 20}};
    // FNV-1a over the bit patterns of the entries, in column order.
    constexpr std::uint64_t pinned = 0x6e45f6eb8a63de0b;
    for (const auto& c : hosts) {
        Eigen::setCpuCacheSizes(c[0], c[1], c[2]);
        const Eigen::MatrixXd p = veltra::mat_mul(view(a), view(b), veltra::par_parallel);
        std::uint64_t h = 14695981039346656037ull;
        for (Eigen::Index i = 0; i < p.size(); ++i) {
            std::uint64_t bits;
            std::memcpy(&bits, p.data() + i, sizeof bits);
            for (int s = 0; s < 64; s += 8) h = (h ^ ((bits >> s) & 0xff)) * 1099511628211ull;
        }
        EXPECT_EQ(h, pinned) << "L1 of " << c[0] << " bytes";
    }
    expect_product_close(veltra::mat_mul(view(a), view(b), veltra::par_parallel), a, b, "pinned");
}

TEST(Products, SameBitsWhateverTheAddressOfTheData) {
    // Arrays from Python may sit on any 8-byte boundary: the same values at
    // another address must give the same bits, or a seeded call would not
    // reproduce from one run to the next.
    for (auto [m, k, n] : {std::tuple<std::size_t, std::size_t, std::size_t>{3, 5, 4},
                           {301, 203, 67}, {67, 203, 1001}}) {
        const Eigen::MatrixXd a = random_matrix(m, k, 9), b = random_matrix(k, n, 10);
        const Eigen::MatrixXd x = random_matrix(k, 1, 11);
        std::vector<double> buf(1);  // 8 bytes off Eigen's own alignment
        for (const Eigen::MatrixXd* v : {&a, &b, static_cast<const Eigen::MatrixXd*>(&x)})
            buf.insert(buf.end(), v->data(), v->data() + v->size());
        const double *a_at = buf.data() + 1, *b_at = a_at + m * k, *x_at = b_at + k * n;
        const MatView a_off = MatView::col_major(a_at, m, k), b_off = MatView::col_major(b_at, k, n);
        EXPECT_TRUE(same_bits(veltra::mat_mul(a_off, b_off, veltra::par_parallel),
                              veltra::mat_mul(MatView::of(a), MatView::of(b), veltra::par_parallel)));
        EXPECT_TRUE(same_bits(veltra::mat_mul(b_off.transposed(), a_off.transposed(), veltra::par_parallel),
                              veltra::mat_mul(MatView::of(b).transposed(), MatView::of(a).transposed(), veltra::par_parallel)));
        EXPECT_TRUE(same_bits(veltra::mat_vec(a_off, VecView{x_at, k, 1}, veltra::par_parallel),
                              veltra::mat_vec(MatView::of(a), VecView{x.data(), k, 1}, veltra::par_parallel)));
        EXPECT_TRUE(same_bits(veltra::mat_vec(b_off.transposed(), VecView{x_at, k, 1}, veltra::par_parallel),
                              veltra::mat_vec(MatView::of(b).transposed(), VecView{x.data(), k, 1}, veltra::par_parallel)));
    }
}

TEST(Products, SizeMismatchIsAnInternalFailure) {
    const Eigen::MatrixXd a = random_matrix(3, 4, 1), b = random_matrix(5, 2, 2);
    const Eigen::VectorXd x = Eigen::VectorXd::Zero(3);
    EXPECT_THROW(veltra::mat_mul(MatView::of(a), MatView::of(b), veltra::par_sequential), veltra::InternalFailure);
    EXPECT_THROW(veltra::mat_vec(MatView::of(a), VecView::of(x), veltra::par_sequential), veltra::InternalFailure);
}

TEST(RowMajorTMul, OnlyForWideRowMajorInputs) {
    const Eigen::MatrixXd narrow = random_matrix(9, 2047, 1), wide = random_matrix(9, 2048, 2);
    const Eigen::VectorXd v = random_matrix(9, 1, 3);
    EXPECT_FALSE(veltra::row_major_t_mul(store(narrow, Layout::row_major).view, VecView::of(v), veltra::par_sequential));
    EXPECT_FALSE(veltra::row_major_t_mul(store(wide, Layout::col_major).view, VecView::of(v), veltra::par_sequential));
    EXPECT_FALSE(veltra::row_major_t_mul(store(wide, Layout::odd_strides).view, VecView::of(v), veltra::par_parallel));
    EXPECT_TRUE(veltra::row_major_t_mul(store(wide, Layout::row_major).view, VecView::of(v), veltra::par_sequential));
    const Eigen::VectorXd short_v = Eigen::VectorXd::Zero(8);
    EXPECT_THROW(veltra::row_major_t_mul(store(wide, Layout::row_major).view, VecView::of(short_v), veltra::par_sequential),
                 veltra::InternalFailure);
}

TEST(RowMajorTMul, EachColumnIsOneRunningSumInRowOrder) {
    // 2048 and 2049 columns cut into 8 chunks (the last one shorter); 40000
    // columns into chunks of the 4096 cap.
    for (std::size_t p : {2048, 2049, 40000}) {
        for (std::size_t n : {0, 1, 8, 37}) {
            const Eigen::MatrixXd x = random_matrix(n, p, 11);
            const Eigen::VectorXd v = random_matrix(n + 3, 1, 12);  // longer than n: tail unused
            Eigen::VectorXd plain = Eigen::VectorXd::Zero(p);
            for (std::size_t j = 0; j < p; ++j)
                for (std::size_t r = 0; r < n; ++r) plain[j] += v[r] * x(r, j);
            for (Layout l : {Layout::row_major, Layout::reversed_rows}) {
                const Stored sx = store(x, l);
                const auto seq = veltra::row_major_t_mul(sx.view, VecView::of(v), veltra::par_sequential);
                const auto many = veltra::row_major_t_mul(sx.view, VecView::of(v), veltra::par_parallel);
                ASSERT_TRUE(seq && many);
                EXPECT_TRUE(same_bits(*seq, plain)) << "p=" << p << " n=" << n;
                EXPECT_TRUE(same_bits(*many, plain));
                if (n > 0) expect_product_close(*many, x.transpose(), v.head(n), "row_major_t_mul");
            }
        }
    }
}

TEST(LuSolve, SolvesAKnownSystemWithPivoting) {
    // The zero in the corner forces a row exchange.
    Eigen::MatrixXd a(3, 3);
    a << 0, 2, 1, 4, -6, 0, -2, 7, 3;
    Eigen::MatrixXd x(3, 2);
    x << 1, -1, 2, 0.5, 3, 4;
    const Eigen::MatrixXd b = a * x;  // exact in doubles for these small integers
    for (Layout l : {Layout::col_major, Layout::row_major, Layout::odd_strides}) {
        Eigen::MatrixXd sol = b;
        veltra::lu_solve_in_place(store(a, l).view, sol);
        EXPECT_LE((sol - x).cwiseAbs().maxCoeff(), 1e-14);
    }
    Eigen::MatrixXd wrong(2, 1);
    EXPECT_THROW(veltra::lu_solve_in_place(MatView::of(a), wrong), veltra::InternalFailure);
}

TEST(Leverage, MatchesTheHatMatrixDiagonal) {
    const std::size_t n = 23;
    const Eigen::MatrixXd t = random_matrix(n, 4, 21);
    // H = T (T'T)^-1 T' in long double.
    using LMat = Eigen::Matrix<long double, Eigen::Dynamic, Eigen::Dynamic>;
    const LMat tl = t.cast<long double>();
    const LMat inv = (tl.transpose() * tl).inverse();
    const LMat h = tl * inv * tl.transpose();
    for (Layout l : {Layout::col_major, Layout::row_major, Layout::reversed_cols}) {
        const Eigen::VectorXd got = veltra::leverage_diag(store(t, l).view);
        ASSERT_EQ(got.size(), static_cast<Eigen::Index>(n));
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_NEAR(got[i], static_cast<double>(h(i, i)), 1e-14) << i;
    }
    const Eigen::MatrixXd none(5, 0);
    EXPECT_TRUE(same_bits(veltra::leverage_diag(MatView::of(none)), Eigen::VectorXd::Zero(5).eval()));
}

TEST(SelfAdjointEigen, ReconstructsAndAscends) {
    const Eigen::MatrixXd r = random_matrix(6, 6, 31);
    const Eigen::MatrixXd g = r + r.transpose();
    const auto e = veltra::self_adjoint_eigen(MatView::of(g), veltra::par_sequential);
    ASSERT_TRUE(e);
    for (Eigen::Index i = 1; i < 6; ++i) EXPECT_LE(e->values[i - 1], e->values[i]);
    const Eigen::MatrixXd back = e->vectors * e->values.asDiagonal() * e->vectors.transpose();
    EXPECT_LE((back - g).cwiseAbs().maxCoeff(), 1e-13);
    EXPECT_LE(orthonormality_error(e->vectors), 1e-14);
}

// The callers that read only the values (stable rank, e-score, the two-block
// cells) rely on them keeping the bits of the full decomposition.
TEST(SelfAdjointEigen, ValuesAloneKeepTheBitsOfTheFullDecomposition) {
    for (Eigen::Index m : {1, 2, 7, 64, 200}) {
        const Eigen::MatrixXd r = random_matrix(m + 3, m, 37 + static_cast<unsigned>(m));
        const Eigen::MatrixXd g = r.transpose() * r;
        const auto full = veltra::self_adjoint_eigen(MatView::of(g), veltra::par_sequential);
        const auto values = veltra::self_adjoint_eigenvalues(MatView::of(g), veltra::par_sequential);
        ASSERT_TRUE(full && values);
        EXPECT_TRUE(same_bits(*values, full->values)) << m;
    }
    Eigen::MatrixXd bad = Eigen::MatrixXd::Identity(3, 3);
    bad(1, 1) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(veltra::self_adjoint_eigenvalues(MatView::of(bad), veltra::par_sequential));
}

TEST(ThinSvd, ReconstructsWithOrthonormalFactorsAndOrderedValues) {
    // Tall, wide, one past the size where divide and conquer takes over, and
    // long ones that are reduced by QR first.
    for (auto [m, n] : {std::pair<std::size_t, std::size_t>{7, 4}, {4, 7}, {200, 150}, {3000, 9},
                        {9, 3000}, {1024, 128}}) {
        const Eigen::MatrixXd a = random_matrix(m, n, 41);
        const auto svd = veltra::thin_svd(store(a, Layout::row_major).view, veltra::par_sequential);
        ASSERT_TRUE(svd);
        const Eigen::Index r = static_cast<Eigen::Index>(std::min(m, n));
        ASSERT_TRUE(svd->U.rows() == a.rows() && svd->U.cols() == r && svd->V.rows() == a.cols() &&
                    svd->V.cols() == r);
        for (Eigen::Index i = 1; i <= r; ++i) EXPECT_GE(svd->s[i - 1], i < r ? svd->s[i] : 0.0);
        const Eigen::MatrixXd back = svd->U * svd->s.asDiagonal() * svd->V.transpose();
        EXPECT_LE((back - a).cwiseAbs().maxCoeff(), 1e-12);
        EXPECT_LE(std::max(orthonormality_error(svd->U), orthonormality_error(svd->V)), 1e-12);
        const auto par = veltra::thin_svd(MatView::of(a), veltra::par_parallel);
        ASSERT_TRUE(par);
        EXPECT_TRUE(same_bits(par->U, svd->U) && same_bits(par->s, svd->s) &&
                    same_bits(par->V, svd->V));
    }
    const Eigen::MatrixXd empty(0, 5);
    const auto e = veltra::thin_svd(MatView::of(empty), veltra::par_sequential);
    EXPECT_TRUE(e && e->V.rows() == 5 && e->s.size() == 0);
    for (auto [m, n] : {std::pair<Eigen::Index, Eigen::Index>{9, 5}, {3000, 5}, {5, 3000}}) {
        Eigen::MatrixXd bad = random_matrix(m, n, 43);
        bad(m - 1, n - 1) = nan_value;
        EXPECT_FALSE(veltra::thin_svd(MatView::of(bad), veltra::par_sequential)) << m << " x " << n;
    }
}


// Long sides reduced by QR first, and a short one that goes to Jacobi alone:
// entries whose squares overflow or underflow give the decomposition of the
// unscaled matrix, its singular values times the factor.
TEST(ThinSvd, HugeAndTinyEntriesGiveTheScaledDecomposition) {
    for (auto [m, n] : {std::pair<Eigen::Index, Eigen::Index>{1500, 4}, {9, 3000}, {200, 30}}) {
        const Eigen::MatrixXd a = random_matrix(m, n, 47);
        const auto base = veltra::thin_svd(MatView::of(a), veltra::par_parallel);
        ASSERT_TRUE(base);
        for (const double f : {1e160, 1e300, 1e-160, 1e-300}) {
            const Eigen::MatrixXd big = a * f;
            const auto svd = veltra::thin_svd(MatView::of(big), veltra::par_parallel);
            ASSERT_TRUE(svd) << m << " x " << n << " times " << f;
            const Eigen::VectorXd s = svd->s / f;
            EXPECT_LE(((s - base->s).array().abs() / base->s.array()).maxCoeff(), 1e-13) << f;
            for (Eigen::Index j = 0; j < s.size(); ++j) {
                const double su = svd->U.col(j).dot(base->U.col(j)) < 0 ? -1.0 : 1.0;
                const double sv = svd->V.col(j).dot(base->V.col(j)) < 0 ? -1.0 : 1.0;
                EXPECT_LE((svd->U.col(j) - su * base->U.col(j)).cwiseAbs().maxCoeff(), 1e-12) << f;
                EXPECT_LE((svd->V.col(j) - sv * base->V.col(j)).cwiseAbs().maxCoeff(), 1e-12) << f;
            }
        }
    }
}
TEST(OrthogonalRotation, RecoversAKnownRotation) {
    const double c1 = std::cos(0.7), s1 = std::sin(0.7), c2 = std::cos(-1.9), s2 = std::sin(-1.9);
    Eigen::MatrixXd r1(3, 3), r2(3, 3);
    r1 << c1, -s1, 0, s1, c1, 0, 0, 0, 1;
    r2 << 1, 0, 0, 0, c2, -s2, 0, s2, c2;
    const Eigen::MatrixXd rot = r1 * r2;
    const Eigen::MatrixXd a = random_matrix(10, 3, 51);
    const Eigen::MatrixXd b = a * rot;
    const Eigen::MatrixXd got = veltra::orthogonal_rotation(MatView::of(a), MatView::of(b));
    EXPECT_LE((got - rot).cwiseAbs().maxCoeff(), 1e-13);
    EXPECT_LE(orthonormality_error(got), 1e-14);
    // A failed decomposition gives all NaN.
    Eigen::MatrixXd bad = a;
    bad(4, 0) = nan_value;
    const Eigen::MatrixXd nan_rot = veltra::orthogonal_rotation(MatView::of(bad), MatView::of(bad));
    EXPECT_TRUE(nan_rot.rows() == 3 && nan_rot.cols() == 3 && nan_rot.array().isNaN().all());
}

TEST(StableRank, SquaredSingularValuesOverTheLargest) {
    const Eigen::MatrixXd no_rows(0, 5), no_cols(5, 0);
    EXPECT_EQ(veltra::stable_rank(MatView::of(no_rows), veltra::par_parallel), 0.0);
    EXPECT_EQ(veltra::stable_rank(MatView::of(no_cols), veltra::par_parallel), 0.0);
    const Eigen::MatrixXd zeros = Eigen::MatrixXd::Zero(4, 6), none(0, 0);
    EXPECT_EQ(veltra::stable_rank(view(zeros), veltra::par_parallel), 0.0);
    Eigen::MatrixXd with_nan = random_matrix(4, 6, 61);
    with_nan(1, 2) = nan_value;
    EXPECT_TRUE(std::isnan(veltra::stable_rank(MatView::of(with_nan), veltra::par_parallel)));
    EXPECT_EQ(veltra::stable_rank_from_gram(view(none), veltra::par_parallel), 0.0);
    Eigen::MatrixXd inf_gram = Eigen::MatrixXd::Identity(3, 3);
    inf_gram(2, 0) = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(std::isnan(veltra::stable_rank_from_gram(view(inf_gram), veltra::par_parallel)));
    // Singular values 3, 2, 1 (tall and wide): the sum of their squares over the largest.
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(3, 5);
    a(0, 0) = 3;
    a(1, 3) = -2;
    a(2, 1) = 1;
    EXPECT_NEAR(veltra::stable_rank(MatView::of(a), veltra::par_parallel), 14.0 / 9.0, 1e-15);
    EXPECT_NEAR(veltra::stable_rank(view(a).transposed(), veltra::par_parallel), 14.0 / 9.0, 1e-15);
}

TEST(StableNorm, NoOverflowOrUnderflowAndLayoutFree) {
    const auto norm_of = [](std::initializer_list<double> xs) {
        return veltra::stable_norm(view(std::vector<double>(xs)));
    };
    EXPECT_EQ(norm_of({3, 4}), 5.0);
    EXPECT_DOUBLE_EQ(norm_of({3e300, -4e300}), 5e300);
    EXPECT_DOUBLE_EQ(norm_of({3e-300, 4e-300}), 5e-300);
    EXPECT_DOUBLE_EQ(norm_of({3e-320, 4e-320}), 5e-320);
    EXPECT_EQ(norm_of({}), 0.0);
    EXPECT_EQ(norm_of({0, 0}), 0.0);
    EXPECT_TRUE(std::isnan(norm_of({1, nan_value, 1e300})));
    EXPECT_EQ(norm_of({1, -std::numeric_limits<double>::infinity()}),
              std::numeric_limits<double>::infinity());
    const Eigen::MatrixXd x = random_matrix(31, 17, 71) * 1e200;
    const double want = veltra::stable_norm(MatView::of(x));
    EXPECT_NEAR(want / 1e200, static_cast<double>(x.cast<long double>().norm() / 1e200L), 1e-13);
    for (Layout l : all_layouts) EXPECT_EQ(veltra::stable_norm(store(x, l).view), want);
}

TEST(StableNorm, ScaledAndSpecialCasesOfColumnTerms) {
    // The cases the standardising kernels rely on for their norm of column terms.
    constexpr double inf_v = std::numeric_limits<double>::infinity();
    auto norm = [](std::vector<double> t) { return veltra::stable_norm(view(t)); };
    EXPECT_EQ(norm({}), 0.0);
    EXPECT_EQ(norm({3, 4}), 5.0);
    EXPECT_EQ(norm({0, 0}), 0.0);
    EXPECT_DOUBLE_EQ(norm({1e300, -1e300}), std::sqrt(2.0) * 1e300);
    EXPECT_DOUBLE_EQ(norm({3e-310, 4e-310}), 5e-310);
    EXPECT_EQ(norm({1, inf_v}), inf_v);
    EXPECT_TRUE(std::isnan(norm({inf_v, nan_value, 1})));
}

TEST(SumOfSquares, FiveLinesFallIntoChunksOneByOne) {
    // Lines 0..4 land in chunks 1, 3, 4, 6, 7: five separate chunk sums added
    // in order, so the small lines vanish one at a time against the first.
    Eigen::MatrixXd x(2, 5);
    const double t = 0x1p-27;  // each small line sums to 2^-53
    x << 1, t, t, t, t,  //
        0, t, t, t, t;
    EXPECT_EQ(veltra::sum_of_squares_line_chunks(view(x), veltra::par_sequential), 1.0);
    // Grouped differently, two small lines would survive.
    EXPECT_EQ(1.0 + (0x1p-53 + 0x1p-53), 1.0 + 0x1p-52);
    const Eigen::Matrix<double, -1, -1, Eigen::RowMajor> xt = x.transpose();
    EXPECT_EQ(veltra::sum_of_squares_line_chunks(MatView::row_major(xt.data(), 5, 2),
                                                 veltra::par_parallel),
              1.0);
}

TEST(SumOfSquares, EachOrderContractKeepsItsOwnRounding) {
    // 1 then sixteen squares of 2^-54: one by one each is lost against 1;
    // the halves 1 + 7 small and 9 small keep 9 * 2^-54, which rounds to 2^-51.
    std::vector<double> v(17, 0x1p-27);
    v[0] = 1.0;
    EXPECT_EQ(veltra::sum_of_squares_in_order(view(v)), 1.0);
    EXPECT_EQ(veltra::sum_of_squares_pairwise(v.data(), v.size()), 1.0 + 0x1p-51);
    // Up to 16 entries the pairwise sum is the running one.
    EXPECT_EQ(veltra::sum_of_squares_pairwise(v.data(), 16), 1.0);
    // Column by column in index order, whatever the layout.
    const Eigen::MatrixXd a = random_matrix(37, 11, 81);
    long double want = 0;
    for (Eigen::Index i = 0; i < a.size(); ++i) want += (long double)a.data()[i] * a.data()[i];
    const double in_order = veltra::sum_of_squares_in_order(MatView::of(a));
    const double row_parts = veltra::sum_of_squares_row_parts(MatView::of(a), veltra::par_parallel);
    EXPECT_NEAR(in_order, double(want), 1e-14 * double(want));
    EXPECT_NEAR(row_parts, double(want), 1e-14 * double(want));
    for (Layout l : all_layouts) {
        const Stored s = store(a, l);
        EXPECT_TRUE(same_bits(veltra::sum_of_squares_in_order(s.view), in_order));
        EXPECT_TRUE(same_bits(veltra::sum_of_squares_row_parts(s.view, veltra::par_sequential),
                              row_parts));
    }
    // The row parts: part 0 of a column holds 1, parts 1..7 a small square
    // each; the parts are summed in order, so each small one is lost.
    Eigen::MatrixXd c = Eigen::MatrixXd::Constant(8, 1, 0x1p-27);
    c(0, 0) = 1.0;
    EXPECT_EQ(veltra::sum_of_squares_row_parts(MatView::of(c), veltra::par_parallel), 1.0);
    EXPECT_EQ(veltra::sum_of_squares_pairwise(c.data(), 8), 1.0);
}

TEST(DenseKernels, DotGramCrossAndSequentialProductMatchLongDouble) {
    const Eigen::MatrixXd z = random_matrix(9, 13, 91), b = random_matrix(5, 13, 92);
    const Eigen::VectorXd x = random_matrix(13, 1, 93);
    expect_product_close(veltra::gram_of(MatView::of(z), veltra::par_parallel), z, z.transpose(),
                         "gram_of");
    expect_product_close(veltra::cross_of(MatView::of(b), MatView::of(z), veltra::par_sequential),
                         b, z.transpose(), "cross_of");
    expect_product_close(veltra::seq_gemv(MatView::of(z), VecView::of(x)), z, x, "seq_gemv");
    // The dot product is one running sum in index order: 1 + 2^-53 + 2^-53 = 1.
    const std::vector<double> ones = {1.0, 0x1p-53, 0x1p-53}, unit = {1.0, 1.0, 1.0};
    EXPECT_EQ(veltra::dot(ones.data(), unit.data(), 3), 1.0);
    const Eigen::VectorXd row = z.row(2).transpose();
    const VecView strided{z.data() + 2, 13, 9};  // row 2 of z in place
    const double d = veltra::dot(row.data(), x.data(), 13);
    EXPECT_TRUE(same_bits(veltra::dot(strided, VecView::of(x)), d));
    long double want = 0;
    for (Eigen::Index i = 0; i < 13; ++i) want += (long double)row[i] * x[i];
    EXPECT_NEAR(d, double(want), 1e-14 * row.norm() * x.norm());
    EXPECT_THROW(veltra::cross_of(MatView::of(b), MatView::of(x), veltra::par_sequential),
                 veltra::InternalFailure);
    EXPECT_THROW(veltra::dot(VecView::of(x), VecView{x.data(), 12, 1}), veltra::InternalFailure);
}
