#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "pls3_reference.hpp"
#include "veltra/pls3.hpp"

using namespace veltra;
using namespace pls3_test;

namespace {

const std::string weights_message =
    "observation weights are not implemented for pls3_fit; pass weights=None. The weighted PLS3 "
    "path row-scales (X, Y) by \u221aw before forming X'Y and is not implemented yet across the "
    "PLS2/PLS3 family.";
const std::string overflow_message =
    "non-finite result from finite inputs: values are too large for double precision; rescale "
    "the data or let the fit standardize it";

// Checks a model against the textbook computation on the same data.
void expect_matches_reference(const Pls3Model& m, const Eigen::MatrixXd& x,
                              const Eigen::MatrixXd& y, double tol) {
    const LMat zx = standardized(x), zy = standardized(y);
    const RefSvd ref = reference_svd(zx, zy);
    const Eigen::Index k = static_cast<Eigen::Index>(m.k_used);
    ASSERT_EQ(m.U.cols(), k);
    const double s0 = static_cast<double>(ref.s(0));
    for (Eigen::Index a = 0; a < k; ++a)
        EXPECT_NEAR(m.singular_values[a], static_cast<double>(ref.s(a)), tol * s0) << a;
    EXPECT_LT(max_abs_diff(m.U, ref.U.leftCols(k)), 1e3 * tol);
    EXPECT_LT(max_abs_diff(m.V, ref.V.leftCols(k)), 1e3 * tol);
    const LMat tx = zx * ref.U.leftCols(k), ty = zy * ref.V.leftCols(k);
    EXPECT_LT(max_abs_diff(m.x_scores, tx), 1e3 * tol * std::sqrt(double(x.rows())));
    EXPECT_LT(max_abs_diff(m.y_scores, ty), 1e3 * tol * std::sqrt(double(x.rows())));
    const LMat mx = column_means(x), my = column_means(y);
    EXPECT_LT(max_abs_diff(m.X_mean, mx), 1e-12 * (1 + double(mx.cwiseAbs().maxCoeff())));
    EXPECT_LT(max_abs_diff(m.Y_mean, my), 1e-12 * (1 + double(my.cwiseAbs().maxCoeff())));
}

}  // namespace

TEST(Pls3Fit, ImplicitAndExplicitPreparationAgree) {
    const Eigen::MatrixXd x = random_block(40, 6, 3);
    const Eigen::MatrixXd y = related_block(x, 4, 4);
    auto prep = prepare(view(x), view(y), 3, std::nullopt, {});
    ASSERT_TRUE(prep && prep->prepared.implicit && !prep->prepared.X_std);
    const Eigen::MatrixXd w = random_block(6, 3, 33, 0.0);
    const Eigen::MatrixXd c_implicit = prep->C;
    const Eigen::MatrixXd t_implicit = prep->prepared.x_scores(w);
    const Eigen::MatrixXd c_explicit = prep->prepared.materialize();
    EXPECT_FALSE(prep->prepared.implicit);
    const LMat zx = standardized(x), zy = standardized(y);
    const LMat c_ref = zx.transpose() * zy;
    const double c_scale = static_cast<double>(c_ref.cwiseAbs().maxCoeff());
    EXPECT_LT(max_abs_diff(c_implicit, c_ref), 1e-13 * c_scale);
    EXPECT_LT(max_abs_diff(c_explicit, c_ref), 1e-13 * c_scale);
    const LMat t_ref = zx * w.cast<long double>();
    EXPECT_LT(max_abs_diff(t_implicit, t_ref), 1e-12);
    EXPECT_LT(max_abs_diff(prep->prepared.x_scores(w), t_ref), 1e-12);

    // Large means against the scales, or n <= k, prepare explicitly.
    Eigen::MatrixXd shifted = x;
    shifted.col(2).array() += 1e5;
    auto ps = prepare(view(shifted), view(y), 3, std::nullopt, {});
    ASSERT_TRUE(ps && !ps->prepared.implicit && ps->prepared.X_std);
    EXPECT_GT(ps->prepared.mean_ratio, 1000.0);
    auto m_shifted = pls3_fit(view(shifted), view(y), 3, std::nullopt, {});
    ASSERT_TRUE(m_shifted);
    expect_matches_reference(*m_shifted, shifted, y, 1e-11);
    EXPECT_FALSE(m_shifted->keep_X || m_shifted->keep_Y || m_shifted->converged || m_shifted->n_iter);

    const Eigen::MatrixXd xs = x.topRows(3), ys = y.topRows(3);
    EXPECT_FALSE(prepare(view(xs), view(ys), 3, std::nullopt, {})->prepared.implicit);  // n <= k
    EXPECT_TRUE(prepare(view(xs), view(ys), 2, std::nullopt, {})->prepared.implicit);
}

TEST(Pls3Fit, PreStandardizedBlocksAreUsedAsGiven) {
    const Eigen::MatrixXd x = random_block(30, 5, 5);
    const Eigen::MatrixXd y = related_block(x, 3, 6);
    Pls3FitOpts opts;
    opts.pre_standardized_X = opts.pre_standardized_Y = true;
    auto m = pls3_fit(view(x), view(y), 3, std::nullopt, opts);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->pre_standardized_X && m->pre_standardized_Y && m->X_mean == Eigen::VectorXd::Zero(5) &&
                m->X_scale == Eigen::VectorXd::Ones(5) && m->Y_mean == Eigen::VectorXd::Zero(3) &&
                m->Y_scale == Eigen::VectorXd::Ones(3));
    EXPECT_LT((m->x_scores - x * m->U).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_LT((m->y_scores - y * m->V).cwiseAbs().maxCoeff(), 1e-12);

    // Only one block given standardised.
    Pls3FitOpts only_y;
    only_y.pre_standardized_Y = true;
    auto my = pls3_fit(view(x), view(y), 2, std::nullopt, only_y);
    ASSERT_TRUE(my);
    const RefSvd ref_y = reference_svd(standardized(x), y.cast<long double>());
    EXPECT_NEAR(my->singular_values[0], double(ref_y.s(0)), 1e-12 * double(ref_y.s(0)));
    EXPECT_EQ(my->Y_scale, Eigen::VectorXd::Ones(3));
    EXPECT_LT(max_abs_diff(my->X_mean, column_means(x)), 1e-12);
}

TEST(Pls3Fit, PreStandardizedXWhoseSquaresOverflow) {
    // The floor of the components scales with the norm of X, which must come
    // out finite although the squares of the entries overflow.
    const Eigen::MatrixXd x = random_block(40, 5, 41, 0.0);
    const Eigen::MatrixXd y = related_block(x, 3, 42);
    Pls3FitOpts opts;
    opts.pre_standardized_X = true;
    const double f = 0x1p+530;
    const Eigen::MatrixXd xf = x * f;
    auto base = pls3_fit(view(x), view(y), 3, std::nullopt, opts);
    auto m = pls3_fit(view(xf), view(y), 3, std::nullopt, opts);
    auto mr = pls3_fit(store(xf, Layout::row_major).view, view(y), 3, std::nullopt, opts);
    ASSERT_TRUE(base && m && mr);
    ASSERT_TRUE(base->k_used == 3 && m->k_used == 3);
    expect_same_model(*m, *mr);
    EXPECT_LT((m->U - base->U).cwiseAbs().maxCoeff(), 1e-12);
    EXPECT_LT((m->singular_values / f - base->singular_values).cwiseAbs().maxCoeff(),
              1e-12 * base->singular_values[0]);
}

TEST(Pls3Fit, ChecksInOrder) {
    const Eigen::MatrixXd x = random_block(10, 4, 7), y = random_block(10, 3, 8);
    Eigen::MatrixXd x_nan = x, y_nan = y;
    x_nan(3, 2) = std::numeric_limits<double>::quiet_NaN();
    y_nan(0, 0) = std::numeric_limits<double>::infinity();
    const Eigen::MatrixXd y_short = y.topRows(9), x0(0, 4), y0(0, 3), no_cols(10, 0);
    const std::vector<double> w(10, 1.0);
    const VecView wv{w.data(), 10, 1}, empty{w.data(), 0, 1};
    const std::string threads = "VELTRA_NUM_THREADS must be a positive integer or 0, got \"00\"";
    struct Case {
        const Eigen::MatrixXd &x, &y;
        std::uint64_t k;
        std::optional<VecView> w;
        std::string code, message;  // message as the error carries it
        const char* threads = nullptr;
    };
    const Case cases[] = {
        {x_nan, y_short, 0, wv, "dimension_mismatch",
         "dimension mismatch: X has shape (10, 4), y has length 9"},
        {x_nan, y_short, 0, wv, "invalid_argument", threads, "00"},  // the wrapper's check first
        {x_nan, y_nan, 0, wv, "invalid_argument", weights_message},
        {x_nan, y_nan, 0, empty, "invalid_argument", weights_message},
        {x_nan, y, 0, {}, "non_finite_input", "non-finite values in input"},
        {x, y_nan, 0, {}, "non_finite_input", "non-finite values in input"},
        {x0, y0, 0, {}, "invalid_argument", "k must be >= 1"},
        {x0, y0, 4, {}, "k_exceeds_max", "k=4 exceeds maximum 3"},
        {x0, y0, 3, {}, "invalid_argument", "insufficient n: need n >= 1 (got n=0)"},
        {x, no_cols, 1, {}, "k_exceeds_max", "k=1 exceeds maximum 0"},
        {x, y, 3, {}, "ok", "ok"},
    };
    for (const Case& c : cases) {
        ThreadsGuard env(c.threads);
        const auto e = pls3_fit(view(c.x), view(c.y), c.k, c.w, {});
        EXPECT_EQ(e ? "ok" : e.error().code(), c.code) << c.message;
        if (!e) {
            EXPECT_EQ(message_of(e.error()), c.message);
        }
    }
    EXPECT_EQ(message_of(spls3_fit(view(x), view(y), 1, 2, 2, empty, {}).error()), weights_message);
    {
        ThreadsGuard bad("00");
        EXPECT_EQ(message_of(spls3_fit(view(x), view(y), 1, 0, 0, std::nullopt, {}).error()), threads);
    }
}

// The dense fit, and the sparse one keeping about a quarter of each block.
static void expect_same_bits_everywhere(Eigen::Index n, Eigen::Index p, Eigen::Index q,
                                        std::uint64_t k) {
    const Eigen::MatrixXd x = random_block(n, p, 13);
    const Eigen::MatrixXd y = related_block(x, q, 14);
    Eigen::MatrixXd shifted = x;
    shifted.col(0).array() += 1e6;  // explicit preparation
    Pls3FitOpts seq;
    seq.par = par_sequential;
    const std::uint64_t keep_x = std::uint64_t(p) / 4 + 1, keep_y = std::uint64_t(q) / 4 + 1;
    for (const bool sparse : {false, true}) {
        for (const Eigen::MatrixXd* xm : {&x, static_cast<const Eigen::MatrixXd*>(&shifted)}) {
            const auto fit = [&](MatView xv, const Pls3FitOpts& o) {
                return sparse ? spls3_fit(xv, view(y), k, keep_x, keep_y, std::nullopt, o)
                              : pls3_fit(xv, view(y), k, std::nullopt, o);
            };
            auto base = fit(view(*xm), {});
            auto one = in_one_thread([&] { return fit(view(*xm), {}); });
            auto sequential = fit(view(*xm), seq);
            auto rows = fit(store(*xm, Layout::row_major).view, {});
            ASSERT_TRUE(base && one && sequential && rows);
            ASSERT_EQ(base->k_used, k) << sparse;
            for (const auto* other : {&one, &sequential, &rows}) expect_same_model(*base, **other);
        }
    }
}

TEST(Pls3Fit, SameBitsOnEveryThreadCountAndLayout) {
    expect_same_bits_everywhere(300, 70, 60, 6);   // parallel products
    expect_same_bits_everywhere(40, 6, 5, 3);      // small products
    expect_same_bits_everywhere(2000, 9, 4, 4);    // long X, streamed moments
    expect_same_bits_everywhere(30, 300, 40, 5);   // wide X
}

TEST(Pls3Fit, KeepsComponentsAboveTheFloors) {
    // Y orthogonal to X: C = 0, no component, a complete model.
    // Contrasts of four rows: X in one, Y in the two others.
    Eigen::MatrixXd x(4, 2), y(4, 2);
    x << 1, 8, -1, 2, 1, 8, -1, 2;
    y << 1, 1, 1, -1, -1, -1, -1, 1;
    auto none = pls3_fit(view(x), view(y), 2, std::nullopt, {});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->k_used == 0 && none->U.rows() == 2 && none->U.cols() == 0 &&
                none->V.rows() == 2 && none->x_scores.rows() == 4 && none->x_scores.cols() == 0 &&
                none->singular_values.size() == 0 && none->X_mean.size() == 2);

    // Y built from one direction of X: C has rank one; the trailing values
    // are rounding and fall below the floor (after the exact retry).
    const Eigen::MatrixXd xb = random_block(50, 5, 15);
    Eigen::VectorXd b(5);
    b << 1, -2, 0.5, 3, 1;
    Eigen::MatrixXd yb(50, 3);
    for (int j = 0; j < 3; ++j)
        yb.col(j) = (xb * b) * double(j + 1) + Eigen::VectorXd::Constant(50, j);
    auto rank1 = pls3_fit(view(xb), view(yb), 3, std::nullopt, {});
    ASSERT_TRUE(rank1 && rank1->k_used == 1);
    expect_matches_reference(*rank1, xb, yb, 1e-11);

    // A small but real second value: above the exact floor, below the
    // floor widened for the implicit route, kept by the exact retry.
    Eigen::MatrixXd z(4, 2);
    z << 1, 1, -1, 1, 1, -1, -1, -1;
    const Eigen::MatrixXd xz = (z.array() + 1000.0).matrix();  // mean ratio 1000
    Eigen::MatrixXd yz = z;
    yz.col(1) *= 1e-12;
    Pls3FitOpts y_given;
    y_given.pre_standardized_Y = true;
    EXPECT_TRUE(prepare(view(xz), view(yz), 2, std::nullopt, y_given)->prepared.implicit);
    auto small = pls3_fit(view(xz), view(yz), 2, std::nullopt, y_given);
    ASSERT_TRUE(small && small->k_used == 2);
    EXPECT_NEAR(small->singular_values[1], 4e-12, 1e-25);

    // Pre-standardised blocks whose cross covariance has rank two: the
    // rounding values lie above the absolute floor, and only the floor
    // from the blocks' norms removes them.
    Eigen::MatrixXd eye = Eigen::MatrixXd::Identity(4, 4);
    Eigen::MatrixXd left(4, 2), right(2, 4);
    left << 0.7, -0.2, 0.1, 0.9, -0.5, 0.4, 0.3, 0.8;
    right << 0.6, -0.3, 0.2, 0.5, 0.1, 0.7, -0.9, 0.4;
    const Eigen::MatrixXd c = 1e4 * left * right;
    Pls3FitOpts opts;
    opts.pre_standardized_X = opts.pre_standardized_Y = true;
    auto rank2 = pls3_fit(view(eye), view(c), 4, std::nullopt, opts);
    ASSERT_TRUE(rank2 && rank2->k_used == 2);
}

TEST(Pls3Fit, OverflowFromFiniteBlocksIsAnError) {
    const Eigen::MatrixXd big = Eigen::MatrixXd::Constant(3, 2, 1e200);
    Eigen::MatrixXd huge(4, 2), y(4, 2);  // only X given standardised, the largest doubles
    huge << 1.7e308, 1.7e308, 1.7e308, -1.7e308, 1.7e308, 1.7e308, 1.7e308, 1.7e308;
    y << 1, 2, 2, 1, 3, 5, 4, 0;
    // A finite cross covariance whose singular value overflows.
    const Eigen::MatrixXd eye = Eigen::MatrixXd::Identity(2, 2);
    const Eigen::MatrixXd c = Eigen::MatrixXd::Constant(2, 2, 1.5e308);
    Pls3FitOpts both, only_x;
    both.pre_standardized_X = both.pre_standardized_Y = only_x.pre_standardized_X = true;
    struct Case {
        const Eigen::MatrixXd &x, &y;
        const Pls3FitOpts& opts;
        bool sparse_too;
    };
    for (const Case& k : {Case{big, big, both, true}, Case{huge, y, only_x, false},
                          Case{eye, c, both, true}}) {
        const auto e = pls3_fit(view(k.x), view(k.y), 1, std::nullopt, k.opts);
        ASSERT_FALSE(e);
        EXPECT_EQ(e.error().code(), "invalid_input");
        EXPECT_EQ(message_of(e.error()), overflow_message);
        if (k.sparse_too) {
            EXPECT_EQ(message_of(spls3_fit(view(k.x), view(k.y), 1, 1, 1, std::nullopt, k.opts).error()),
                      overflow_message);
        }
    }
}

TEST(Pls3Fit, OppositeSignsNearTheLimitFitAsTheirScaledCopy) {
    // x - mean overflows in these columns, their standardised values do not:
    // the fit is that of the columns divided by 1e308.
    constexpr double M = std::numeric_limits<double>::max();
    for (const Eigen::Index n : {3, 6}) {  // n <= k: explicit; else implicit first
        Eigen::MatrixXd x = random_block(n, 3, 34), y = random_block(n, 3, 35);
        x.col(0).setConstant(1.7e308);
        x(n - 1, 0) = -1.7e308;
        y.col(1).setConstant(-M);
        y(0, 1) = M;
        Eigen::MatrixXd xc = x, yc = y;
        xc.col(0) /= 1e308;
        yc.col(1) /= 1e308;
        const auto m = pls3_fit(view(x), view(y), 3, std::nullopt, {});
        const auto r = pls3_fit(view(xc), view(yc), 3, std::nullopt, {});
        ASSERT_TRUE(m && r) << message_of(m.error());
        ASSERT_EQ(m->k_used, r->k_used);
        EXPECT_LT((m->singular_values - r->singular_values).cwiseAbs().maxCoeff(), 1e-12);
        for (const auto& [got, want] : {std::pair{m->U, r->U}, {m->V, r->V}, {m->x_scores, r->x_scores}})
            EXPECT_LT((got - want).cwiseAbs().maxCoeff(), 1e-10);
        EXPECT_NEAR(m->X_scale[0] / 1e308, r->X_scale[0], 1e-13 * r->X_scale[0]);
    }
}

TEST(Pls3Signs, LargestEntryOfEachXWeightIsPositive) {
    Eigen::MatrixXd U(3, 4), V(2, 4);
    U << -0.6, 0.0, 0.3, -0.0, 0.6, 0.0, -0.9, 0.0, 0.2, 0.0, 0.1, 0.0;
    V << 1, 2, 3, 4, 5, 6, 7, 8;
    pin_component_signs(U, V);
    EXPECT_EQ(U.col(0), Eigen::Vector3d(0.6, -0.6, -0.2));  // the first of equal maxima
    EXPECT_EQ(V.col(0), Eigen::Vector2d(-1, -5));
    EXPECT_EQ(V.col(1), Eigen::Vector2d(2, 6));  // zero column left alone
    EXPECT_EQ(U.col(2), Eigen::Vector3d(-0.3, 0.9, -0.1));
    EXPECT_EQ(V.col(2), Eigen::Vector2d(-3, -7));
    EXPECT_TRUE(std::signbit(U(0, 3)));  // -0 at the top: unchanged
    EXPECT_EQ(V.col(3), Eigen::Vector2d(4, 8));
    Eigen::MatrixXd U0(0, 2), V0(2, 2);
    V0.setOnes();
    pin_component_signs(U0, V0);
    EXPECT_EQ(V0, Eigen::MatrixXd::Ones(2, 2));

    // One X column: every kept U is (1), V flipped with it.
    const Eigen::MatrixXd x = random_block(20, 1, 16);
    Eigen::MatrixXd y = related_block(x, 3, 17);
    y.col(0) = -10.0 * x.col(0) + random_block(20, 1, 36, 0.0);
    auto m = pls3_fit(view(x), view(y), 1, std::nullopt, {});
    ASSERT_TRUE(m && m->k_used == 1);
    EXPECT_TRUE(m->U(0, 0) == 1.0 && m->V(0, 0) < 0.0);
}

TEST(Pls3Lv1, FirstComponentFromTheCrossCovariance) {
    const Eigen::MatrixXd x = random_block(25, 4, 18), y = related_block(x, 3, 19);
    const LMat zx = standardized(x), zy = standardized(y);
    const Eigen::MatrixXd c = (zx.transpose() * zy).cast<double>();
    const RefSvd ref = reference_svd(zx, zy);
    auto lv1 = pls3_lv1_from_cross_cov(c, 1e-10);
    ASSERT_TRUE(lv1 && *lv1);
    EXPECT_NEAR((*lv1)->s, double(ref.s(0)), 1e-12 * double(ref.s(0)));
    EXPECT_LT(max_abs_diff((*lv1)->v, ref.V.col(0)), 1e-11);
    auto below = pls3_lv1_from_cross_cov(c, double(ref.s(0)) * 2);
    auto zero = pls3_lv1_from_cross_cov(Eigen::MatrixXd::Zero(3, 2), 0.0);
    EXPECT_TRUE(below && !*below && zero && !*zero);

    // On standardised blocks, dense and sparse routes.
    const Eigen::MatrixXd zxd = zx.cast<double>(), zyd = zy.cast<double>();
    auto dense =
        pls3_lv1_prestd(view(zxd), view(zyd), zxd.norm(), std::nullopt, std::nullopt, 0, 0);
    ASSERT_TRUE(dense && dense->components.U.cols() == 1 && !dense->converged);
    EXPECT_LT(max_abs_diff(dense->components.U, ref.U.col(0)), 1e-11);
    auto sparse = pls3_lv1_prestd(view(zxd), view(zyd), zxd.norm(), 2, std::nullopt, 100, 1e-10);
    ASSERT_TRUE(sparse && sparse->components.U.cols() == 1);
    EXPECT_EQ((sparse->components.U.array() != 0.0).count(), 2);
    EXPECT_TRUE(sparse->converged.has_value() && sparse->n_iter.has_value());
}
