#include "veltra/resample/pls3_signal_test.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "veltra/correlation.hpp"
#include "veltra/elementary.hpp"
#include "veltra/finite.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/pls3.hpp"
#include "veltra/rng.hpp"
#include "veltra/settings.hpp"
#include "veltra/resample/gate.hpp"
#include "veltra/resample/signal_test.hpp"
#include "veltra/resample/split_nb.hpp"
#include "veltra/resample/splits.hpp"

namespace veltra::resample {

namespace {

Result<void> invalid(std::string message) {
    return fail(VeltraError::InvalidArgument{std::move(message)});
}

Result<void> check_arguments(MatView x, MatView y, std::uint64_t k,
                             const Pls3ConfirmatoryOpts& opts) {
    using M = ConfirmatoryMethod;
    const std::uint64_t p = x.cols, q = y.cols;
    if (y.rows != x.rows) return fail(VeltraError::DimensionMismatch{y.rows, x.rows, p});
    if (auto r = check_finite_mat(x, par_parallel); !r) return r;
    if (auto r = check_finite_mat(y, par_parallel); !r) return r;
    if (k == 0) return invalid("k must be >= 1");
    if (k >= 2)
        return invalid(
            "pls3_confirmatory_test supports k = 1 only (got k=" + std::to_string(k) +
            "): above LV1 neither the component ordering nor the individual directions need "
            "survive to the test half when singular values are close, and whether the statistic "
            "is per-component or subspace-level is undecided");
    if (std::min(p, q) == 0) return fail(VeltraError::KExceedsMax{1, 0});
    const Pls3SplitSparse& s = opts.sparse;
    if (auto r = validate_sparse(s.keep_X, s.keep_Y, p, q, s.max_iter, s.tol); !r) return r;
    const ConfirmatoryArgs& t = opts.test;
    if (std::ranges::find(pls3_confirmatory_methods, t.method) == pls3_confirmatory_methods.end())
        return invalid(
            "pls3_confirmatory_test supports test_method='split_exact', 'split_nb' or 'auto' "
            "(got '" + std::string(method_name(t.method)) +
            "'): 'raw_perm' needs a CV statistic PLS3 does not have (there is no pls3_predict); "
            "'score' is not implemented (its symmetric analog, an RV-type test on ‖X'Y‖_F², "
            "tests a different estimand); 'e' needs a generative model that symmetric "
            "cross-decomposition does not supply");
    if (t.method == M::split_nb) return check_n_splits(t.n_splits);
    return check_split_exact_counts(t.n_perm, t.n_splits);
}

bool dense(std::optional<std::uint64_t> keep, std::uint64_t columns) {
    return !keep || *keep >= columns;
}

// The primal correlation of one split, on blocks standardised whole.
double primal_split_r(MatView x, MatView y, const SplitIdx& split, const Pls3SplitSparse& sparse) {
    const StandardizedFro zx_tr = standardize_rows_fro(x, split.train);
    const Eigen::MatrixXd zx_te = standardize_apply_rows(x, split.test, VecView::of(zx_tr.mean),
                                                         VecView::of(zx_tr.scale));
    const StandardizedFro zy_tr = standardize_rows_fro(y, split.train);
    const Eigen::MatrixXd zy_te = standardize_apply_rows(y, split.test, VecView::of(zy_tr.mean),
                                                         VecView::of(zy_tr.scale));
    if (!zx_te.allFinite() || !zy_te.allFinite()) return 0.0;
    return pls3_split_column_r_primal(MatView::of(zx_tr.x_std), MatView::of(zy_tr.x_std),
                                      MatView::of(zx_te), MatView::of(zy_te), zx_tr.fro, sparse);
}

// A score vector whose spread is lost in rounding cannot carry a
// correlation that the streamed products could vouch for.
bool spread_clear(const Eigen::VectorXd& v) {
    const ScaledMoments sm = scaled_moments(VecView::of(v));
    const double d = 2.0 * static_cast<double>(v.size()) * eps;
    return d * d * sm.ref < sm.ss && std::sqrt(sm.ss) >= 0.001 * std::sqrt(sm.ref);
}

ConfirmatoryTestOutput output(double pvalue, double statistic, ConfirmatoryMethod method,
                              std::uint64_t seed, double n_eff) {
    ConfirmatoryTestOutput out;
    out.pvalue = pvalue;
    out.statistic = statistic;
    out.test_method = std::string(method_name(method));
    out.k = 1;
    out.seed = seed;
    out.n_eff = n_eff;
    return out;
}

Result<ConfirmatoryTestOutput> pls3_confirmatory_test_impl(MatView x, MatView y, std::uint64_t k,
                                                           const Pls3ConfirmatoryOpts& opts) {
    if (auto r = check_arguments(x, y, k, opts); !r) return std::unexpected(r.error());
    const std::size_t n = x.rows, p = x.cols, q = y.cols;
    // The test takes no weights, so n_eff is n and the gate sees none.
    const auto n_eff = static_cast<double>(n);
    const ResolvedMethod how = resolve_method(opts.test, x, std::nullopt, n_eff, false);
    const ConfirmatoryMethod method = how.test.method;
    VELTRA_TRY(seeded, resolve_seed(opts.seed));
    VELTRA_TRY(splits, draw_splits(n, 1, how.test.n_splits, seeded->rng));
    const std::size_t m = splits->empty() ? 0 : (*splits)[0].train.size();
    const Pls3SplitSparse& sparse = opts.sparse;

    if (method == ConfirmatoryMethod::split_nb) {
        const std::vector<double> r =
            dense(sparse.keep_X, p) && dense(sparse.keep_Y, q)
                ? pls3_split_lv_correlations_streamed(x, y, *splits, sparse)
                : pls3_split_lv_correlations(x, y, *splits, sparse);
        const NbTest nb = nb_test(r, m, n - m);
        // A statistic that is not a number is no evidence, never significance.
        const double pvalue = std::isfinite(nb.statistic) ? nb.p : 1.0;
        ConfirmatoryTestOutput out = output(pvalue, nb.statistic, method, seeded->seed, n_eff);
        out.n_splits = how.test.n_splits;
        out.rho_hat = nb_rho_hat(r, n - m);
        out.stable_rank = how.stable_rank;
        return out;
    }

    const std::uint64_t B = how.test.n_perm;
    const double columns = static_cast<double>(sat_mul(sat_add(B, 1), q));
    const bool nspace = dense(sparse.keep_X, p) && m >= 1 && m <= 4000 &&
                        (static_cast<double>(p) + columns) * static_cast<double>(m) <
                            static_cast<double>(p) * columns;
    const std::vector<std::uint64_t> seeds = child_seeds(seeded->rng, B);
    const std::vector<std::vector<std::uint64_t>> perms = parallel_for_each_seeded(
        seeds, [n](std::size_t, ChaCha8Rng& rng) { return shuffled_rows(n, rng); });
    const std::vector<double> zbar =
        nspace ? pls3_split_zbars_columns(x, y, *splits, perms, sparse)
               : pls3_split_zbars_columns_primal(x, y, *splits, perms, sparse);
    const double pvalue = perm_pvalue(zbar[0], std::span<const double>(zbar).subspan(1),
                                      [](double v) { return !std::isfinite(v); });
    ConfirmatoryTestOutput out =
        output(pvalue, elementary::tanh(zbar[0]), method, seeded->seed, n_eff);
    out.n_perm = B;
    out.n_splits = how.test.n_splits;
    out.stable_rank = how.stable_rank;
    return out;
}

}  // namespace

Result<ConfirmatoryTestOutput> pls3_confirmatory_test(MatView x, MatView y, std::uint64_t k,
                                                      const Pls3ConfirmatoryOpts& opts) {
    return run_entry([&] { return pls3_confirmatory_test_impl(x, y, k, opts); });
}

std::vector<double> pls3_split_lv_correlations(MatView x, MatView y,
                                               std::span<const SplitIdx> splits,
                                               const Pls3SplitSparse& sparse) {
    return map_units(splits.size(), primal_split_unit_bytes(splits, x.cols, y.cols, 1),
                     [&](std::size_t j) { return primal_split_r(x, y, splits[j], sparse); });
}

std::uint64_t streamed_split_unit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                        std::uint64_t q) {
    if (splits.empty()) return 0;
    const std::uint64_t m = splits[0].train.size(), nt = splits[0].test.size();
    const std::uint64_t w = std::min<std::uint64_t>(split_block_width(m, nt), p);
    // Held throughout: the standardised training and test Y with the
    // training moments, X'Y, and the test half's X scores through it (A).
    std::uint64_t held = sat_add(block_bytes(m, q), block_bytes(nt, sat_mul(2, q)));
    held = sat_add(held, sat_add(block_bytes(p, q), block_bytes(q, 3)));
    // While X is walked: a block of each half with its moments, and the
    // product that fills a band of X'Y or adds to A, with its packing.
    const std::uint64_t walk =
        sat_add(sat_add(split_blocks_bytes(m, nt, w), block_bytes(w, 3)),
                sat_add(block_bytes(std::max(w, nt), q), product_packing_bytes));
    // Then the first pair of X'Y and the two test score vectors.
    const std::uint64_t fit = sat_add(pls3_lv1_workspace_bytes(p, q), block_bytes(nt, 2));
    return sat_add(held, std::max(walk, fit));
}

std::vector<double> pls3_split_lv_correlations_streamed(MatView x, MatView y,
                                                        std::span<const SplitIdx> splits,
                                                        const Pls3SplitSparse& sparse) {
    const std::size_t J = splits.size();
    const std::uint64_t bytes = streamed_split_unit_bytes(splits, x.cols, y.cols);
    PendingTable<double> table = map_units(J, bytes, [&](std::size_t j) {
        return std::vector<std::optional<double>>{pls3_split_r_streamed(x, y, splits[j])};
    });
    const auto rows = fill_pending(std::move(table),
                                   primal_split_unit_bytes(splits, x.cols, y.cols, 1),
                                   [&](std::size_t j, std::span<const std::size_t>) {
                                       return std::vector<double>{
                                           primal_split_r(x, y, splits[j], sparse)};
                                   });
    std::vector<double> r;
    r.reserve(J);
    for (const auto& row : rows) r.push_back(row[0]);
    return r;
}

std::optional<double> pls3_split_r_streamed(MatView x, MatView y, const SplitIdx& split) {
    const std::size_t p = x.cols, q = y.cols, n_tr = split.train.size();
    const StandardizedFro zy_tr = standardize_rows_fro(y, split.train);
    const Eigen::MatrixXd zy_te = standardize_apply_rows(y, split.test, VecView::of(zy_tr.mean),
                                                         VecView::of(zy_tr.scale));
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(to_index(p), to_index(q));
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(to_index(split.test.size()), to_index(q));
    const MatView zy = MatView::of(zy_tr.x_std);
    const double x_norm = for_each_split_block(
        x, split, [&](std::size_t j0, const StandardizedFro& tr, const Eigen::MatrixXd& te) {
            const auto w = static_cast<std::size_t>(tr.x_std.cols());
            c.middleRows(to_index(j0), to_index(w)) =
                mat_mul(MatView::of(tr.x_std).transposed(), zy, par_sequential);
            const MatView c_block{c.data() + j0, w, q, 1, static_cast<std::ptrdiff_t>(p)};
            a += mat_mul(MatView::of(te), c_block, par_sequential);
        });
    if (!c.allFinite() || !a.allFinite() || !zy_te.allFinite()) return std::nullopt;
    const double tol =
        (static_cast<double>(std::max({q, p, n_tr})) * eps) * x_norm * zy_tr.fro;
    const auto lv = pls3_lv1_from_cross_cov(c, tol);
    if (!lv || !*lv) return std::nullopt;
    const double s1 = (*lv)->s;
    if (!(s1 >= 8.0 * tol && s1 >= 1e-12)) return std::nullopt;
    const VecView v = VecView::of((*lv)->v);
    const Eigen::VectorXd t = mat_vec(MatView::of(a), v, par_sequential);
    const Eigen::VectorXd s = mat_vec(MatView::of(zy_te), v, par_sequential);
    if (!spread_clear(t) || !spread_clear(s)) return std::nullopt;
    return pearson_r_guarded(VecView::of(t), VecView::of(s));
}

std::vector<double> pls3_split_zbars_columns_primal(MatView x, MatView y,
                                                    std::span<const SplitIdx> splits,
                                                    RowPerms perms,
                                                    const Pls3SplitSparse& sparse) {
    const std::size_t J = splits.size(), C = perms.size() + 1;
    std::vector<std::size_t> columns(C);
    for (std::size_t c = 0; c < C; ++c) columns[c] = c;
    const std::uint64_t bytes = primal_split_unit_bytes(splits, x.cols, y.cols, C);
    const auto rows = map_units(J, bytes, [&](std::size_t j) {
        return pls3_split_columns_z_primal(x, y, splits[j], columns, perms, sparse);
    });
    return zbars_from_rows(C, rows);
}

}  // namespace veltra::resample
