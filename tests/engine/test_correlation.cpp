// The correlations and the Fisher z transform against textbook formulas in
// long double, and their answers for vectors without spread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "veltra/correlation.hpp"
#include "veltra/error.hpp"
#include "veltra/numeric.hpp"
#include "test_support.hpp"

using namespace veltra;
using test_support::random_matrix;

namespace {

constexpr double nan_v = std::numeric_limits<double>::quiet_NaN();

long double textbook_r(const Eigen::VectorXd& x, const Eigen::VectorXd& y) {
    const Eigen::Index n = x.size();
    long double mx = 0, my = 0, sxx = 0, syy = 0, sxy = 0;
    for (Eigen::Index i = 0; i < n; ++i) mx += x[i], my += y[i];
    mx /= n;
    my /= n;
    for (Eigen::Index i = 0; i < n; ++i) {
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
        sxy += (x[i] - mx) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}

}  // namespace

TEST(GuardedPearson, MatchesTheTextbookAndIgnoresScale) {
    const Eigen::MatrixXd xy = random_matrix(50, 2, 3);
    const Eigen::VectorXd x = xy.col(0), y = xy.col(1) + 0.5 * xy.col(0);
    const Eigen::ArrayXd a = x.array() - x.mean(), b = y.array() - y.mean();
    const double r = guarded_pearson(VecView::of(x), VecView::of(y));
    EXPECT_NEAR(r, (a * b).sum() / std::sqrt(a.square().sum() * b.square().sum()), 1e-14);
    const Eigen::VectorXd huge = x * 0x1p1000, tiny = y * 0x1p-1000;
    EXPECT_EQ(guarded_pearson(VecView::of(huge), VecView::of(tiny)), r);
    const Eigen::VectorXd flat = Eigen::VectorXd::Constant(50, 0.1);
    EXPECT_EQ(guarded_pearson(VecView::of(flat), VecView::of(y)), 0.0);
    EXPECT_EQ(guarded_pearson(VecView::of(x), VecView::of(flat)), 0.0);
    EXPECT_THROW(guarded_pearson(VecView::of(x), VecView{y.data(), 49, 1}), InternalFailure);
}

TEST(GuardedPearson, NanSpreadGivesZeroOnlyInTheSplitForm) {
    const Eigen::VectorXd a = Eigen::VectorXd::LinSpaced(6, 0, 5);
    Eigen::VectorXd with_nan = a;
    with_nan[3] = nan_v;
    EXPECT_EQ(guarded_pearson(VecView::of(with_nan), VecView::of(a)), 0.0);
    EXPECT_TRUE(std::isnan(pearson_r_guarded(VecView::of(with_nan), VecView::of(a))));
    // A NaN in y passes its guard in both forms.
    EXPECT_TRUE(std::isnan(guarded_pearson(VecView::of(a), VecView::of(with_nan))));
    // Perfectly related vectors stay within [-1, 1].
    const Eigen::VectorXd b = -3.0 * a;
    EXPECT_EQ(pearson_r_guarded(VecView::of(a), VecView::of(b)), -1.0);
}

TEST(Pow2Prescale, BringsTheLargestMagnitudeIntoOneToTwo) {
    const std::vector<double> v = {-3.0, 0.5, nan_v};
    EXPECT_EQ(pow2_prescale({v.data(), v.size(), 1}), 0.5);
    EXPECT_EQ(pow2_prescale({}), 0x1p1022);
    const std::vector<double> tiny = {0x1p-1070, 0.0};
    EXPECT_EQ(pow2_prescale({tiny.data(), 2, 1}), 0x1p1022);
    const std::vector<double> big = {0x1.8p1023};
    EXPECT_EQ(pow2_prescale({big.data(), 1, 1}), 0x1p-1022);
}

// 1 inside [2^-480, 2^480], so that ordinary values keep their bits; a
// power of two outside it that brings the largest magnitude near 1, and
// never past 2^1023, so that a subnormal one is not sent to infinity.
TEST(SpreadPrescale, OneInTheSafeRangeAndFiniteForSubnormals) {
    for (const double m : {0x1p-480, 1.0, 0x1p480, 0.0, nan_v})
        EXPECT_EQ(spread_prescale(m), 1.0) << m;
    EXPECT_EQ(spread_prescale(0x1.8p900), 0x1p-900);
    EXPECT_EQ(spread_prescale(0x1.8p-1000), 0x1p1000);
    EXPECT_EQ(spread_prescale(0x1p-1023), 0x1p1023);
    for (const double m : {0x1.8p-1024, 7e-323, std::numeric_limits<double>::denorm_min()}) {
        const double s = spread_prescale(m);
        EXPECT_EQ(s, 0x1p1023) << m;
        EXPECT_TRUE(m * s >= 0x1p-52 && m * s < 1.0) << m;
    }
}

TEST(HoldoutCorrelation, MatchesTheTextbookAndItsNanCases) {
    const Eigen::MatrixXd xy = random_matrix(30, 2, 5);
    const Eigen::VectorXd x = xy.col(0), y = xy.col(1) - 0.7 * xy.col(0);
    const double r = holdout_correlation(VecView::of(x), VecView::of(y));
    EXPECT_NEAR(r, double(textbook_r(x, y)), 1e-15);
    // A power of two outside [2^-480, 2^480] is taken out exactly; the
    // thresholds stay on the true sums, so tiny values have no spread.
    const Eigen::VectorXd huge = x * 0x1p900, tiny = y * 0x1p-900;
    EXPECT_EQ(holdout_correlation(VecView::of(huge), VecView::of(y)), r);
    EXPECT_TRUE(std::isnan(holdout_correlation(VecView::of(x), VecView::of(tiny))));
    // Fewer than two rows, and spreads not above 1e-30 in the values' own
    // units, give NaN; above it the correlation is an ordinary one.
    EXPECT_TRUE(std::isnan(holdout_correlation(VecView{x.data(), 1, 1}, VecView::of(y))));
    const Eigen::VectorXd steps = Eigen::VectorXd::LinSpaced(4, 0, 3);
    const Eigen::VectorXd small = steps * 1e-16, just_above = steps * 1e-15;
    EXPECT_TRUE(std::isnan(holdout_correlation(VecView::of(small), VecView::of(steps))));
    EXPECT_TRUE(std::isnan(holdout_correlation(VecView::of(steps), VecView::of(small))));
    EXPECT_EQ(holdout_correlation(VecView::of(just_above), VecView::of(steps)), 1.0);
}

TEST(FisherZ, IsAtanhWithTheSplitTestsClamp) {
    for (const double r : {-0.95, -0.3, 0.0, 0.1, 0.5, 0.99})
        EXPECT_NEAR(fisher_z_unclamped(r), double(std::atanh((long double)r)), 2e-16 * (1 + std::fabs(std::atanh(r))));
    EXPECT_EQ(fisher_z_unclamped(1.0), std::numeric_limits<double>::infinity());
    EXPECT_EQ(fisher_z(1.0), fisher_z_unclamped(0.9999));
    EXPECT_EQ(fisher_z(-2.0), fisher_z_unclamped(-0.9999));
    EXPECT_EQ(fisher_z(0.5), fisher_z_unclamped(0.5));
    EXPECT_TRUE(std::isnan(fisher_z(nan_v)) && std::isnan(fisher_z_unclamped(nan_v)));
}

// Eight columns at once give each column's own sums, bit for bit, in any
// layout and with columns of any scale, NaN and infinity included.
TEST(PrescaledSumsLanes, EachLaneIsItsColumnsSums) {
    Eigen::MatrixXd x = random_matrix(37, 8, 11), y = random_matrix(37, 8, 12);
    x.col(1) *= 0x1p1000;
    x.col(2) *= 0x1p-1060;
    x.col(3).setZero();
    x(5, 4) = nan_v;
    y(7, 6) = std::numeric_limits<double>::infinity();
    const test_support::RowMajor xr = x, yr = y;
    for (const std::size_t w : {8, 5, 1})
        for (const bool row_major : {true, false}) {
            const auto block = [&](const Eigen::MatrixXd& c, const test_support::RowMajor& r) {
                return row_major ? MatView{r.data(), 37, w, 8, 1} : MatView{c.data(), 37, w, 1, 37};
            };
            const MatView xv = block(x, xr), yv = block(y, yr);
            PrescaledSums sx[8], sy[8];
            double cross[8];
            prescaled_sums_lanes(xv, sx);
            prescaled_sums_lanes(yv, sy);
            prescaled_cross_lanes(xv, sx, yv, sy, cross);
            for (std::size_t l = 0; l < w; ++l) {
                SCOPED_TRACE(::testing::Message() << "width " << w << " column " << l);
                const Eigen::VectorXd a = x.col(to_index(l)), b = y.col(to_index(l));
                const PrescaledSums ea = prescaled_sums(VecView::of(a));
                const PrescaledSums eb = prescaled_sums(VecView::of(b));
                for (const auto& [got, want] : {std::pair{sx[l], ea}, std::pair{sy[l], eb}}) {
                    EXPECT_TRUE(test_support::same_bits(got.scale, want.scale));
                    EXPECT_TRUE(test_support::same_bits(got.mean, want.mean));
                    EXPECT_TRUE(test_support::same_bits(got.centred, want.centred));
                    EXPECT_TRUE(test_support::same_bits(got.raw, want.raw));
                }
                // The cross sum is prescaled_correlation's numerator.
                const double r = prescaled_correlation(VecView::of(a), ea, VecView::of(b), eb);
                const double from_lanes = cross[l] / std::sqrt(ea.centred * eb.centred);
                if (std::isnan(r)) {
                    EXPECT_TRUE(std::isnan(from_lanes));
                } else {
                    EXPECT_EQ(std::clamp(from_lanes, -1.0, 1.0), r);
                }
                if (l < 3) {
                    EXPECT_NEAR(r, static_cast<double>(textbook_r(a, b)), 1e-14);
                }
            }
        }
}
