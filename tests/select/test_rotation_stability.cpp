#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "select/select_test_support.hpp"
#include "veltra/linalg.hpp"
#include "veltra/select/rotation_stability.hpp"
#include "veltra/weights.hpp"

using namespace veltra;
using namespace veltra::resample;
using namespace veltra::select;
using test_support::view;
namespace ref = pls_reference;

namespace {

struct Call {
    Eigen::MatrixXd x;
    Eigen::VectorXd y;
    std::size_t k = 2;
    std::optional<Eigen::MatrixXd> L = std::nullopt;
    std::optional<Eigen::VectorXd> w = std::nullopt;
    RotationStabilityOpts opts{.seed = 11, .subsample = {.n_boot = 100}};
    Result<RotationStabilityOutput> run() const {
        const auto L_view = L ? std::optional(view(*L)) : std::nullopt;
        return pls1_rotation_stability(view(x), view(y), k, {}, L_view,
                                       w ? std::optional(view(*w)) : std::nullopt, opts);
    }
    std::string error() const { return run().error().display(); }
};

// Every real of an output, as bits.
std::vector<std::uint64_t> bits(const RotationStabilityOutput& o) {
    std::vector<double> v{o.variance_unrot, o.variance_rot, o.n_eff};
    for (const CIScalar& c : o.variance_ratio_per_axis) v.insert(v.end(), {c.lower, c.upper, c.sd});
    v.insert(v.end(), {o.variance_ratio.point, o.variance_ratio.lower, o.variance_ratio.sd});
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
    return out;
}

// Two factors on three columns each, both driving y; or pure noise.
double rotated_spread(bool factors) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    Call c{Eigen::MatrixXd(200, 6), Eigen::VectorXd(200)};
    for (Eigen::Index i = 0; i < 200; ++i) {
        const double f[2] = {normal(gen), 2.0 * normal(gen)};
        for (Eigen::Index j = 0; j < 6; ++j)
            c.x(i, j) = (factors ? f[j / 3] : 0.0) + 0.1 * normal(gen);
        c.y[i] = factors ? f[0] + f[1] + 0.1 * normal(gen) : normal(gen);
    }
    return c.run().value().variance_rot;
}

}  // namespace

// Each step's fault hides the ones after it; the step's fix reveals the next.
TEST(RotationStability, ChecksComeInTheirOrder) {
    const auto d = ref::latent_data(30, 10, 1);
    Call c{d.x, d.y.head(29), 0, Eigen::MatrixXd::Ones(10, 3), Eigen::VectorXd::Ones(30)};
    c.x(4, 4) = INFINITY;
    (*c.w)[2] = -1.0;
    SubsampleOpts& sub = c.opts.subsample;
    sub.m_rate = 0.95, sub.level = 0.995, sub.n_boot = 99;
    const std::vector<std::pair<std::string, std::function<void()>>> steps = {
        {"dimension mismatch: X has shape (30, 10), y has length 29", [&] { c.y = d.y, c.y[3] = NAN; }},
        {"invalid argument: k must be >= 1", [&] { c.k = 11; }},
        {"k=11 exceeds maximum 10", [&] { c.k = 1; }},
        {"invalid argument: k=1: rotation indeterminacy diagnostic is meaningless on a 1-D "
         "subspace", [&] { c.k = 8; }},
        {"invalid argument: k>7 (8): signed-permutation enumeration is not tractable for k > 7 "
         "(2^k * k! candidates per replicate). Use k <= 7, or reduce the subspace dimension "
         "before calling this function.", [&] { c.k = 2; }},
        {"shape mismatch: L.ncols=3 but k=2", [&] { c.L.reset(); }},
        {"invalid argument: m_rate must satisfy 0.5 < m_rate < 0.95, got 0.95", [&] { sub.m_rate = 0.9; }},
        {"invalid argument: level must satisfy 0.5 ≤ level ≤ 0.99, got 0.995", [&] { sub.level = 0.9; }},
        {"invalid argument: n_boot must be ≥ 100, got 99", [&] { sub.n_boot = 100; }},
        {"non-finite values in input", [&] { c.x = d.x; }},
        {"non-finite values in input", [&] { c.y = d.y; }},
        {"invalid weights: negative", [&] { c.w.reset(); }},
    };
    for (const auto& [message, fix] : steps) {
        EXPECT_EQ(c.error(), message);
        fix();
    }
    EXPECT_EQ(c.run().value().m, 22u);  // ceil(30^0.9)

    Call t{test_support::random_matrix(3, 2, 4), Eigen::Vector3d(1, 3, 2)};
    t.opts.subsample.m_rate = 0.6;
    EXPECT_EQ(t.error(), "invalid argument: resolved m = 2 (from n=3, m_rate=0.6) is too small "
                         "for k=2; need m ≥ k+2");
    t.opts.subsample.m_rate = 0.7;
    EXPECT_EQ(t.error(),
              "invalid argument: resolved m = 3 (from n=3, m_rate=0.7) equals n; need m < n");
    t.y.setConstant(5.0);  // the reference fit has no component to rotate
    EXPECT_EQ(t.error(), "invalid input: W has K=0");
}

TEST(RotationStability, SameBitsForThreadsAndBudgets) {
    const auto d = ref::latent_data(40, 12, 2);
    const auto w = ref::positive_weights(40, 3);
    const Call c{d.x, d.y, 3, std::nullopt, Eigen::Map<const Eigen::VectorXd>(w.data(), 40)};
    select_test::expect_same_everywhere([&] { return bits(c.run().value()); });
}

// k = p: a replicate spans the reference's space, so the Procrustes turn
// lands on the reference and varimax on its rotation.
TEST(RotationStability, SpreadIsNilForTheWholeSpaceSmallForFactorsLargeForNoise) {
    const Eigen::MatrixXd y = test_support::random_matrix(50, 1, 6);
    const auto whole = Call{test_support::random_matrix(50, 3, 5), y.col(0), 3}.run().value();
    EXPECT_LT(whole.variance_rot, 1e-20);
    EXPECT_GT(whole.variance_unrot, 1e-3);
    EXPECT_LT(rotated_spread(true), 0.01);
    EXPECT_GT(rotated_spread(false), 0.5);
}

// Replicate 0 against a textbook fit of its own subsample and the best
// signed permutation found by trying all of them.
TEST(RotationStability, ReplicateDeviationsAreThoseOfTheBestSignedPermutation) {
    const auto d = ref::latent_data(30, 5, 8);
    const auto full = ref::standardize(d.x, d.y);
    const Eigen::MatrixXd w_ref = ref::nipals(full.xs, full.ys, 2).W.cast<double>();
    const Eigen::MatrixXd w_ref_rot = rotate(view(w_ref), {}).value().W_rot;
    const RotationReplicateData data{view(d.x), view(d.y), std::nullopt, 20, 2, false, view(w_ref),
                                     view(w_ref_rot), {}, {}};
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(9), same = rng;
    const auto row = run_one_rotation_stability(data, rng).value();

    const std::vector<std::uint64_t> rows = subsample_indices(30, 20, same).train;
    Eigen::MatrixXd xs(20, 5);
    Eigen::VectorXd ys(20);
    for (Eigen::Index i = 0; i < 20; ++i) {
        const auto r = to_index(rows[std::size_t(i)]);
        xs.row(i) = d.x.row(r), ys[i] = d.y[r];
    }
    const auto s = ref::standardize(xs, ys);
    const Eigen::MatrixXd w_b = ref::nipals(s.xs, s.ys, 2).W.cast<double>();
    Eigen::Vector2d best(INFINITY, INFINITY);
    for (const Eigen::Index swap : {0, 1}) {
        Eigen::Vector2d dev;
        for (const Eigen::Index j : {0, 1})
            dev[j] = std::min((w_b.col(swap ^ j) - w_ref.col(j)).squaredNorm(),
                              (w_b.col(swap ^ j) + w_ref.col(j)).squaredNorm());
        if (dev.sum() < best.sum()) best = dev;
    }
    EXPECT_LT((row.unrot - best).norm(), 1e-10);
    EXPECT_TRUE(row.rot.allFinite() && (row.rot.array() >= 0).all());
}

TEST(RotationStability, ReductionSkipsFailedRowsAndIntervalsInterpolate) {
    std::vector<double> s = {4, 2, 1, 3}, one = {2};
    const CIScalar ci = build_ciscalar_from_bootstrap(0.5, s, 0.1);
    EXPECT_EQ(std::vector<double>({ci.point, ci.lower, ci.upper, ci.sd}),
              std::vector<double>({0.5, 1.15, 3.8499999999999996, 1.2909944487358056}));
    const CIScalar c1 = build_ciscalar_from_bootstrap(1, one, 0.1);
    const CIScalar c0 = build_ciscalar_from_bootstrap(1, {}, 0.1);
    EXPECT_TRUE(c1.lower == 2 && c1.upper == 2 && c1.sd == 0 && std::isnan(c0.upper));

    // Identical finite rows: every resample gives the point ratio.
    const RotationStabilityWorkerRow row{Eigen::Vector2d(1, 3), Eigen::Vector2d(0.5, 0.5)};
    std::vector<RotationStabilityWorkerRow> rows(100, row);
    rows[7].unrot[0] = NAN;
    const auto reduce = [&](double max_skip) {
        return reduce_variance_ratio(rows, 2, 100, 15, 1, 2, 0.7, 0.9, 30, max_skip);
    };
    EXPECT_TRUE(reduce(0.0).error().display().starts_with(
        "Resampling degenerate: 1/100 draws (skip_rate=0.010) failed"));
    const auto out = reduce(0.01).value();
    const CIScalar& all = out.variance_ratio;
    EXPECT_TRUE(all.point == 0.25 && all.lower == 0.25 && all.upper == 0.25 && all.sd == 0);
    EXPECT_TRUE(out.variance_ratio_per_axis[1].upper == 0.5 / 3 && out.n_boot_finite == 99);
    EXPECT_FALSE(out.degenerate_baseline);

    for (auto& r : rows) r.unrot.setZero();
    const auto flat = reduce(0.01).value();
    EXPECT_TRUE(flat.degenerate_baseline && std::isnan(flat.variance_ratio.point));
    EXPECT_TRUE(std::isnan(flat.variance_ratio_per_axis[0].upper));
    for (auto& r : rows) r.rot[1] = NAN;
    EXPECT_TRUE(reduce(1.0).error().display().starts_with("Resampling degenerate: 100/100 draws"));
}

// A replicate fits its subsample standardised over itself, as it stands and
// strictly: the same bits as that fit, and an error (never a shorter W) when
// the subsample carries fewer than k components.
TEST(RotationStability, ReplicateFitsItsStandardisedSubsampleStrictly) {
    const auto d = ref::latent_data(30, 5, 8);
    const auto w = ref::positive_weights(30, 4);
    const Eigen::VectorXd wv = Eigen::Map<const Eigen::VectorXd>(w.data(), 30);
    const std::vector<std::uint64_t> rows = {3, 17, 0, 22, 9, 11, 25, 6, 14, 28, 1, 19};
    const Eigen::VectorXd w_rows = col_row_subset(view(wv), rows);
    const auto w_s = validate_and_normalize_weights(view(w_rows), rows.size()).value().weights;
    const auto w_sv = w_s ? std::optional(view(*w_s)) : std::nullopt;
    const StandardizedFro xs = standardize_rows_fro(view(d.x), rows, w_sv);
    const Eigen::VectorXd y_rows = col_row_subset(view(d.y), rows);
    const Standardized1 ys = standardize1_weighted(view(y_rows), w_sv);
    FitOpts opts;
    opts.pre_standardized = opts.strict = true;
    const auto expected = pls1_fit_impl(view(xs.x_std), view(ys.y_std), 3, w_sv, opts).value().W;
    const auto got = fit_subsample(view(d.x), view(d.y), rows, 3, view(wv), false).value();
    EXPECT_TRUE(test_support::same_bits(got, expected));

    // Column 1 is column 0 doubled: rank 2 with k = 3.
    Eigen::MatrixXd x2 = d.x.leftCols(3);
    x2.col(1) = 2.0 * x2.col(0);
    EXPECT_FALSE(fit_subsample(view(x2), view(d.y), rows, 3, std::nullopt, false).has_value());
}

TEST(RotationStability, RowOfAnotherLengthIsABrokenInvariant) {
    std::vector<RotationStabilityWorkerRow> rows(
        100, {Eigen::Vector3d(1, 2, 3), Eigen::Vector3d(1, 1, 1)});
    rows[5] = {Eigen::Vector2d(1, 2), Eigen::Vector2d(1, 1)};
    EXPECT_EQ(test_support::failure_of([&] {
                  (void)reduce_variance_ratio(rows, 3, 100, 15, 1, 2, 0.7, 0.9, 30, 1.0);
              }),
              "reduce_variance_ratio: a replicate row does not have k entries");
}
