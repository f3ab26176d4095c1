#include <algorithm>
#include <cmath>
#include <new>

#include "perm_support.hpp"
#include "veltra/component_block.hpp"
#include "veltra/correlation.hpp"
#include "veltra/elementary.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/settings.hpp"
#include "veltra/resample/dual_route.hpp"
#include "veltra/resample/nr_split.hpp"
#include "veltra/resample/signal_test.hpp"
#include "veltra/text.hpp"

namespace veltra::resample {

namespace {

using detail::column_batch;

bool not_finite(double v) { return !std::isfinite(v); }

// One split's Fisher z values, and whether the observed response could be
// fitted on it.
struct ZRow {
    std::vector<double> z;
    bool fitted = false;
};

Result<PermTestResult> split_perm_result(std::span<const ZRow> rows, std::size_t C) {
    if (std::none_of(rows.begin(), rows.end(), [](const ZRow& r) { return r.fitted; }))
        return std::unexpected(every_split_failed());
    std::vector<std::vector<double>> z;
    for (const ZRow& r : rows) z.push_back(r.z);
    const std::vector<double> zbar = zbars_from_rows(C, z);
    const double observed = zbar[0];
    const std::span<const double> permuted = std::span<const double>(zbar).subspan(1);
    return PermTestResult{perm_pvalue(observed, permuted, not_finite), elementary::tanh(observed)};
}

// The certified correlation of a Gram-route prediction, or empty: the
// prediction's spread must stand clear of its size and of the error bound
// carried from the fit.
std::optional<double> certified_r(VecView pred, VecView y_test, double test_fro,
                                  const GramReplicateFit& fit) {
    constexpr double u = 0x1p-53;
    const double nt = static_cast<double>(pred.len);
    const auto p = static_cast<double>(fit.coef.size());
    const PrescaledSums sp = prescaled_sums(pred), sy = prescaled_sums(y_test);
    const double tau = flat_share(nt);
    if (sy.centred <= tau * sy.raw) return 0.0;
    const double norm = std::sqrt(sp.raw) / sp.scale, spread = std::sqrt(sp.centred) / sp.scale;
    const double coef_norm = stable_norm(VecView::of(fit.coef));
    const double bound =
        4.0 * (2.0 * (nt + 2.0) * u * norm +
               test_fro * (2.0 * fit.coef_err + 2.0 * (p + 2.0) * u * coef_norm));
    const bool certified = 4.0 * 2.0 * nt * eps * norm <= spread &&
                           !(sp.centred <= tau * sp.raw) && spread >= 0.001 * norm &&
                           spread >= bound;
    if (!certified) return std::nullopt;
    return guarded_pearson(pred, y_test);
}

// split_column_r for a group of columns (n x w) of a finite split with
// weight on both halves, the refits run as one block fit: each value is the
// bits of its own refit.
std::vector<double> split_columns_r_refit(const PreparedSplit& s, const SplitIdx& split,
                                          MatView values, std::size_t k,
                                          std::optional<std::size_t> keep) {
    const std::size_t w = values.cols, m = split.train.size();
    const auto p = static_cast<std::size_t>(s.train.cols());
    std::vector<double> out(w, SplitR{}.r);
    std::vector<std::size_t> fitted;
    Eigen::MatrixXd y_train(to_index(m), to_index(w));
    for (std::size_t i = 0; i < w; ++i) {
        const Eigen::VectorXd y = split_train_target(s.w_train, split.train, values.column(i));
        if (!check_fit_y_and_k(p, VecView::of(y), k, keep)) continue;
        y_train.col(to_index(fitted.size())) = y;
        fitted.push_back(i);
    }
    const MatView ys{y_train.data(), m, fitted.size(), 1, to_index(m)};
    const Eigen::MatrixXd coef = pls1_coef_prepared_block(MatView::of(s.train), ys, k, keep, s.fro);
    const Eigen::MatrixXd pred = mat_vec_columns(MatView::of(s.test), MatView::of(coef));
    for (std::size_t q = 0; q < fitted.size(); ++q) {
        const Eigen::VectorXd y_test =
            split_test_target(s.w_test, split.test, values.column(fitted[q]));
        out[fitted[q]] = guarded_pearson(MatView::of(pred).column(q), VecView::of(y_test));
    }
    return out;
}

// Columns per group on the n-space or Gram route, and the bytes of one
// group, for a unit of n rows, m of them training.
std::size_t group_width(SplitExactRoute route, std::size_t n) {
    return route == SplitExactRoute::nspace ? detail::nspace_group : detail::gram_group(n);
}
std::uint64_t group_bytes(SplitExactRoute route, std::uint64_t n, std::uint64_t m,
                          std::uint64_t p, std::uint64_t k) {
    const std::uint64_t w = group_width(route, n);
    return route == SplitExactRoute::nspace ? detail::nspace_group_bytes(n, m, k, w)
                                            : detail::gram_group_bytes(n, m, p, k, w);
}

// Peak bytes of one split on the refit, n-space or Gram route: the prepared
// split with its observed column and row of values, then the route's
// structure while it is built, or the structure held with the column groups
// and the refits that run at once.
std::uint64_t split_unit_bytes(SplitExactRoute route, std::span<const SplitIdx> splits,
                               std::uint64_t p, std::uint64_t k, std::uint64_t C) {
    if (splits.empty()) return 0;
    const std::uint64_t m = splits[0].train.size(), nt = splits[0].test.size(), n = m + nt;
    std::uint64_t built = 0, held = 0, groups = 0;
    if (route == SplitExactRoute::nspace) {
        built = nspace_train_test_bytes(m, nt, p);
        held = split_blocks_bytes(splits, m);
    } else if (route == SplitExactRoute::gram_p) {
        built = mat_mul_bytes(p, m, p);
        held = block_bytes(p, p);
    }
    if (route != SplitExactRoute::refit)
        groups = detail::at_once_bytes(ceil_div(C, group_width(route, n)),
                                       group_bytes(route, n, m, p, k));
    // The refit route fits its columns in groups; the others refit the
    // columns they cannot vouch for one at a time.
    const std::uint64_t g = detail::refit_group;
    const std::uint64_t fits =
        route == SplitExactRoute::refit
            ? detail::at_once_bytes(ceil_div(C, g), detail::refit_group_bytes(n, m, p, k, g))
            : detail::at_once_bytes(C, refit_bytes(n, m, p, k));
    const std::uint64_t work = sat_add(held, sat_add(groups, fits));
    const std::uint64_t own =
        sat_add(block_bytes(n, 1), sat_add(block_bytes(m, 2), block_bytes(C, 2)));
    return sat_add(sat_add(prepared_split_bytes(splits, p), own), std::max(built, work));
}

// The z row of one split on the refit, n-space or Gram route.
ZRow split_z_row(SplitExactRoute route, MatView x, const Columns& cols, const SplitIdx& split,
                 std::size_t k, std::optional<VecView> weights, std::optional<std::size_t> keep) {
    const std::size_t C = cols.count(), n = x.rows, p = x.cols, m = split.train.size();
    const PreparedSplit s = prepare_split(x, split, weights);
    std::vector<double> r(C, 0.0);
    bool fitted = false;
    // Non-finite blocks, or a half without weight, leave nothing to fit: r = 0.
    if (s.fittable()) {
        const Eigen::VectorXd col0 = cols.column(0);
        const Eigen::VectorXd y0 = split_train_target(s.w_train, split.train, VecView::of(col0));
        fitted = check_fit_y_and_k(p, VecView::of(y0), k, keep).has_value();
        const std::uint64_t fit_bytes = refit_bytes(n, m, p, k);
        const auto refit = [&](std::size_t c) {
            const Eigen::VectorXd col = cols.column(c);
            return split_column_r(s, split, VecView::of(col), k, keep).r;
        };
        if (route == SplitExactRoute::refit) {
            const std::size_t group = detail::refit_group;
            const std::uint64_t bytes = detail::refit_group_bytes(n, m, p, k, group);
            r = detail::joined(detail::column_groups(cols, group, bytes, [&](MatView values) {
                return split_columns_r_refit(s, split, values, k, keep);
            }));
        } else {
            std::optional<NspaceSplit> ns;
            std::optional<SplitGram> sg;
            if (route == SplitExactRoute::nspace) ns.emplace(s, par_parallel);
            else sg.emplace(s, par_parallel);
            const std::size_t group = group_width(route, n);
            const auto parts = detail::column_groups(
                cols, group, group_bytes(route, n, m, p, k), [&](MatView values) {
                    return ns ? split_columns_r_nspace(split, *ns, values, k)
                              : split_columns_r_gram_p(*sg, s, split, values, k, keep);
                });
            std::vector<std::size_t> pending;
            for (std::size_t c = 0; c < C; ++c) {
                const std::optional<double>& cell = parts[c / group][c % group];
                if (cell) r[c] = *cell;
                else pending.push_back(c);
            }
            const std::vector<double> filled =
                map_batches(pending.size(), column_batch(m, p, k, pending.size(), fit_bytes),
                            [&](std::size_t q) { return refit(pending[q]); });
            for (std::size_t q = 0; q < pending.size(); ++q) r[pending[q]] = filled[q];
        }
    }
    for (double& v : r) v = fisher_z(v);
    return {std::move(r), fitted};
}

}  // namespace

double perm_pvalue(double observed, std::span<const double> permuted, bool (*unusable)(double)) {
    if (!std::isfinite(observed)) return 1.0;
    std::uint64_t count = 0;
    for (const double v : permuted) count += unusable(v) || v >= observed;
    return (static_cast<double>(count) + 1.0) / (static_cast<double>(permuted.size()) + 1.0);
}

SplitExactRoute split_exact_refit_route(std::uint64_t n, std::uint64_t p, std::uint64_t n_perm,
                                        std::uint64_t k, std::optional<std::uint64_t> keep,
                                        bool weighted) {
    using R = SplitExactRoute;
    if (!keep && k == 1) return R::no_refit;
    const std::uint64_t m = n < 3 ? 0 : std::min(std::max(sat_add(k, 2), n / 2), n - 3);
    const auto d = [](std::uint64_t v) { return static_cast<double>(v); };
    if (!keep && k == 2 && !weighted && m >= 3 && m <= 4000) {
        const double c2 = d(sat_mul(2, sat_add(n_perm, 1)));
        if ((d(p) + c2) * d(m) < d(p) * c2) return R::nspace;
    }
    if (k - 1 >= p || (keep && (*keep < 1 || *keep > p)) || k > 3 || p > 4000 || k > p)
        return R::refit;
    if (k >= 3 && sat_mul(3000, p) < m) return R::refit;
    const double t = d(sat_add(n_perm, 1)) * d(k);
    if (!((1.3 * t + 0.33 * d(m)) * d(p) < 2.0 * t * d(m))) return R::refit;
    return d(2 * k + 1) * d(sat_add(n_perm, 1)) * d(m) * d(p) >= 1e8 ? R::gram_p : R::refit;
}

std::vector<double> zbars_from_rows(std::size_t n_columns,
                                    std::span<const std::vector<double>> rows) {
    std::vector<double> sum(n_columns, 0.0);
    for (const auto& row : rows) {
        internal_check(row.size() <= n_columns, "a z row is longer than the columns");
        for (std::size_t c = 0; c < row.size(); ++c) sum[c] += row[c];
    }
    for (double& v : sum) v /= static_cast<double>(rows.size());
    return sum;
}

SplitGram::SplitGram(const PreparedSplit& s, Par par)
    : block(MatView::of(s.train), par, par_sequential),
      test_fro(stable_norm(MatView::of(s.test))) {}

std::vector<std::optional<double>> split_columns_r_gram_p(const SplitGram& g,
                                                          const PreparedSplit& s,
                                                          const SplitIdx& split, MatView values,
                                                          std::size_t k,
                                                          std::optional<std::size_t> keep) {
    const std::size_t w = values.cols, m = split.train.size(), p = g.block.x.cols;
    std::vector<std::optional<double>> out(w);
    if (w == 0) return out;
    Eigen::MatrixXd y_train(to_index(m), to_index(w));
    for (std::size_t i = 0; i < w; ++i)
        y_train.col(to_index(i)) = split_train_target(s.w_train, split.train, values.column(i));
    // X'Y of the whole group in one product: the pass over the training
    // block that a fit per column would repeat.
    const Eigen::MatrixXd cross =
        ordered_product(g.block.x.transposed(), MatView::of(y_train), par_sequential);
    Eigen::MatrixXd coef = Eigen::MatrixXd::Zero(to_index(p), to_index(w));
    std::vector<std::optional<GramReplicateFit>> fits(w);
    for (std::size_t i = 0; i < w; ++i) {
        const Eigen::VectorXd c = cross.col(to_index(i));
        fits[i] = g.block.fit_replicate_full(MatView::of(y_train).column(i), k, keep, &c);
        if (fits[i]) coef.col(to_index(i)) = fits[i]->coef;
    }
    const Eigen::MatrixXd pred =
        ordered_product(MatView::of(s.test), MatView::of(coef), par_sequential);
    for (std::size_t i = 0; i < w; ++i) {
        if (!fits[i]) continue;
        if (fits[i]->k_used == 0) {
            out[i] = 0.0;
            continue;
        }
        const Eigen::VectorXd y_test = split_test_target(s.w_test, split.test, values.column(i));
        out[i] = certified_r(MatView::of(pred).column(i), VecView::of(y_test), g.test_fro,
                             *fits[i]);
    }
    return out;
}

Result<PermTestResult> run_split_perm(SplitExactRoute route, MatView x, VecView y, std::size_t k,
                                      std::size_t n_perm, std::size_t n_splits,
                                      std::optional<VecView> weights,
                                      std::optional<std::size_t> keep, ChaCha8Rng& rng) {
    internal_check(route != SplitExactRoute::no_refit, "run_split_perm runs routes 1 to 3");
    // The n-space kernel fits unweighted targets without keep.
    internal_check(route != SplitExactRoute::nspace || (!weights && !keep),
                   "the n-space split route takes neither weights nor keep");
    const std::size_t n = x.rows, p = x.cols;
    VELTRA_TRY(splits, draw_splits(n, k, n_splits, rng));
    const Columns cols(y, child_seeds(rng, n_perm));
    const std::uint64_t C = cols.count();
    const auto rows =
        map_units(n_splits, split_unit_bytes(route, *splits, p, k, C), [&](std::size_t j) {
            return split_z_row(route, x, cols, (*splits)[j], k, weights, keep);
        });
    return split_perm_result(rows, C);
}

Result<PermTestResult> run_split_perm_nr(MatView x, VecView y, std::size_t k,
                                         std::size_t n_perm, std::size_t n_splits,
                                         std::optional<VecView> weights,
                                         std::optional<std::size_t> keep, ChaCha8Rng& rng) {
    const std::size_t n = x.rows, p = x.cols;
    if (k != 1)
        return fail(VeltraError::InvalidArgument{
            "run_split_perm_nr requires k = 1 (got k=" + format_count(k) +
            "); use run_split_perm (split_exact's refit route) for k > 1"});
    if (keep)
        return fail(VeltraError::InvalidArgument{
            "run_split_perm_nr does not support sparse keep; use run_split_perm (split_exact's "
            "refit route) instead"});
    if (n < 6)
        return fail(VeltraError::InvalidArgument{"n=" + format_count(n) +
                                                 " too small for k=1 under split methods (need "
                                                 "n ≥ k+5)"});
    const std::size_t m = std::min(n / 2, n - 3);
    // The draws below are held whole (splits, permutations, then the outcome
    // matrix). Counts whose arrays cannot fit in memory end the call before
    // the first draw, instead of growing until the process is killed.
    const std::uint64_t row_bytes = sat_mul(n, 8);
    const std::uint64_t held = sat_add(sat_mul(n_splits, sat_add(row_bytes, sizeof(SplitIdx))),
                                       sat_mul(sat_add(n_perm, 1), sat_mul(row_bytes, 2)));
    if (held > physical_memory_bytes()) throw std::bad_alloc();
    std::vector<SplitIdx> splits;
    splits.reserve(n_splits);
    for (std::size_t j = 0; j < n_splits; ++j) splits.push_back(one_split(n, m, rng));
    // The permutations only gather the outcome matrix: they are gone before
    // the first split runs.
    const Eigen::MatrixXd outcomes = [&] {
        std::vector<std::vector<std::uint64_t>> perms;
        perms.reserve(n_perm);
        for (std::size_t b = 0; b < n_perm; ++b) perms.push_back(shuffled_rows(n, rng));
        return nr_outcome_matrix(y, perms);
    }();
    const std::size_t C = n_perm + 1;
    const bool gram = nr_gram_flag(n, m, p, C);
    PendingTable<SplitR> table =
        map_units(n_splits, nr_split_bytes(m, n - m, C, gram), [&](std::size_t j) {
            std::vector<std::optional<SplitR>> row;
            for (const auto& r : nr_split_r(x, outcomes, splits[j], weights, gram))
                row.push_back(r ? std::optional(SplitR{*r, true}) : std::nullopt);
            return row;
        });
    const std::uint64_t fit_bytes = refit_bytes(n, m, p, 1);
    const std::uint64_t pending_bytes =
        split_refit_bytes(splits, p, 1, std::min<std::uint64_t>(detail::pool_threads(), C));
    auto rows = fill_pending(
        std::move(table), pending_bytes, [&](std::size_t u, std::span<const std::size_t> pending) {
            const PreparedSplit s = prepare_split(x, splits[u], weights);
            return map_batches(pending.size(), column_batch(m, p, 1, pending.size(), fit_bytes),
                               [&](std::size_t q) {
                                   const auto c = to_index(pending[q]);
                                   const VecView col{outcomes.col(c).data(), n, 1};
                                   return split_column_r(s, splits[u], col, 1, std::nullopt);
                               });
        });
    std::vector<ZRow> z;
    for (const auto& row : rows) {
        ZRow zr{{}, !row.empty() && row[0].fitted};
        for (const SplitR& v : row) zr.z.push_back(fisher_z(v.r));
        z.push_back(std::move(zr));
    }
    return split_perm_result(z, C);
}

}  // namespace veltra::resample
