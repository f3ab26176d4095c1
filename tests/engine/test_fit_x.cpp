#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "veltra/component_loop.hpp"
#include "veltra/error.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/standardize.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;

namespace {

void expect_same(const FitX& a, const FitX& b) {
    EXPECT_TRUE(same_bits(a.mean, b.mean) && same_bits(a.scale, b.scale) && same_bits(a.fro, b.fro));
}

// Columns of different means and spreads, column 3 constant.
Eigen::MatrixXd data(Eigen::Index n, Eigen::Index p, unsigned seed) {
    Eigen::MatrixXd m = random_matrix(n, p, seed, 3.0);
    for (Eigen::Index j = 0; j < p; ++j) m.col(j) *= std::pow(2.0, double(j % 9) - 4);
    if (p > 3) m.col(3).setConstant(7.5);
    return m;
}

std::vector<double> weights_for(std::size_t n) {
    std::vector<double> w(n);
    for (std::size_t i = 0; i < n; ++i) w[i] = double((i * 7) % 5);  // some zero
    return w;
}

}  // namespace

TEST(FitX, RowListsOnEveryPath) {
    const Eigen::MatrixXd x = data(1400, 19, 3);
    const RowMajor xr = x;
    std::vector<std::uint64_t> rows;
    for (std::uint64_t i = 0; i < 1400; i += 1) rows.push_back((i * 37) % 1400);
    rows.push_back(5);  // repeated row; 1401 used rows, streamed when row-major
    Eigen::MatrixXd picked(rows.size(), 19);
    for (std::size_t i = 0; i < rows.size(); ++i) picked.row(i) = x.row(rows[i]);
    const std::vector<double> w = weights_for(rows.size());
    const VecView wv{w.data(), w.size(), 1};
    const FitX ref = fit_x_moments(MatView::of(picked), std::nullopt, wv, par_sequential);
    expect_same(ref, fit_x_moments(MatView::of(x), RowList(rows), wv, par_parallel));
    expect_same(ref, fit_x_moments(MatView::row_major(xr.data(), 1400, 19), RowList(rows), wv,
                                   par_parallel));
    const std::vector<std::uint64_t> bad = {1400};
    EXPECT_THROW(fit_x_moments(MatView::row_major(xr.data(), 1400, 19), RowList(bad), std::nullopt,
                               par_sequential),
                 InternalFailure);
}

TEST(FitX, MaterializeAppliesMomentsAndMultipliers) {
    const Eigen::MatrixXd x = data(9, 6, 5);
    const RowMajor xr = x;
    FitX f = fit_x_moments(MatView::of(x), std::nullopt, std::nullopt, par_sequential);
    const Eigen::MatrixXd z = f.materialize(MatView::of(x));
    for (Eigen::Index j = 0; j < 6; ++j)
        for (Eigen::Index i = 0; i < 9; ++i) EXPECT_EQ(z(i, j), (x(i, j) - f.mean[j]) / f.scale[j]);
    EXPECT_EQ(f.materialize(MatView::row_major(xr.data(), 9, 6)), z);
    f.row_multipliers = Eigen::VectorXd::LinSpaced(9, 0, 2);
    const Eigen::MatrixXd zm = f.materialize(MatView::of(x));
    for (Eigen::Index j = 0; j < 6; ++j)
        for (Eigen::Index i = 0; i < 9; ++i) EXPECT_EQ(zm(i, j), z(i, j) * (*f.row_multipliers)[i]);
    f.row_multipliers = Eigen::VectorXd::Ones(8);
    EXPECT_THROW(f.materialize(MatView::of(x)), InternalFailure);
}

TEST(FitX, CrossFormedWithTheMomentsHasTheLoopsBits) {
    // Row-major X with more than 1024 rows is streamed in strips (partial
    // groups of columns, several strips per chunk); other layouts take the
    // column path. The start vector of the loop must not change by a bit.
    const std::vector<std::pair<Eigen::Index, Eigen::Index>> shapes = {
        {1, 1}, {7, 3}, {40, 21}, {1030, 13}, {2100, 70}, {9000, 9}, {300, 300}};
    for (auto [n, p] : shapes) {
        const Eigen::MatrixXd x = data(n, p, 9);
        const Eigen::VectorXd y = random_matrix(n, 1, 10);
        std::vector<double> w = weights_for(std::size_t(n));
        w[0] = 3.0;  // not all zero on one row
        const Eigen::VectorXd wm = renormalize_mean_one(VecView{w.data(), w.size(), 1});
        const Eigen::VectorXd m = wm.cwiseSqrt();
        for (const bool weighted : {false, true}) {
            const std::optional<VecView> wv =
                weighted ? std::optional(VecView::of(wm)) : std::nullopt;
            // The loop's y_s is row-scaled, and its X'z scales it once more.
            const Eigen::VectorXd ys = weighted ? Eigen::VectorXd(y.cwiseProduct(m)) : y;
            const Eigen::VectorXd z =
                ImplicitXBackend::cross_factors(view(ys), weighted ? m.data() : nullptr);
            // X'z in long double: the order of the sums may not move it.
            const Eigen::Matrix<long double, Eigen::Dynamic, 1> want =
                x.cast<long double>().transpose() * z.cast<long double>();
            const FitX plain = fit_x_moments_mean_one(view(x), std::nullopt, wv, par_sequential);
            Eigen::VectorXd first;
            for (Layout layout : all_layouts)
                for (Par par : {par_sequential, par_parallel}) {
                    const Stored s = store(x, layout);
                    Eigen::VectorXd xt_z;
                    FitX fx = fit_x_moments_with_cross(s.view, wv, z.data(), xt_z, par);
                    expect_same(fx, plain);
                    if (first.size() == 0) first = xt_z;
                    EXPECT_TRUE(same_bits(xt_z, first)) << n << " x " << p;
                    for (Eigen::Index j = 0; j < p; ++j)
                        EXPECT_NEAR(xt_z[j], double(want[j]),
                                    1e-13 * double(1 + std::abs(want[j]))) << j;
                    // The loop's own X'z of the same z.
                    if (weighted) fx.row_multipliers = m;
                    ImplicitXBackend own(s.view, fx, par), given(s.view, fx, par);
                    given.use_cross(&xt_z);
                    EXPECT_TRUE(same_bits(own.cross(view(ys)), given.cross(view(ys))))
                        << n << " x " << p;
                }
        }
    }
}
