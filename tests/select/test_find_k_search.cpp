// The optimal and sequential component searches: the choices recomputed from
// the returned maps, the deflation against a long-double NIPALS, the checks
// in order with their texts, and the same bits for every thread count and
// memory budget. Adapter texts run from Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "engine/test_support.hpp"
#include "resample/resample_test_support.hpp"
#include "select/select_test_support.hpp"
#include "veltra/resample/confirmatory_test.hpp"
#include "veltra/select/find_k_search.hpp"
#include "veltra/select/sequential.hpp"
#include "veltra/weights.hpp"

using namespace veltra;
using namespace veltra::resample;
using namespace veltra::select;
using M = ConfirmatoryMethod;
using namespace select_test;

namespace {

std::string message(const VeltraError& e) { return e.display(); }

}  // namespace

TEST(FindKOptimal, ChoicesFollowFromTheReturnedMaps) {
    const Design d = design(true);
    const Eigen::Map<const Eigen::VectorXd> w(d.w->data(), 60);
    for (Selector s : {Selector::r2_se, Selector::r2_max, Selector::bic}) {
        const FindKOpts o{.seed = 11, .selector = s, .diagnostic = {}};
        const auto out = pls1_find_k_optimal(MatView::of(d.x), VecView::of(d.y), 6, wview(d.w), o);
        ASSERT_TRUE(out) << message(out.error());
        EXPECT_EQ(out->selector, selector_name(s));
        EXPECT_FALSE(out->pvalues || out->diagnostic || out->stable_rank);
        // n_eff of the normalised weights: (sum w)^2 / sum w^2.
        EXPECT_NEAR(out->n_eff, w.sum() * w.sum() / w.squaredNorm(), 1e-9 * out->n_eff);
        if (s != Selector::bic) {
            ASSERT_TRUE(out->cv_scores && !out->bic_scores);
            ASSERT_EQ(out->cv_scores_se.has_value(), s == Selector::r2_se);
            const ScoreMap* se = out->cv_scores_se ? &*out->cv_scores_se : nullptr;
            EXPECT_EQ(out->k_star, rule_pick(*out->cv_scores, se));
            continue;
        }
        ASSERT_TRUE(out->bic_scores && !out->cv_scores && !out->cv_scores_se);
        const auto low = std::ranges::min_element(*out->bic_scores, {},
                                                  [](const auto& kv) { return kv.second; });
        EXPECT_EQ(out->k_star, low->first);
    }
}

TEST(FindKOptimal, DiagnosticIsTheSequenceTestedToTheEndWithTheNextSeed) {
    const Design d = design(true);
    // BIC has no fold shuffle: the generator's first output seeds the sequence.
    const FindKOpts o{.seed = 21, .selector = Selector::bic,
                      .diagnostic = ConfirmatoryArgs{.method = M::split_exact, .n_perm = 40,
                                                     .n_splits = 6}};
    const auto out = pls1_find_k_optimal(MatView::of(d.x), VecView::of(d.y), 5, wview(d.w), o);
    ASSERT_TRUE(out) << message(out.error());
    ASSERT_GE(out->k_star, 1u);

    const auto norm = validate_weights_for_k(wview(d.w), 60, 5);
    const SequentialArgs a{.seed = ChaCha8Rng::seed_from_u64(21).next_u64(), .keep = {},
                           .method = {M::split_exact, 40, 0, 6, false}, .continue_all = true};
    const auto run = run_incremental_sequence(MatView::of(d.x), VecView::of(d.y), out->k_star,
                                              VecView::of(*norm->weights), a, norm->n_eff);
    ASSERT_TRUE(run);
    EXPECT_EQ(*out->diagnostic, "split_exact");
    EXPECT_TRUE(test_support::same_bits(*out->pvalues, run->pvalues));
}

// Component 2 is tested on Z - T1 P1' (rows scaled back by 1/sqrt(w)), here
// built from a long-double NIPALS; the e test is a smooth function of its
// data at a fixed seed, so the p-values agree to rounding.
TEST(Sequence, SecondComponentIsTestedOnTheDeflatedData) {
    const Design d = design(true, 8, 200, 10);
    const auto s = pls_reference::standardize(d.x, d.y, d.w);
    const auto fit = pls_reference::nipals(s.xs, s.ys, 1);
    const auto norm = validate_weights_for_k(wview(d.w), 200, 2);
    const VecView w = VecView::of(*norm->weights);
    Eigen::MatrixXd xd(200, d.x.cols());
    Eigen::VectorXd yd(200);
    for (Eigen::Index i = 0; i < 200; ++i) {
        const long double r = std::sqrt((long double)w[i]);
        for (Eigen::Index j = 0; j < d.x.cols(); ++j)
            xd(i, j) = double((s.xs(i, j) - fit.T(i, 0) * fit.P(j, 0)) / r);
        yd[i] = double((s.ys[i] - fit.T(i, 0) * fit.Q[0]) / r);
    }
    const SequentialArgs a{.seed = 5, .keep = {}, .method = {M::e, 0, 0, 0, false},
                           .continue_all = true};
    const auto run = run_incremental_sequence(MatView::of(d.x), VecView::of(d.y), 2, w, a,
                                              norm->n_eff);
    ASSERT_TRUE(run) << message(run.error());
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(5);
    rng.next_u64();
    const ConfirmatoryOpts t{.seed = rng.next_u64(), .ci = {}, .keep = {},
                             .test = {M::e, 0, 0, 0, false}, .pre_standardized = true};
    const auto ref = confirmatory_test_impl(MatView::of(xd), VecView::of(yd), 1, w, t, true);
    ASSERT_TRUE(ref);
    ASSERT_TRUE(ref->pvalue > 0.0 && ref->pvalue < 1.0) << ref->pvalue;
    EXPECT_NEAR(run->pvalues[1], ref->pvalue, 1e-8 * ref->pvalue);
}

TEST(Sequence, StopsAtTheFirstNonRejectionAndReportsTheResolvedMethod) {
    // Tested up to the first p >= alpha; the rest stay NaN.
    Eigen::MatrixXd noise = resample_test::random_matrix(20, 6, 3);
    Eigen::VectorXd y = resample_test::random_matrix(20, 1, 4).col(0);
    FindKSequenceOpts o{.seed = 1, .test = {.method = M::split_nb, .n_splits = 8}};
    const auto out = pls1_find_k_sequence(MatView::of(noise), VecView::of(y), 4, std::nullopt, o);
    ASSERT_TRUE(out) << message(out.error());
    // n_eff < 25 fails the gate: split_exact, with the gate's stable rank.
    EXPECT_EQ(out->test_method, "split_exact");
    EXPECT_TRUE(out->stable_rank);
    Eigen::Index stop = 0;
    while (stop < 4 && out->pvalues[stop] < 0.05) ++stop;
    EXPECT_EQ(out->k_star, std::uint64_t(stop));
    for (Eigen::Index j = stop + 1; j < 4; ++j) EXPECT_TRUE(std::isnan(out->pvalues[j]));
    o.test.method = M::auto_;
    o.test.n_perm = 30;
    const auto a = pls1_find_k_sequence(MatView::of(noise), VecView::of(y), 2, std::nullopt, o);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->test_method, "split_exact");  // n_eff < 250: no gate
    EXPECT_FALSE(a->stable_rank);
}

TEST(ComponentSearches, ChecksInOrderWithTheirTexts) {
    const Design d = design(false, 5, 5, 8);
    const MatView x = MatView::of(d.x);
    const VecView y = VecView::of(d.y), y_short{d.y.data(), 4, 1};
    auto seq = [&](VecView yy, std::size_t k_max, M m, std::uint64_t splits, bool force,
                   std::optional<std::size_t> keep = {}) {
        const FindKSequenceOpts o{.seed = {},
                                  .test = {.method = m, .n_splits = splits, .force = force}};
        auto r = keep ? spls1_find_k_sequence(x, yy, k_max, *keep, std::nullopt, o)
                      : pls1_find_k_sequence(x, yy, k_max, std::nullopt, o);
        return r ? std::string("ok") : message(r.error());
    };
    auto opt = [&](VecView yy, std::size_t k_max, M diag) {
        auto r = pls1_find_k_optimal(x, yy, k_max, std::nullopt,
                                     {.seed = {}, .diagnostic = ConfirmatoryArgs{diag}});
        return r ? std::string("ok") : message(r.error());
    };
    const std::string folds = " uses 5-fold CV and needs n > 5 (got n=5): with n_folds >= n every "
                              "validation fold is a single row, so the pooled CV R² is undefined";
    const std::pair<std::string, std::string> cases[] = {
        {seq(y_short, 0, M::score, 50, false), "dimension mismatch: X has shape (5, 8), y has length 4"},
        {seq(y, 0, M::score, 50, false), "invalid argument: k_max must be >= 1"},
        {seq(y, 9, M::score, 50, false), "k=9 exceeds maximum 8"},
        {seq(y, 5, M::score, 50, false), "invalid argument: insufficient n for k=5: need n >= k + 1 (got n=5)"},
        {seq(y, 2, M::score, 50, false), "invalid argument: test_method='score' has no sequential variant"},
        {seq(y, 2, M::auto_, 1, true), "invalid argument: n_splits must be ≥ 2, got 1"},
        {seq(y, 2, M::auto_, 50, true), "invalid argument: force applies to test_method='split_nb' only, not 'auto'"},
        {seq(y, 2, M::raw_perm, 50, false), "invalid argument: test_method='raw_perm'" + folds},
        {seq(y, 2, M::raw_perm, 50, false, 0), "invalid argument: keep must be >= 1 (keep=0 would produce an empty component)"},
        {seq(y, 9, M::raw_perm, 50, false, 9), "invalid argument: keep=9 exceeds n_features=8"},
        {opt(y_short, 0, M::auto_), "dimension mismatch: X has shape (5, 8), y has length 4"},
        {opt(y, 2, M::auto_), "invalid argument: diagnostic does not accept 'auto'"},
        {opt(y, 2, M::score), "invalid argument: score has no sequential variant"},
        {opt(y, 2, M::raw_perm), "invalid argument: diagnostic='raw_perm'" + folds},
    };
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

// One run of each search path, every score and p-value as bits.
TEST(ComponentSearches, SameBitsForEveryThreadCountAndBudget) {
    const Design d = design(true, 13);
    expect_same_everywhere([&] {
        const FindKOpts o{.seed = 4, .diagnostic = ConfirmatoryArgs{.method = M::split_exact,
                                                                    .n_perm = 30, .n_splits = 5}};
        const auto opt = pls1_find_k_optimal(MatView::of(d.x), VecView::of(d.y), 4, wview(d.w), o);
        const FindKSequenceOpts s{.seed = 4, .test = {.method = M::raw_perm, .n_perm = 30}};
        const auto seq = spls1_find_k_sequence(MatView::of(d.x), VecView::of(d.y), 3, 4,
                                               wview(d.w), s);
        const auto keep = spls1_find_keep_optimal(MatView::of(d.x), VecView::of(d.y), 3, 7, 4,
                                                  false, wview(d.w));
        std::vector<std::uint64_t> bits{opt->k_star, seq->k_star};
        for (const Eigen::VectorXd* v : {&*opt->pvalues, &seq->pvalues})
            for (double p : *v) bits.push_back(std::bit_cast<std::uint64_t>(p));
        for (const ScoreMap* m : {&*opt->cv_scores, &*opt->cv_scores_se, &keep->cv_scores})
            for (const auto& [k, v] : *m) bits.push_back(std::bit_cast<std::uint64_t>(v));
        return bits;
    });
}
