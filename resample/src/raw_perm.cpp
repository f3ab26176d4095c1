#include <algorithm>
#include <cmath>
#include <numeric>

#include "perm_support.hpp"
#include "veltra/finite.hpp"
#include "veltra/fit.hpp"
#include "veltra/fold_split.hpp"
#include "veltra/linalg.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/resample/cv_fold.hpp"
#include "veltra/resample/dual_route.hpp"
#include "veltra/resample/signal_test.hpp"
#include "veltra/standardize.hpp"

namespace veltra::resample {

namespace {

using Contribution = Result<CvContribution>;

bool is_nan(double v) { return std::isnan(v); }

// Training rows of the largest training set and test rows of the largest
// test fold.
struct FoldSizes {
    std::uint64_t train = 0, test = 0;
};
FoldSizes fold_sizes(std::uint64_t n, Folds folds) {
    FoldSizes out;
    for (const auto& f : folds) {
        out.train = std::max<std::uint64_t>(out.train, n - f.size());
        out.test = std::max<std::uint64_t>(out.test, f.size());
    }
    return out;
}

// Peak bytes of prepare_cv_fold on the largest fold: its two blocks, the
// training block's weighted copy, the row lists, moments and weights.
std::uint64_t prepared_fold_bytes(std::uint64_t n, Folds folds, std::uint64_t p, bool weighted) {
    const std::uint64_t mtr = fold_sizes(n, folds).train;
    const std::uint64_t copy = weighted ? block_bytes(mtr, p) : 0;
    // Row lists and their copies, weights with roots and copies, eight
    // gathered columns; means, scales and norm terms.
    const std::uint64_t small = sat_add(block_bytes(n, 16), block_bytes(p, 3));
    return sat_add(sat_add(fold_blocks_bytes(n, folds, p), copy), small);
}

// Peak bytes of one fold on the refit, two-component n-space or Gram route:
// the prepared fold with its row of contributions, then the route's
// structure while it is built, or the structure held with the columns or
// column groups that run at once.
std::uint64_t fold_unit_bytes(RawPermRoute route, std::uint64_t n, Folds folds, std::uint64_t p,
                              std::uint64_t k, bool weighted, std::uint64_t C) {
    const FoldSizes sz = fold_sizes(n, folds);
    const std::uint64_t fit = refit_bytes(n, sz.train, p, k);
    std::uint64_t built = 0, work = 0;
    if (route == RawPermRoute::gram_p) {
        built = mat_mul_bytes(p, sz.train, p);
        const std::uint64_t w = detail::gram_group(n);
        work = sat_add(block_bytes(p, p),
                       detail::at_once_bytes(ceil_div(C, w),
                                             detail::gram_group_bytes(n, sz.train, p, k, w)));
    } else if (route == RawPermRoute::nspace) {
        built = nspace_train_test_bytes(sz.train, sz.test, p);
        const std::uint64_t column =
            sat_add(fit, sat_add(nspace_kernel_bytes(sz.train, k, 1), block_bytes(sz.train, 1)));
        work = sat_add(fold_blocks_bytes(n, folds, sz.train), detail::at_once_bytes(C, column));
    } else {
        const std::uint64_t w = detail::refit_group;
        work = detail::at_once_bytes(ceil_div(C, w),
                                     detail::refit_group_bytes(n, sz.train, p, k, w));
    }
    const std::uint64_t own =
        sat_add(prepared_fold_bytes(n, folds, p, weighted), sat_mul(C, sizeof(Contribution)));
    return sat_add(own, std::max(built, work));
}

// Peak bytes of the one-component n-space pass on one fold: the row lists
// and the fold's test-by-training and training Gram matrices, then either a
// block of about 2 MiB of each half with its products, or the responses
// standardised with their products (G Y, G G Y, K Y) and per column its
// prediction; the row of results.
std::uint64_t nspace_cv_fold_bytes(std::uint64_t n, Folds folds, std::uint64_t C) {
    std::uint64_t most = 0;
    for (const auto& fold : folds) {
        const std::uint64_t t = fold.size(), r = n - t;
        const std::uint64_t w = Pls1CvR2Columns::block_width(r, t);
        const std::uint64_t blocks =
            sat_add(sat_add(block_bytes(r, w), block_bytes(t, w)),
                    sat_add(block_bytes(w, 3), std::max(ordered_product_bytes(r, w, r),
                                                        ordered_product_bytes(t, w, r))));
        const std::uint64_t ky = sat_add(block_bytes(r, C), ordered_product_bytes(t, r, C));
        const std::uint64_t products =
            sat_add(block_bytes(r, sat_mul(2, C)), std::max(ordered_product_bytes(r, r, C), ky));
        const std::uint64_t columns = sat_add(
            sat_mul(C, sizeof(Standardized1)),
            detail::at_once_bytes(C, sat_add(block_bytes(r, 2), block_bytes(t, 2))));
        const std::uint64_t responses = sat_add(products, columns);
        most = std::max(most, std::max(blocks, responses));
    }
    const std::uint64_t held =
        sat_add(block_bytes(n, 1), fold_blocks_bytes(n, folds, fold_sizes(n, folds).train));
    return sat_add(sat_add(held, most), sat_mul(C, sizeof(CvCell)));
}

// Contributions of a group of columns (n x w) by the p-space Gram route;
// a column the gates cannot vouch for is refitted exactly.
std::vector<Contribution> raw_perm_units(const CvFold& fold, const GramPBlock& block,
                                         MatView values, std::size_t k,
                                         std::optional<std::size_t> keep) {
    const std::size_t w = values.cols, p = block.x.cols;
    std::vector<CvTargets> targets;
    Eigen::MatrixXd y_train(to_index(fold.train.size()), to_index(w));
    for (std::size_t i = 0; i < w; ++i) {
        targets.push_back(cv_fold_targets(fold, values.column(i)));
        y_train.col(to_index(i)) = targets[i].train;
        if (fold.w_train.root) y_train.col(to_index(i)).array() *= fold.w_train.root->array();
    }
    const Eigen::MatrixXd cross =
        ordered_product(block.x.transposed(), MatView::of(y_train), par_sequential);
    Eigen::MatrixXd coef = Eigen::MatrixXd::Zero(to_index(p), to_index(w));
    std::vector<bool> resolved(w, false);
    for (std::size_t i = 0; i < w; ++i) {
        // The refit's own checks first, so both routes fail the same columns.
        if (!check_fit_y_and_k(p, VecView::of(targets[i].train), k, keep)) continue;
        const Eigen::VectorXd c = cross.col(to_index(i));
        const auto fit = block.fit_replicate_full(MatView::of(y_train).column(i), k, keep, &c);
        if (!fit) continue;
        coef.col(to_index(i)) = fit->coef;
        resolved[i] = true;
    }
    const Eigen::MatrixXd pred =
        ordered_product(MatView::of(fold.z_test), MatView::of(coef), par_sequential);
    std::vector<Contribution> out;
    for (std::size_t i = 0; i < w; ++i)
        out.push_back(resolved[i] ? Contribution(fold_sums(MatView::of(pred).column(i),
                                                           VecView::of(targets[i].test)))
                                  : cv_fold_contribution(fold, values.column(i), k, keep));
    return out;
}

// Every column's contribution on one fold (refit, two-component n-space or
// Gram route); the fold's own failure is the test's.
Result<std::vector<Contribution>> pooled_cv_r2_columns(RawPermRoute route, MatView x,
                                                       Folds folds, std::size_t f,
                                                       std::optional<VecView> weights,
                                                       const Columns& cols, std::size_t k,
                                                       std::optional<std::size_t> keep) {
    VELTRA_TRY(fold, prepare_cv_fold(x, folds, f, weights));
    const std::size_t C = cols.count();
    const std::size_t n = x.rows, p = x.cols, m = fold->train.size();
    if (route == RawPermRoute::gram_p && !fold->massless()) {
        const GramPBlock block(MatView::of(fold->z_train), par_parallel, par_sequential);
        const std::size_t group = detail::gram_group(n);
        const std::uint64_t bytes = detail::gram_group_bytes(n, m, p, k, group);
        return detail::joined(detail::column_groups(cols, group, bytes, [&](MatView values) {
            return raw_perm_units(*fold, block, values, k, keep);
        }));
    }
    if (route == RawPermRoute::refit) {
        const std::size_t group = detail::refit_group;
        const std::uint64_t bytes = detail::refit_group_bytes(n, m, p, k, group);
        return detail::joined(detail::column_groups(cols, group, bytes, [&](MatView values) {
            return cv_fold_contributions(*fold, values, k, keep);
        }));
    }
    std::optional<NspaceFold> nf;
    if (route == RawPermRoute::nspace && !fold->massless()) nf.emplace(*fold, par_parallel);
    const std::uint64_t column_bytes =
        sat_add(refit_bytes(n, m, p, k), nf ? nspace_kernel_bytes(m, k, 1) : 0);
    return detail::map_items(C, column_bytes, [&](std::size_t j) {
        const Eigen::VectorXd col = cols.column(j);
        return nf ? fold_column_nspace(*fold, *nf, VecView::of(col), k)
                  : cv_fold_contribution(*fold, VecView::of(col), k, keep);
    });
}

// The one-component n-space pass: all columns at once per fold, the pending
// ones refitted. A fold whose standardised X is not finite fails as a whole,
// as on the other routes: with a finite y, that is the only way every column
// of the pass fails with non_finite_input.
std::vector<Result<std::vector<Contribution>>> nspace_cv_contributions(MatView x, VecView y,
                                                                       Folds folds,
                                                                       const Columns& cols) {
    const std::size_t n = x.rows, p = x.cols, C = cols.count();
    const Eigen::MatrixXd y_all = detail::column_block(cols, 0, C);
    const Pls1CvR2Columns pass(x, MatView::of(y_all), folds);
    PendingTable<Contribution> table = map_units(folds.size(), nspace_cv_fold_bytes(n, folds, C),
                                                 [&](std::size_t f) { return pass.fold_pass(f); });
    const bool y_finite =
        check_finite_mat(MatView{y.data, y.len, 1, y.stride, static_cast<std::ptrdiff_t>(y.len)})
            .has_value();
    std::vector<bool> fold_failed(table.size(), false);
    for (std::size_t f = 0; f < table.size(); ++f)
        fold_failed[f] = y_finite && C > 0 && table[f][0] && !*table[f][0] &&
                         table[f][0]->error().is<VeltraError::NonFiniteInput>();
    const std::uint64_t fit_bytes = refit_bytes(n, fold_sizes(n, folds).train, p, 1);
    const std::uint64_t refill_bytes =
        sat_add(prepared_fold_bytes(n, folds, p, false), detail::at_once_bytes(C, fit_bytes));
    auto filled = fill_pending(std::move(table), refill_bytes,
                               [&](std::size_t f, std::span<const std::size_t> pending) {
                                   return pass.refill(f, pending, fit_bytes);
                               });
    std::vector<Result<std::vector<Contribution>>> out;
    for (std::size_t f = 0; f < filled.size(); ++f)
        if (fold_failed[f]) out.emplace_back(fail(VeltraError::NonFiniteInput{}));
        else out.emplace_back(std::move(filled[f]));
    return out;
}

}  // namespace

RawPermRoute raw_perm_route(std::uint64_t n, std::uint64_t p, std::uint64_t n_perm,
                            std::uint64_t n_folds, std::uint64_t k,
                            std::optional<std::uint64_t> keep, bool weighted) {
    using R = RawPermRoute;
    const auto d = [](std::uint64_t v) { return static_cast<double>(v); };
    const std::uint64_t dn = n / n_folds, mf = n - dn;
    const double c1 = d(sat_add(n_perm, 1)), c2 = d(sat_mul(2, sat_add(n_perm, 1)));
    if (!weighted && !keep && k == 1 && mf <= 4000 && n != dn &&
        (c1 + d(p)) * d(mf) < c1 * d(p))
        return R::nspace_cv;
    if (!weighted && !keep && k == 2 && n_folds > 1 && n_folds <= n &&
        mf - (n % n_folds != 0 ? 1 : 0) >= 3 && mf <= 4000 && n != dn &&
        (c2 + d(p)) * d(mf) < c2 * d(p))
        return R::nspace;
    const double t = d(k) * c1;
    const bool gram = k <= p && (!keep || (*keep >= 1 && *keep <= p)) && p <= 4000 && k <= 3 &&
                      (k != 3 || sat_mul(3000, p) >= mf) &&
                      (1.3 * t + 0.33 * d(mf)) * d(p) < 2.0 * t * d(mf) &&
                      d(2 * k + 1) * c1 * d(mf) * d(p) >= 1e8;
    return gram ? R::gram_p : R::refit;
}

Result<PermTestResult> run_raw_perm(MatView x, VecView y, std::size_t k, std::size_t n_perm,
                                    std::size_t n_folds, std::optional<VecView> weights,
                                    std::optional<std::size_t> keep, ChaCha8Rng& rng) {
    const RawPermRoute route =
        raw_perm_route(x.rows, x.cols, n_perm, n_folds, k, keep, weights.has_value());
    return run_raw_perm_on(route, x, y, k, n_perm, n_folds, weights, keep, rng);
}

Result<PermTestResult> run_raw_perm_on(RawPermRoute route, MatView x, VecView y, std::size_t k,
                                       std::size_t n_perm, std::size_t n_folds,
                                       std::optional<VecView> weights,
                                       std::optional<std::size_t> keep, ChaCha8Rng& rng) {
    const std::size_t n = x.rows, p = x.cols;
    internal_check(route != RawPermRoute::nspace_cv || (k == 1 && !weights && !keep),
                   "the one-component n-space pass takes k = 1 without weights or keep");
    internal_check(route != RawPermRoute::nspace || !keep, "the n-space fold route takes no keep");
    const std::vector<std::uint64_t> order = shuffled_rows(n, rng);
    const std::vector<std::vector<std::size_t>> folds = fold_split(order, n_folds);
    const Columns cols(y, child_seeds(rng, n_perm));
    const std::size_t C = cols.count();

    std::vector<Result<std::vector<Contribution>>> per_fold;
    if (route == RawPermRoute::nspace_cv) {
        per_fold = nspace_cv_contributions(x, y, folds, cols);
    } else {
        const std::uint64_t bytes =
            fold_unit_bytes(route, n, folds, p, k, weights.has_value(), C);
        per_fold = map_units(n_folds, bytes, [&](std::size_t f) {
            return pooled_cv_r2_columns(route, x, folds, f, weights, cols, k, keep);
        });
    }

    std::vector<double> ss_res(C, 0.0), ss_tot(C, 0.0);
    std::vector<bool> failed(C, false);
    for (auto& fold : per_fold) {
        if (!fold) return std::unexpected(std::move(fold).error());
        internal_check(fold->size() == C, "a fold did not yield one contribution per column");
        for (std::size_t j = 0; j < C; ++j) {
            if (failed[j]) continue;
            if (!(*fold)[j]) {
                failed[j] = true;
                continue;
            }
            ss_res[j] += (*fold)[j]->ss_res;
            ss_tot[j] += (*fold)[j]->ss_tot;
        }
    }
    std::vector<double> r2(C);
    for (std::size_t j = 0; j < C; ++j)
        r2[j] = failed[j] ? std::nan("")
                : (!(ss_tot[j] > 0.0)) ? 0.0
                                       : 1.0 - ss_res[j] / ss_tot[j];
    const std::span<const double> permuted = std::span<const double>(r2).subspan(1);
    const auto n_nan =
        static_cast<std::uint64_t>(std::count_if(permuted.begin(), permuted.end(), is_nan));
    if (2 * n_nan > n_perm) return fail(VeltraError::PermNullDegenerate{n_nan, n_perm});
    return PermTestResult{perm_pvalue(r2[0], permuted, is_nan), r2[0]};
}

}  // namespace veltra::resample
