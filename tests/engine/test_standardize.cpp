#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/standardize.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;

namespace {

constexpr double nan_v = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_v = std::numeric_limits<double>::infinity();

// Textbook moments in long double: two-pass weighted mean and standard
// deviation with divisor n (weights used as given), and the near-constant
// rule written out on the unscaled values.
struct Ref {
    long double mean, scale;
    bool near_constant;
};

Ref reference(const std::vector<double>& x, const std::vector<double>& w = {}) {
    const std::size_t n = x.size();
    auto wt = [&](std::size_t i) -> long double { return w.empty() ? 1.0L : w[i]; };
    long double sum = 0, sq = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += wt(i) * x[i];
        sq += wt(i) * (long double)x[i] * x[i];
    }
    const long double mean = sum / n;
    long double dev = 0;
    for (std::size_t i = 0; i < n; ++i) dev += wt(i) * (x[i] - mean) * (x[i] - mean);
    const long double sd = std::sqrt(dev / n);
    const long double tol = (2.0L * n * 0x1p-52L) * (2.0L * n * 0x1p-52L) * sq;
    const bool near = sd < 0x1p-1022L || dev <= tol;
    return {mean, near ? std::max(std::fabs(mean), 1.0L) : sd, near};
}

void expect_close(double got, long double want, double rel = 1e-13) {
    EXPECT_NEAR(got, (double)want, rel * std::fabs((double)want) + 1e-300) << "want " << (double)want;
}

std::vector<double> column_of(const Eigen::MatrixXd& m, Eigen::Index j) {
    return std::vector<double>(m.col(j).data(), m.col(j).data() + m.rows());
}

// Means from -50 up, spreads from 1e-3 to 1e3.
Eigen::MatrixXd spread_matrix(Eigen::Index n, Eigen::Index p, unsigned seed) {
    Eigen::MatrixXd m = random_matrix(n, p, seed);
    for (Eigen::Index j = 0; j < p; ++j)
        m.col(j) = (m.col(j) * std::pow(10.0, double(j % 7) - 3)).array() + (10.0 * j - 50.0);
    return m;
}

}  // namespace

TEST(ScaleRule, NearConstantColumnsUseTheMean) {
    const double c = 1.0 + 0x1p-52;
    const std::vector<std::vector<double>> cols = {
        {0, 0, 0, 0},          // all zero: mean 0, scale 1
        {-3, -3, -3, -3},      // constant: scale |c|
        {0.25, 0.25, 0.25},    // constant below 1: scale 1
        {1, c, 1, c},          // spread at the rounding floor
        {1e300, 1e300, 1e300}, // huge constant, no overflow
        {1e-300, 1e-300},      // tiny constant, no underflow trouble
    };
    const std::vector<double> want_scale = {1, 3, 1, 1 + 0x1p-53, 1e300, 1};
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const auto& v = cols[k];
        const Ref ref = reference(v);
        EXPECT_TRUE(ref.near_constant) << k;
        const Standardized1 r = standardize1_weighted(view(v));
        expect_close(r.mean, ref.mean);
        expect_close(r.scale, want_scale[k], 1e-15);
        for (Eigen::Index i = 0; i < r.y_std.size(); ++i) EXPECT_NEAR(r.y_std[i], 0.0, 1e-15);
    }
    // Just above the floor the standard deviation is used.
    const std::vector<double> spread = {1, 1 + 1e-10, 1, 1 + 1e-10};
    const Ref ref = reference(spread);
    EXPECT_FALSE(ref.near_constant);
    expect_close(standardize1_weighted(view(spread)).scale, ref.scale, 1e-9);
}

TEST(ScaleRule, ExtremeMagnitudesKeepFullPrecision) {
    // Above 2^1023: the squares would overflow without the prescale.
    const std::vector<double> huge = {1.7e308, -1.6e308, 1.0e308, 0.5e308, -1.1e308};
    // Below 1e-300: the squares would underflow without it.
    const std::vector<double> tiny = {1e-300, 3e-300, 2e-300, -4e-300};
    for (const auto& v : {huge, tiny}) {
        const Ref ref = reference(v);
        EXPECT_FALSE(ref.near_constant);
        const Standardized1 r = standardize1_weighted(view(v));
        expect_close(r.mean, ref.mean);
        expect_close(r.scale, ref.scale);
        const ScaledMoments m = scaled_moments(view(v));
        EXPECT_EQ(m.s * m.inv_s, 1.0);
        EXPECT_TRUE(std::isnormal(m.s) && std::isnormal(m.inv_s));
    }
    EXPECT_EQ(scaled_moments(view(huge)).s, 0x1p1022);
}

TEST(ScaleRule, OppositeSignsNearTheLimitStandardiseFinitely) {
    // x - mean overflows here although every standardised value is ordinary;
    // the long-double reference has the exponent range to form it directly.
    constexpr double M = std::numeric_limits<double>::max();
    const std::vector<std::vector<double>> columns = {
        {-M, M, M, 0}, {1.7e308, -1.7e308, 1e308, 0}, {-M, M, M, M, 0.5}};
    for (const auto& v : columns) {
        const std::size_t n = v.size();
        const Ref ref = reference(v);
        Eigen::MatrixXd x(n, 2);
        for (std::size_t i = 0; i < n; ++i) x(i, 0) = x(i, 1) = v[i];
        const Standardized1 one = standardize1_weighted(view(v));
        const std::vector<double> ones(n, 1.0), mult(n, 2.0);
        const Standardized block = standardize_weighted(view(x), view(ones));
        const StandardizedFro rows = standardize_columns(view(x), std::nullopt, std::nullopt, view(mult));
        const Eigen::MatrixXd applied = standardize_apply(view(x), view(block.mean), view(block.scale));
        std::vector<std::uint64_t> all(n);
        for (std::size_t i = 0; i < n; ++i) all[i] = i;
        const Eigen::MatrixXd listed = standardize_apply_rows(
            view(x), all, view(block.mean), view(block.scale));
        FitX fx = fit_x_moments(view(x), std::nullopt, std::nullopt, par_sequential);
        const Eigen::MatrixXd formed = fx.materialize(view(x));
        for (std::size_t i = 0; i < n; ++i) {
            const long double want = (v[i] - ref.mean) / ref.scale;
            expect_close(one.y_std[i], want);
            expect_close(block.x_std(i, 1), want);
            expect_close(rows.x_std(i, 0), 2 * want);
            expect_close(applied(i, 0), want);
            expect_close(listed(i, 1), want);
            expect_close(formed(i, 1), want);
        }
    }
    EXPECT_NEAR(standardize1_weighted(view(columns[0])).y_std[0], -1.5075567, 1e-7);
}

TEST(ScaleRule, EmptyInputs) {
    const Eigen::MatrixXd none(0, 3);
    const StandardizedTerms r = standardize_columns_terms(view(none), std::nullopt,
                                                          std::nullopt, std::nullopt, true);
    for (int j = 0; j < 3; ++j)
        EXPECT_TRUE(std::isnan(r.mean[j]) && r.scale[j] == 1.0 && same_bits(r.terms[j], -0.0));
    const Eigen::MatrixXd no_cols(5, 0);
    const StandardizedFro f = standardize_columns(view(no_cols));
    EXPECT_TRUE(f.mean.size() == 0 && f.fro == 0.0 && f.x_std.rows() == 5);
}

TEST(Weighted, MeanOneRescalingOnlyWhereDocumented) {
    const std::vector<double> y = {1, 2, 3, 5}, w = {4, 0, 2, 2}, w1 = {2, 0, 1, 1};
    const VecView yv{y.data(), 4, 1};
    const Standardized1 a = standardize1_weighted(yv, view(w));
    const Standardized1 b = standardize1_weighted(yv, view(w1));
    EXPECT_TRUE(a.mean == b.mean && a.scale == b.scale);
    expect_close(a.mean, reference(y, w1).mean);  // (2 + 3 + 5) / 4 = 2.5
    EXPECT_DOUBLE_EQ(a.mean, 2.5);
    // Weights taken unchanged: the divisor stays the row count.
    const ScaledMoments m = scaled_moments(yv, view(w));
    EXPECT_DOUBLE_EQ(m.m * m.s, 5.0);
    const Eigen::Map<const Eigen::MatrixXd> ym(y.data(), 4, 1);
    const StandardizedFro c = standardize_columns(MatView::of(ym), std::nullopt, view(w));
    EXPECT_DOUBLE_EQ(c.mean[0], 5.0);
    const std::vector<std::uint64_t> all = {0, 1, 2, 3};
    const StandardizedFro d = standardize_rows_fro(MatView::of(ym), all, view(w));
    EXPECT_TRUE(d.mean[0] == a.mean && d.scale[0] == a.scale);
}

TEST(Weighted, MeanOneVariantsUseTheirWeightsUnchanged) {
    // Weights 4, 0, 2, 2 taken as they are: the mean is (4 + 6 + 10) / 4 = 5,
    // twice the weighted mean, as for standardize_columns.
    const std::vector<double> y = {1, 2, 3, 5}, w = {4, 0, 2, 2}, w1 = {2, 0, 1, 1};
    const VecView yv{y.data(), 4, 1};
    EXPECT_DOUBLE_EQ(standardize1_mean_one(yv, view(w)).mean, 5.0);
    // Weights that already have mean one give the rescaling variant's bits.
    const Standardized1 a = standardize1_weighted(yv, view(w));
    const Standardized1 b = standardize1_mean_one(yv, view(w1));
    EXPECT_TRUE(same_bits(a.mean, b.mean) && same_bits(a.scale, b.scale) && a.y_std == b.y_std);
    // The same for the fit's column moments, strided weights included.
    const Eigen::MatrixXd x = spread_matrix(7, 10, 5);
    const std::vector<double> wx = {0.5, 1.5, 1, 1, 2, 0.25, 0.75};
    const Eigen::VectorXd rescaled = renormalize_mean_one(view(wx));
    const Eigen::VectorXd reversed = rescaled.reverse();
    const VecView strided{reversed.data() + 6, 7, -1};
    const FitX f = fit_x_moments(view(x), std::nullopt, view(wx), par_sequential);
    for (const VecView v : {VecView::of(rescaled), strided}) {
        const FitX g = fit_x_moments_mean_one(view(x), std::nullopt, v, par_sequential);
        EXPECT_TRUE(same_bits(f.fro, g.fro) && f.mean == g.mean && f.scale == g.scale);
    }
}

TEST(Weighted, RowMultipliersScaleOnlyTheOutput) {
    const Eigen::MatrixXd x = spread_matrix(7, 10, 3);
    const std::vector<double> w = {0.5, 1.5, 1, 1, 2, 0.25, 0.75};
    const std::vector<double> mult = {2, 0, 1, 0.5, 3, 1, -1};
    const VecView wv{w.data(), 7, 1}, mv{mult.data(), 7, 1};
    const StandardizedFro plain = standardize_columns(view(x), std::nullopt, wv);
    const StandardizedFro scaled = standardize_columns(view(x), std::nullopt, wv, mv);
    EXPECT_TRUE(same_bits(plain.mean, scaled.mean) && same_bits(plain.scale, scaled.scale) &&
                same_bits(plain.fro, scaled.fro));
    for (Eigen::Index j = 0; j < x.cols(); ++j)
        for (Eigen::Index i = 0; i < 7; ++i)
            EXPECT_EQ(scaled.x_std(i, j), mult[i] * plain.x_std(i, j));
    // fro is the norm of the standardised values times sqrt(w_i).
    long double fro2 = 0;
    for (Eigen::Index j = 0; j < x.cols(); ++j)
        for (Eigen::Index i = 0; i < 7; ++i) fro2 += w[i] * plain.x_std(i, j) * plain.x_std(i, j);
    expect_close(plain.fro, std::sqrt(fro2), 1e-12);
}

TEST(RowLists, RepeatedAndReorderedRows) {
    const Eigen::MatrixXd x = spread_matrix(8, 9, 5);
    const std::vector<std::uint64_t> rows = {7, 2, 2, 0, 5};
    Eigen::MatrixXd picked(5, 9);
    for (int i = 0; i < 5; ++i) picked.row(i) = x.row(rows[i]);
    const StandardizedFro a = standardize_rows_fro(view(x), rows);
    const StandardizedFro b = standardize_columns(view(picked));
    EXPECT_TRUE(same_bits(a.x_std, b.x_std));
    EXPECT_TRUE(same_bits(row_subset(view(x), rows), picked));
    const Eigen::MatrixXd z = standardize_apply_rows(view(x), rows, view(a.mean), view(a.scale));
    EXPECT_TRUE(same_bits(z, a.x_std));
    const std::vector<std::uint64_t> bad = {8};
    EXPECT_THROW(standardize_rows_fro(view(x), bad), InternalFailure);
    EXPECT_THROW(row_subset(view(x), bad), InternalFailure);
    EXPECT_THROW(standardize_apply_rows(view(x), bad, view(a.mean), view(a.scale)),
                 InternalFailure);
}

TEST(Apply, StoredMomentsInAnyLayout) {
    const Eigen::MatrixXd x = spread_matrix(6, 4, 6);
    const Eigen::VectorXd mean = Eigen::VectorXd::LinSpaced(4, -1, 2);
    const Eigen::VectorXd scale = Eigen::VectorXd::LinSpaced(4, 0.5, 3);
    const Eigen::MatrixXd z = standardize_apply(view(x), view(mean), view(scale));
    for (Eigen::Index j = 0; j < 4; ++j)
        for (Eigen::Index i = 0; i < 6; ++i) EXPECT_EQ(z(i, j), (x(i, j) - mean[j]) / scale[j]);
    const std::vector<std::uint64_t> rows = {3, 0};
    const std::vector<double> mult = {2, 0.5};
    const Eigen::MatrixXd zm = standardize_apply_rows(view(x), rows, view(mean), view(scale), view(mult));
    for (Eigen::Index j = 0; j < 4; ++j) EXPECT_TRUE(zm(0, j) == 2 * z(3, j) && zm(1, j) == 0.5 * z(0, j));
    EXPECT_THROW(standardize_apply(view(x), VecView{mean.data(), 3, 1}, view(scale)),
                 InternalFailure);
}

TEST(WeightLengths, MismatchesAreBrokenInvariants) {
    const std::vector<double> y = {1, 2, 3, 4}, w = {1, 1, 1};
    const Eigen::MatrixXd x = Eigen::MatrixXd::Ones(4, 2);
    EXPECT_EQ(failure_of([&] { standardize1_weighted(view(y), view(w)); }),
              "standardize1_weighted: weights has 3 rows, y has 4");
    EXPECT_EQ(failure_of([&] { standardize_weighted(view(x), view(w)); }),
              "standardize_weighted: weights has 3 rows, x has 4");
    EXPECT_NE(failure_of([&] { standardize_columns(view(x), std::nullopt, view(w)); }), "no failure");
}

TEST(ElementKernels, Values) {
    const std::vector<double> w = {4, 0, 2, 2};
    const Eigen::VectorXd r = renormalize_mean_one(view(w));
    EXPECT_EQ(r, Eigen::Vector4d(2, 0, 1, 1));
    const std::vector<double> v = {4, 9, 0.25};
    EXPECT_EQ(sqrt_col(view(v)), Eigen::Vector3d(2, 3, 0.5));
    const std::vector<std::uint64_t> rows = {2, 0, 2};
    EXPECT_EQ(col_row_subset(view(v), rows), Eigen::Vector3d(0.25, 4, 0.25));
    const std::vector<std::uint64_t> bad = {3};
    EXPECT_THROW(col_row_subset(view(v), bad), InternalFailure);
}

namespace {

// The scale rule step by step on one column, as plain scalar code: the bits
// every path must reproduce.
struct Literal {
    double mean, scale, term;
};

Literal literal_rule(const std::vector<double>& x, const std::vector<double>& w) {
    const std::size_t n = x.size();
    double big = 0.0;
    for (double v : x) big = std::fabs(v) > big ? std::fabs(v) : big;
    std::uint64_t e = (std::bit_cast<std::uint64_t>(big) >> 52) & 0x7ff;
    e = e < 1 ? 1 : (e > 2045 ? 2045 : e);
    const double s = std::bit_cast<double>(e << 52), inv = std::bit_cast<double>((2046 - e) << 52);
    double sum = -0.0, ref = -0.0, ss = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double u = x[i] * inv;
        sum += w.empty() ? u : w[i] * u;
        ref += w.empty() ? u * u : w[i] * (u * u);
    }
    const double nd = double(n), m = sum / nd;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = x[i] * inv - m;
        ss += w.empty() ? d * d : w[i] * (d * d);
    }
    const double mean = m * s, sd = s * std::sqrt(ss / nd), d = (nd + nd) * 0x1p-52;
    const bool near = sd < 0x1p-1022 || ss <= d * d * ref;
    const double scale = near ? std::fmax(std::fabs(mean), 1.0) : sd;
    return {mean, scale, std::sqrt(ss) * (s / scale)};
}

}  // namespace

TEST(ScaleRule, EveryPathGivesTheBitsOfTheLiteralRule) {
    // Columns over the whole range of magnitudes, mixed dynamic ranges,
    // subnormals, signed zeros and extreme weights: some sums can be formed
    // unscaled and rescaled exactly, others cannot.
    std::mt19937_64 gen(11);
    std::uniform_int_distribution<int> expo(-1070, 1023), width(0, 700), kind(0, 5);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const std::size_t n = 1100, p = 96;
    Eigen::MatrixXd x(n, p);
    for (Eigen::Index j = 0; j < Eigen::Index(p); ++j) {
        const int top = expo(gen), span = j % 3 == 0 ? width(gen) : 20;
        const int k = kind(gen);
        for (Eigen::Index i = 0; i < Eigen::Index(n); ++i) {
            double v = std::ldexp(unit(gen), top - int(gen() % (span + 1)));
            if (k == 1 && i % 7 == 0) v = 0.0;
            if (k == 2 && i % 5 == 0) v = -0.0;
            if (k == 3) v = std::ldexp(1.5, top);  // constant
            if (k == 4 && i % 11 == 0) v = std::ldexp(unit(gen), -1060);  // subnormal
            if (k == 5) v = std::ldexp(1.0 + double(i % 2) * 0x1p-52, top);  // one ulp apart
            x(i, j) = std::isfinite(v) ? v : 1.0;
        }
    }
    // Near-constant columns whose squares leave the normal range unscaled.
    for (const int top : {-520, -600, -900, -1000, 600})
        for (Eigen::Index i = 0; i < Eigen::Index(n); ++i)
            x(i, 90 + (top < 0 ? -top / 300 : 4)) = std::ldexp(1.0 + double(i % 2) * 0x1p-52, top);
    std::vector<std::vector<double>> weight_sets = {{}, std::vector<double>(n), std::vector<double>(n),
                                                    std::vector<double>(n), std::vector<double>(n)};
    for (std::size_t i = 0; i < n; ++i) {
        weight_sets[1][i] = double(gen() % 4) * 0.5;                      // zeros included
        weight_sets[2][i] = i % 3 == 0 ? 1e-300 : 1.0 + unit(gen);        // tiny weights
        weight_sets[3][i] = i % 9 == 0 ? 0x1p600 : std::fabs(unit(gen));  // huge weights
        weight_sets[4][i] = std::ldexp(1.0 + std::fabs(unit(gen)), -1000);  // all tiny
    }
    const Eigen::Matrix<double, -1, -1, Eigen::RowMajor> xr = x;
    int mismatches = 0;
    for (const auto& w : weight_sets) {
        const std::optional<VecView> wv = w.empty() ? std::nullopt : std::optional<VecView>(view(w));
        const StandardizedTerms col = standardize_columns_terms(view(x), std::nullopt, wv,
                                                                std::nullopt, false);
        const StandardizedTerms row = standardize_columns_terms(
            MatView::row_major(xr.data(), n, p), std::nullopt, wv, std::nullopt, false);
        for (std::size_t j = 0; j < p; ++j) {
            const std::vector<double> v = column_of(x, Eigen::Index(j));
            const Literal want = literal_rule(v, w);
            for (const StandardizedTerms* r : {&col, &row}) {
                const bool ok = same_bits(r->mean[j], want.mean) &&
                                same_bits(r->scale[j], want.scale) &&
                                same_bits(r->terms[j], want.term);
                mismatches += !ok;
                EXPECT_TRUE(ok) << "column " << j << ": " << r->mean[j] << " " << r->scale[j] << " "
                                << r->terms[j] << " vs " << want.mean << " " << want.scale << " "
                                << want.term;
            }
            const ScaledMoments one = scaled_moments(view(v), wv);
            const double mean_one = one.m * one.s;
            EXPECT_TRUE(same_bits(mean_one, want.mean)) << j;
        }
        // The streamed row-major pass of the fit-time moments (1100 rows).
        std::vector<double> wn;
        if (wv) {
            const Eigen::VectorXd r = renormalize_mean_one(*wv);
            wn.assign(r.data(), r.data() + n);
        }
        const FitX f = fit_x_moments(MatView::row_major(xr.data(), n, p), std::nullopt, wv, par_parallel);
        for (std::size_t j = 0; j < p; ++j) {
            const Literal want = literal_rule(column_of(x, Eigen::Index(j)), wn);
            const bool ok = same_bits(f.mean[j], want.mean) && same_bits(f.scale[j], want.scale);
            mismatches += !ok;
            EXPECT_TRUE(ok) << "streamed column " << j;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(ScaleRule, StreamedPassFindsExtremesInOddAndLastRows) {
    // The streamed pass of a row-major X keeps the extremes of rows at even
    // and at odd offsets apart: a column whose largest magnitude (or a
    // subnormal) sits only in an odd row or in the last row of an odd count
    // must still give the literal rule's bits, with and without X'z.
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    for (const std::size_t n : {37, 38}) {
        const std::size_t p = 16;
        Eigen::MatrixXd x(n, p);
        for (Eigen::Index j = 0; j < Eigen::Index(p); ++j) {
            for (Eigen::Index i = 0; i < Eigen::Index(n); ++i)
                x(i, j) = std::ldexp(unit(gen), -1000) * (i % 3 == 0 ? -1.0 : 1.0);
            const Eigen::Index at = j % 2 == 0 ? Eigen::Index(n) - 1 : 2 * (j % 7) + 1;
            x(at, j) = j < 8 ? std::ldexp(1.25, 1000 - int(j)) : std::ldexp(1.0, -1070);
        }
        const Eigen::Matrix<double, -1, -1, Eigen::RowMajor> xr = x;
        const MatView rows = MatView::row_major(xr.data(), n, p);
        const Eigen::VectorXd z = Eigen::VectorXd::LinSpaced(Eigen::Index(n), -1.0, 2.0);
        Eigen::VectorXd xt_z;
        for (const FitX& f : {fit_x_moments(rows, std::nullopt, std::nullopt, par_sequential),
                              fit_x_moments_with_cross(rows, std::nullopt, z.data(), xt_z,
                                                       par_parallel)})
            for (std::size_t j = 0; j < p; ++j) {
                const Literal want = literal_rule(column_of(x, Eigen::Index(j)), {});
                EXPECT_TRUE(same_bits(f.mean[j], want.mean) && same_bits(f.scale[j], want.scale))
                    << n << " rows, column " << j;
            }
    }
}
