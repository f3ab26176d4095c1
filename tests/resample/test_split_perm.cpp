// The split-exact permutation test: every route gives the refit route's
// answer, the closed-form route agrees with refits of its own draws, and the
// p-value behaves as a permutation p-value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "resample/resample_test_support.hpp"
#include "veltra/correlation.hpp"
#include "veltra/elementary.hpp"
#include "veltra/resample/nr_split.hpp"
#include "veltra/resample/signal_test.hpp"

using namespace veltra;
using namespace veltra::resample;
using Data = resample_test::Design;
using R = SplitExactRoute;
using resample_test::random_matrix;

namespace {

std::vector<Data> data_sets() { return resample_test::adversarial_designs(40, 12, 7); }

PermTestResult run(R route, const Data& d, std::size_t k, std::uint64_t seed, std::size_t B = 99,
                   std::optional<std::size_t> keep = std::nullopt) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(seed);
    const auto w = d.weights();
    auto r = route == R::no_refit
                 ? run_split_perm_nr(MatView::of(d.x), VecView::of(d.y), k, B, 6, w, keep, rng)
                 : run_split_perm(route, MatView::of(d.x), VecView::of(d.y), k, B, 6, w, keep, rng);
    EXPECT_TRUE(r.has_value());
    return *r;
}

}  // namespace

TEST(SplitPerm, FastRoutesGiveTheRefitAnswer) {
    struct Case { std::size_t k; std::optional<std::size_t> keep; };
    for (const Data& d : data_sets())
        for (const Case c : {Case{2, {}}, Case{3, {}}, Case{2, 3}}) {
            if (c.k >= static_cast<std::size_t>(d.x.cols())) continue;
            const PermTestResult ref = run(R::refit, d, c.k, 5, 99, c.keep);
            std::vector<R> fast{R::gram_p};
            if (!d.w && !c.keep) fast.push_back(R::nspace);
            for (const R route : fast) {
                const PermTestResult got = run(route, d, c.k, 5, 99, c.keep);
                EXPECT_NEAR(got.statistic, ref.statistic, 1e-10) << d.name << " k=" << c.k;
                EXPECT_EQ(got.pvalue, ref.pvalue) << d.name << " k=" << c.k;
            }
        }
}

TEST(SplitPerm, ClosedFormRouteAgreesWithRefitsOfItsOwnDraws) {
    for (const Data& d : data_sets()) {
        const std::size_t n = 40, B = 99, J = 6, m = 20;
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(21);
        std::vector<SplitIdx> splits;
        for (std::size_t j = 0; j < J; ++j) splits.push_back(one_split(n, m, rng));
        std::vector<double> zbar(B + 1, 0.0);
        const auto w = d.weights();
        for (std::size_t b = 0; b <= B; ++b) {
            Eigen::VectorXd yb = d.y;
            if (b > 0) {
                const auto perm = shuffled_rows(n, rng);
                for (std::size_t i = 0; i < n; ++i) yb[to_index(i)] = d.y[to_index(perm[i])];
            }
            for (const SplitIdx& s : splits)
                zbar[b] += fisher_z(split_half_r(MatView::of(d.x), VecView::of(yb), 1, s, w, {}).r);
            zbar[b] /= J;
        }
        const auto above =
            std::count_if(zbar.begin() + 1, zbar.end(), [&](double z) { return z >= zbar[0]; });
        const PermTestResult got = run(R::no_refit, d, 1, 21, B);
        EXPECT_NEAR(got.statistic, std::tanh(zbar[0]), 1e-10) << d.name;
        EXPECT_EQ(got.pvalue, (above + 1.0) / (B + 1.0)) << d.name;
    }
}

// The one end-to-end check of the refill of pending cells on any thread
// count and budget; the engine's own guarantees are in the resampling tests.
TEST(SplitPerm, SameBitsForAnyThreadCountAndBudget) {
    const std::vector<Data> ds = data_sets();
    for (const R route : {R::no_refit, R::refit, R::nspace, R::gram_p}) {
        const std::size_t k = route == R::no_refit ? 1 : 2;
        const Data& d = ds[route == R::nspace ? 0 : 3];  // with zero weights where allowed
        const PermTestResult ref = run(route, d, k, 8);
        resample_test::ScopedBudget tiny("1");
        const auto one = resample_test::on_one_thread([&] { return run(route, d, k, 8); });
        const PermTestResult small = run(route, d, k, 8);
        for (const PermTestResult& r : {one, small}) {
            EXPECT_EQ(r.statistic, ref.statistic);
            EXPECT_EQ(r.pvalue, ref.pvalue);
        }
    }
}

TEST(SplitPerm, PValuesSitOnTheLatticeAndReachItsFloor) {
    Data strong = data_sets()[0];
    strong.y = strong.x.col(0) + 0.05 * random_matrix(40, 1, 4).col(0);
    EXPECT_EQ(run(R::no_refit, strong, 1, 1, 199).pvalue, 1.0 / 200);
    EXPECT_EQ(run(R::gram_p, strong, 2, 1, 199).pvalue, 1.0 / 200);
    // Under the null the p-values are uniform on the lattice.
    const Eigen::MatrixXd x = random_matrix(30, 5, 40);
    std::vector<double> ps;
    for (unsigned s = 0; s < 200; ++s) {
        const Data null{"null", x, random_matrix(30, 1, 1000 + s).col(0), std::nullopt};
        const double p = run(R::no_refit, null, 1, s).pvalue;
        EXPECT_NEAR(p * 100.0, std::round(p * 100.0), 1e-9);
        ps.push_back(p);
    }
    EXPECT_LT(resample_test::lattice_ks(ps, 99), resample_test::ks_bound_1e6(ps.size()));
}

TEST(SplitPerm, PValueCountsTiesAndUnusableStatistics) {
    const auto not_finite = [](double v) { return !std::isfinite(v); };
    struct Case { double observed; std::vector<double> permuted; double p; };
    for (const Case& c : {Case{1.0, {0.5, 1.0, 2.0}, 3.0 / 4},
                          Case{1.0, {0.5, NAN, INFINITY, -1}, 3.0 / 5},
                          Case{NAN, {0.5, 0.1}, 1.0}, Case{INFINITY, {0.5}, 1.0}})
        EXPECT_EQ(perm_pvalue(c.observed, c.permuted, not_finite), c.p);
}

TEST(SplitPerm, RouteRuleAndRefusals) {
    struct Case { std::uint64_t n, p, B, k; std::optional<std::uint64_t> keep; bool w; R route; };
    for (const Case& c : {Case{100, 1000, 999, 2, {}, false, R::nspace},
                          Case{100, 1000, 999, 2, {}, true, R::refit},
                          Case{100, 10, 999, 1, {}, true, R::no_refit},
                          Case{100, 10, 999, 1, 5, false, R::refit},
                          Case{2000, 200, 999, 1, 5, false, R::gram_p},
                          Case{9000, 4001, 999, 3, {}, false, R::refit},
                          Case{2000, 200, 999, 2, 300, false, R::refit},
                          Case{2000, 200, 9, 2, {}, false, R::refit}})
        EXPECT_EQ(split_exact_refit_route(c.n, c.p, c.B, c.k, c.keep, c.w), c.route) << c.n;
    const Data d = data_sets()[0];
    const auto top_rows = [](const Eigen::MatrixXd& x, std::size_t n) {
        return MatView{x.data(), n, static_cast<std::size_t>(x.cols()), 1, x.rows()};
    };
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1);
    const auto nr = [&](std::size_t n, std::size_t k, std::optional<std::size_t> keep) {
        return run_split_perm_nr(top_rows(d.x, n), VecView::of(d.y), k, 9, 2, {}, keep, rng)
            .error().display();
    };
    EXPECT_NE(nr(40, 2, {}).find("requires k = 1 (got k=2)"), std::string::npos);
    EXPECT_NE(nr(40, 1, 3).find("does not support sparse keep"), std::string::npos);
    EXPECT_NE(nr(5, 1, {}).find("n=5 too small for k=1"), std::string::npos);
    // No split can be fitted: no evidence either way is an error, not p = 1.
    const Data low = data_sets()[2];
    Eigen::MatrixXd inf = d.x;
    inf(0, 0) = INFINITY;
    const MatView lx = MatView::of(low.x);
    EXPECT_TRUE(run_split_perm(R::refit, lx, VecView::of(low.y), 5, 9, 2, {}, {}, rng)
                    .error().is<VeltraError::InvalidInput>());
    EXPECT_TRUE(run_split_perm_nr(MatView::of(inf), VecView::of(d.y), 1, 9, 2, {}, {}, rng)
                    .error().is<VeltraError::InvalidInput>());
    EXPECT_FALSE(run_split_perm(R::refit, top_rows(d.x, 6), VecView::of(d.y), 2, 9, 2, {}, {},
                                rng));
}

TEST(SplitPerm, RefitRouteIsEveryColumnsOwnRefit) {
    // The refit route fits its columns in blocks; the test against the same
    // draws refitted one column at a time is the same bits, with weights,
    // keep, and more columns than one block.
    struct Case { std::size_t k; std::optional<std::size_t> keep; std::size_t B; };
    for (const Data& d : data_sets())
        for (const Case c : {Case{2, {}, 40}, Case{3, 2, 19}}) {
            if (c.k >= static_cast<std::size_t>(d.x.cols())) continue;
            const std::size_t J = 6, n = 40;
            ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(9);
            const auto splits = *draw_splits(n, c.k, J, rng);
            const Columns cols(VecView::of(d.y), child_seeds(rng, c.B));
            std::vector<std::vector<double>> rows;
            for (const SplitIdx& split : splits) {
                const PreparedSplit s = prepare_split(MatView::of(d.x), split, d.weights());
                std::vector<double> z;
                for (std::size_t j = 0; j <= c.B; ++j) {
                    const Eigen::VectorXd col = cols.column(j);
                    z.push_back(fisher_z(split_column_r(s, split, VecView::of(col), c.k, c.keep).r));
                }
                rows.push_back(z);
            }
            const std::vector<double> zbar = zbars_from_rows(c.B + 1, rows);
            const auto unusable = [](double v) { return !std::isfinite(v); };
            const PermTestResult got = run(R::refit, d, c.k, 9, c.B, c.keep);
            EXPECT_EQ(got.statistic, veltra::elementary::tanh(zbar[0])) << d.name << " k=" << c.k;
            EXPECT_EQ(got.pvalue,
                      perm_pvalue(zbar[0], std::span<const double>(zbar).subspan(1), unusable))
                << d.name << " k=" << c.k;
        }
}
