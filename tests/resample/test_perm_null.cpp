#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "resample/resample_test_support.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/linalg.hpp"
#include "veltra/resample/perm_null.hpp"
#include "veltra/resample/resample.hpp"

using namespace veltra;
using namespace veltra::resample;
using test_support::view;
namespace ref = pls_reference;

namespace {

using RowMat = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

RowMat matrix_of(const PermNullOutput& out) {
    const auto p = out.beta_ref.size();
    return Eigen::Map<const RowMat>(out.beta_perm_matrix->data(), to_index(out.n_perm), p);
}

// Every route on one standardised design, seed 5.
RowMat run_route(PermRoute route, const Eigen::MatrixXd& z, const Eigen::VectorXd& y,
                 std::size_t k, std::uint64_t n_perm) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(5);
    const auto out = run_engine(route, view(z), view(y), k, std::nullopt,
                                Eigen::VectorXd::Zero(z.cols()), n_perm, true, 5, rng, 0.0);
    return matrix_of(out.value());
}

}  // namespace

TEST(PermNull, ChecksComeInTheirOrderAndTheRouteFollowsTheCosts) {
    const auto d = ref::latent_data(30, 6, 1);
    Eigen::MatrixXd bad = d.x;
    bad(3, 2) = INFINITY;
    const Eigen::VectorXd short_y = d.y.head(29);
    const auto error = [](MatView x, VecView y, std::size_t k, std::uint64_t n_perm) {
        return pls1_perm_null(x, y, k, std::nullopt, {n_perm}, 1).error().display();
    };
    EXPECT_EQ(error(view(d.x), view(d.y), 0, 99),
              "invalid argument: n_perm must be ≥ 100, got 99");
    EXPECT_EQ(error(view(d.x), view(short_y), 0, 100), "invalid argument: k must be >= 1");
    EXPECT_EQ(error(view(d.x), view(short_y), 7, 100),
              "dimension mismatch: X has shape (30, 6), y has length 29");
    EXPECT_EQ(error(view(bad), view(d.y), 7, 100), "k=7 exceeds maximum 6");
    EXPECT_EQ(error(view(bad), view(d.y), 2, 100), "non-finite values in input");

    using enum PermRoute;
    EXPECT_EQ(perm_null_route(500, 10000, 1000, 1, false), nspace);
    EXPECT_EQ(perm_null_route(500, 10000, 1000, 1, true), direct);
    EXPECT_EQ(perm_null_route(2000, 200, 1000, 3, false), pspace);
    EXPECT_EQ(perm_null_route(2000, 200, 1000, 4, false), direct);
    EXPECT_EQ(perm_null_route(60, 8, 1000, 2, false), direct);
}

// Each row is the textbook fit of the response permuted by its own seed's
// shuffle, on every route, and the three routes agree.
TEST(PermNull, RowsAreRefitsOfTheSeededPermutations) {
    const auto d = ref::latent_data(40, 60, 3);
    const ref::Standardized s = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd z = s.xs.cast<double>();
    const Eigen::VectorXd y = s.ys.cast<double>();
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(5);
    const std::vector<std::uint64_t> seeds = child_seeds(rng, 100);
    for (const std::size_t k : {1, 2}) {
        const RowMat direct = run_route(PermRoute::direct, z, y, k, 100);
        for (const std::size_t b : {0, 1, 57, 99}) {
            ChaCha8Rng unit = ChaCha8Rng::seed_from_u64(seeds[b]);
            const std::vector<std::uint64_t> perm = shuffled_rows(40, unit);
            ref::LVec yp(40);
            for (Eigen::Index i = 0; i < 40; ++i) yp[i] = s.ys[to_index(perm[std::size_t(i)])];
            const Eigen::VectorXd expect = ref::nipals(s.xs, yp, to_index(k)).coef.cast<double>();
            EXPECT_LT(test_support::rel_diff(direct.row(Eigen::Index(b)), expect), 1e-10);
        }
        for (const PermRoute route : {PermRoute::direct, PermRoute::nspace, PermRoute::pspace}) {
            const RowMat rows = run_route(route, z, y, k, 100);
            EXPECT_LT(test_support::rel_diff(rows.reshaped(), direct.reshaped()), 1e-9);
        }
    }
}

// The direct route fits its rows in blocks: every row is the bits of its
// own refit on the permuted response, past the first block and when the
// rows are weighted.
TEST(PermNull, DirectRowsAreEachPermutationsOwnRefit) {
    const auto d = ref::latent_data(30, 45, 6);
    const ref::Standardized st = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd z = st.xs.cast<double>();
    const Eigen::VectorXd y = st.ys.cast<double>();
    const Eigen::VectorXd m = (resample_test::random_matrix(30, 1, 8).col(0).array().abs() + 0.5);
    const Eigen::MatrixXd zm = m.asDiagonal() * z;
    for (const bool weighted : {false, true}) {
        const Eigen::MatrixXd& x_eng = weighted ? zm : z;
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(5);
        const auto out = run_engine(PermRoute::direct, view(x_eng), view(y), 3,
                                    weighted ? std::optional(view(m)) : std::nullopt,
                                    Eigen::VectorXd::Zero(45), 100, true, 5, rng, 0.0);
        const RowMat rows = matrix_of(out.value());
        ChaCha8Rng again = ChaCha8Rng::seed_from_u64(5);
        const std::vector<std::uint64_t> seeds = child_seeds(again, 100);
        for (const std::size_t b : {0, 15, 16, 99}) {
            ChaCha8Rng unit = ChaCha8Rng::seed_from_u64(seeds[b]);
            const std::vector<std::uint64_t> perm = shuffled_rows(30, unit);
            Eigen::VectorXd yp(30);
            for (Eigen::Index i = 0; i < 30; ++i)
                yp[i] = y[to_index(perm[std::size_t(i)])] * (weighted ? m[i] : 1.0);
            const PreparedFit fit = pls1_fit_prepared_fro(view(x_eng), view(yp), 3, std::nullopt,
                                                          stable_norm(view(x_eng)), par_sequential);
            EXPECT_TRUE(test_support::same_bits(Eigen::VectorXd(rows.row(to_index(b)).transpose()),
                                                fit.coef))
                << "row " << b << (weighted ? " weighted" : "");
        }
    }
}

TEST(PermNull, SameBitsForThreadsBudgetsAndLongerRuns) {
    const auto d = ref::latent_data(50, 300, 4);
    const auto w = ref::positive_weights(50, 8);
    const Eigen::VectorXd wv = Eigen::Map<const Eigen::VectorXd>(w.data(), 50);
    for (const bool weighted : {false, true}) {
        const auto run = [&](std::uint64_t n_perm) {
            const auto weights = weighted ? std::optional<VecView>(view(wv)) : std::nullopt;
            return pls1_perm_null(view(d.x), view(d.y), 2, weights, {n_perm, true}, 77).value();
        };
        const PermNullOutput many = run(300);
        const PermNullOutput one = resample_test::on_one_thread([&] { return run(300); });
        resample_test::ScopedBudget tiny("1");
        const PermNullOutput few = run(100);
        EXPECT_TRUE(*many.beta_perm_matrix == *one.beta_perm_matrix);
        EXPECT_TRUE(many.beta_perm_sd == one.beta_perm_sd);
        EXPECT_TRUE(test_support::same_bits(matrix_of(many).topRows(100), matrix_of(few)));
        EXPECT_EQ(many.seed, 77u);
        EXPECT_NEAR(many.n_eff, weighted ? wv.sum() * wv.sum() / wv.squaredNorm() : 50.0, 1e-12);
    }
}

TEST(PermNull, StatisticsSkipFailedEntriesAndADegenerateNullFails) {
    const double nan = NAN;
    const Eigen::VectorXd beta_ref = Eigen::Vector2d(1.0, 2.0);
    // Rows: (1, 5), (3, 5), (NaN, NaN).
    const std::vector<double> rows = {1, 5, 3, 5, nan, nan};
    const auto s = perm_null_stats(rows, 2, beta_ref).value();
    EXPECT_EQ(s.mean, Eigen::Vector2d(2.0, 5.0));
    EXPECT_EQ(s.sd, Eigen::Vector2d(std::sqrt(2.0), 0.0));
    EXPECT_TRUE(s.z[0] == 1.0 / std::sqrt(2.0) && std::isnan(s.z[1]));
    // Half the rows failed still passes; more fails.
    EXPECT_TRUE(perm_null_stats({rows.data() + 2, 4}, 2, beta_ref).has_value());
    // Refits on values near the overflow limit give no finite coefficients.
    const Eigen::MatrixXd huge = 1e307 * resample_test::random_matrix(20, 3, 2);
    const Eigen::VectorXd y = resample_test::random_matrix(20, 1, 3).col(0);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1);
    const auto all_failed = run_engine(PermRoute::direct, view(huge), view(y), 2, std::nullopt,
                                       Eigen::Vector3d::Zero(), 100, false, 1, rng, 20.0);
    EXPECT_EQ(all_failed.error().as<VeltraError::PermNullDegenerate>().n_failed, 100u);
    const std::vector<double> worse = {1, 5, nan, 0, nan, nan};
    EXPECT_EQ(perm_null_stats(worse, 2, beta_ref).error().display().substr(0, 46),
              "permutation null degenerate: 2/3 null fits fai");
}

// A column whose largest entry is subnormal has the mean and spread of the
// textbook formulas in long double, where its entries are normal numbers;
// the other column keeps its own.
TEST(PermNull, StatisticsOfSubnormalEntriesAreTheTrueOnes) {
    const double unit = std::numeric_limits<double>::denorm_min();
    const std::vector<double> col = {3 * unit, -5 * unit, 7 * unit, 10 * unit, 14 * unit};
    std::vector<double> rows;
    for (std::size_t b = 0; b < col.size(); ++b) rows.insert(rows.end(), {double(b), col[b]});
    long double mean = 0, ss = 0;
    for (const double v : col) mean += v;
    mean /= 5;
    for (const double v : col) ss += (v - mean) * (v - mean);
    const auto s = perm_null_stats(rows, 2, Eigen::Vector2d(1.0, 1.0)).value();
    EXPECT_EQ(s.mean, Eigen::Vector2d(2.0, static_cast<double>(mean)));
    EXPECT_EQ(s.sd, Eigen::Vector2d(std::sqrt(2.5), static_cast<double>(std::sqrt(ss / 4))));
    EXPECT_TRUE(std::isnan(s.z[1]));
}
