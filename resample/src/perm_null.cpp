#include "veltra/resample/perm_null.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "perm_support.hpp"
#include "veltra/component_block.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/finite.hpp"
#include "veltra/fit.hpp"
#include "veltra/gram_p.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/parallel.hpp"
#include "veltra/resample/dual_route.hpp"
#include "veltra/resample/resample.hpp"
#include "veltra/settings.hpp"
#include "veltra/standardize.hpp"
#include "veltra/text.hpp"
#include "veltra/weights.hpp"

namespace veltra::resample {

namespace {

// The refit engine of one run, shared read-only by its rows; the direct
// engine is just the Frobenius norm of X_eng.
struct DirectEngine {
    double fro;
};
using PermEngine = std::variant<DirectEngine, NspaceGram, GramPBlock>;

// A refit whose coefficients overflowed failed: the whole row says so.
void mark_failed_row(std::span<double> row) {
    if (!std::all_of(row.begin(), row.end(), [](double v) { return std::isfinite(v); }))
        std::fill(row.begin(), row.end(), std::numeric_limits<double>::quiet_NaN());
}

// y_std[perm[i]], times s_i when weighted.
Eigen::VectorXd permuted(VecView y_std, std::optional<VecView> s,
                         std::span<const std::uint64_t> perm) {
    Eigen::VectorXd out = col_row_subset(y_std, perm);
    if (s)
        for (std::size_t i = 0; i < perm.size(); ++i) out[to_index(i)] *= (*s)[i];
    return out;
}

void perm_row_direct(double fro, MatView x_eng, std::optional<VecView> s, VecView y_std,
                     std::span<const std::uint64_t> perm, std::size_t k, std::span<double> row) {
    const Eigen::VectorXd y_p = permuted(y_std, s, perm);
    const PreparedFit fit =
        pls1_fit_prepared_fro(x_eng, VecView::of(y_p), k, std::nullopt, fro, par_sequential);
    std::copy(fit.coef.data(), fit.coef.data() + fit.coef.size(), row.begin());
}

std::optional<GramReplicateFit> perm_row_coef(const GramPBlock& block, std::optional<VecView> s,
                                              VecView y_std, std::span<const std::uint64_t> perm,
                                              std::size_t k) {
    const Eigen::VectorXd y_p = permuted(y_std, s, perm);
    return block.fit_replicate_full(VecView::of(y_p), k, std::nullopt);
}

void perm_row(const PermEngine& engine, MatView x_eng, std::optional<VecView> s, VecView y_std,
              std::span<const std::uint64_t> perm, std::size_t k, std::span<double> row) {
    if (const auto* d = std::get_if<DirectEngine>(&engine)) {
        perm_row_direct(d->fro, x_eng, s, y_std, perm, k, row);
    } else if (const auto* g = std::get_if<NspaceGram>(&engine)) {
        if (!nspace_perm_row(*g, x_eng, y_std, perm, k, row))
            perm_row_direct(g->fro_norm, x_eng, s, y_std, perm, k, row);
    } else {
        const auto& block = std::get<GramPBlock>(engine);
        const auto fit = perm_row_coef(block, s, y_std, perm, k);
        if (fit)
            std::copy(fit->coef.data(), fit->coef.data() + fit->coef.size(), row.begin());
        else
            perm_row_direct(block.x_fro, x_eng, s, y_std, perm, k, row);
    }
}

// Every row of the direct route, refit_group permutations at a time as one
// block fit: a row is the bits of its own refit. The groups alive at once,
// and the threads that ever hold one, are bounded by the memory budget.
void fill_direct(double fro, MatView x_eng, std::optional<VecView> s, VecView y_std,
                 std::span<const std::uint64_t> seeds, std::size_t k, std::span<double> rows) {
    const std::size_t n = x_eng.rows, p = x_eng.cols, B = seeds.size();
    const std::size_t group = detail::refit_group, n_groups = ceil_div(B, group);
    const std::uint64_t bytes = detail::refit_group_bytes(n, n, p, k, group);
    // The groups write their rows in place; the collected flags are nothing.
    map_units(n_groups, bytes, [&](std::size_t g) {
        const std::size_t lo = g * group, w = std::min(group, B - lo);
        Eigen::MatrixXd y(to_index(n), to_index(w));
        for (std::size_t i = 0; i < w; ++i) {
            ChaCha8Rng unit_rng = ChaCha8Rng::seed_from_u64(seeds[lo + i]);
            y.col(to_index(i)) = permuted(y_std, s, shuffled_rows(n, unit_rng));
        }
        const Eigen::MatrixXd coef =
            pls1_coef_prepared_block(x_eng, MatView::of(y), k, std::nullopt, fro);
        for (std::size_t i = 0; i < w; ++i) {
            const std::span<double> row = rows.subspan((lo + i) * p, p);
            std::copy_n(coef.col(to_index(i)).data(), p, row.begin());
            mark_failed_row(row);
        }
        return true;
    });
}

PermEngine make_engine(PermRoute route, MatView x_eng) {
    switch (route) {
        case PermRoute::nspace:
            return PermEngine(std::in_place_type<NspaceGram>, x_eng, par_parallel);
        case PermRoute::pspace:
            return PermEngine(std::in_place_type<GramPBlock>, x_eng, par_parallel, par_sequential);
        case PermRoute::direct: break;
    }
    return DirectEngine{stable_norm(x_eng)};
}

}  // namespace

PermRoute perm_null_route(std::uint64_t n, std::uint64_t p, std::uint64_t n_perm, std::uint64_t k,
                          bool weighted) {
    const auto d = [](std::uint64_t v) { return static_cast<double>(v); };
    if (!weighted && k < n && n <= 4000 && k <= 2) {
        const std::uint64_t c = sat_mul(n_perm, k);
        if ((d(p) + d(c)) * d(n) < d(p) * d(c)) return PermRoute::nspace;
    }
    if (k > 3 || p > 4000 || k > p) return PermRoute::direct;
    if (k >= 3 && sat_mul(3000, p) < n) return PermRoute::direct;
    const double t = d(sat_mul(n_perm, k));
    if (!((0.33 * d(n) + 1.3 * t) * d(p) < (t + t) * d(n))) return PermRoute::direct;
    return ((d(k) + d(k) + 1.0) * d(n_perm)) * d(n) * d(p) >= 1e8 ? PermRoute::pspace
                                                                   : PermRoute::direct;
}

Result<PermNullStats> perm_null_stats(std::span<const double> rows, std::size_t p,
                                      const Eigen::VectorXd& beta_ref) {
    const std::size_t n_perm = rows.size() / p;
    std::uint64_t n_failed = 0;
    for (std::size_t b = 0; b < n_perm; ++b) {
        const auto row = rows.subspan(b * p, p);
        n_failed += std::any_of(row.begin(), row.end(), [](double v) { return std::isnan(v); });
    }
    if (n_failed > n_perm - n_failed)
        return fail(VeltraError::PermNullDegenerate{n_failed, n_perm});

    // Row by row, so each column's sums run in row order; on prescaled
    // values, so a spread is finite whenever the true one is.
    const auto pi = to_index(p);
    Eigen::VectorXd max_abs = Eigen::VectorXd::Zero(pi);
    for (std::size_t b = 0; b < n_perm; ++b)
        for (std::size_t j = 0; j < p; ++j)
            if (const double v = rows[b * p + j]; std::isfinite(v))
                max_abs[to_index(j)] = std::max(max_abs[to_index(j)], std::fabs(v));
    const Eigen::VectorXd scale = max_abs.unaryExpr(&spread_prescale);
    Eigen::VectorXd sum = Eigen::VectorXd::Zero(pi), count = Eigen::VectorXd::Zero(pi);
    for (std::size_t b = 0; b < n_perm; ++b)
        for (std::size_t j = 0; j < p; ++j)
            if (const double v = rows[b * p + j]; std::isfinite(v)) {
                sum[to_index(j)] += v * scale[to_index(j)];
                count[to_index(j)] += 1.0;
            }
    const Eigen::VectorXd mean_scaled =
        (count.array() > 0.0).select(sum.array() / count.array(), 0.0);
    Eigen::VectorXd ss = Eigen::VectorXd::Zero(pi);
    for (std::size_t b = 0; b < n_perm; ++b)
        for (std::size_t j = 0; j < p; ++j)
            if (const double v = rows[b * p + j]; std::isfinite(v)) {
                const double d = v * scale[to_index(j)] - mean_scaled[to_index(j)];
                ss[to_index(j)] += d * d;
            }
    PermNullStats out;
    out.mean = mean_scaled.array() / scale.array();
    out.sd.resize(pi);
    out.z.resize(pi);
    for (Eigen::Index j = 0; j < pi; ++j) {
        out.sd[j] = count[j] >= 2.0 ? std::sqrt(ss[j] / (count[j] - 1.0)) / scale[j] : 0.0;
        out.z[j] = out.sd[j] > 0x1p-26 ? beta_ref[j] / out.sd[j]
                                        : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

Result<PermNullOutput> run_engine(PermRoute route, MatView x_eng, VecView y_std, std::size_t k,
                                  std::optional<VecView> multipliers,
                                  const Eigen::VectorXd& beta_ref, std::uint64_t n_perm,
                                  bool return_perm_matrix, std::uint64_t seed, ChaCha8Rng& rng,
                                  double n_eff) {
    const std::size_t n = x_eng.rows, p = x_eng.cols;
    const auto cells = checked_mul(n_perm, p);
    internal_check(cells.has_value(), "the permutation matrix does not fit in memory");
    const PermEngine engine = make_engine(route, x_eng);
    const std::vector<std::uint64_t> seeds = child_seeds(rng, n_perm);
    std::vector<double> rows(*cells, 0.0);
    if (const auto* direct = std::get_if<DirectEngine>(&engine)) {
        fill_direct(direct->fro, x_eng, multipliers, y_std, seeds, k, rows);
    } else {
        const auto fill = [&](std::size_t, ChaCha8Rng& unit_rng, std::span<double> row) {
            const std::vector<std::uint64_t> perm = shuffled_rows(n, unit_rng);
            perm_row(engine, x_eng, multipliers, y_std, perm, k, row);
            mark_failed_row(row);
        };
        parallel_fill_rows_seeded(rows, p, seeds, fill);
    }
    VELTRA_TRY(stats, perm_null_stats(rows, p, beta_ref));
    PermNullOutput out;
    out.n_perm = n_perm;
    out.k = k;
    out.seed = seed;
    out.beta_ref = beta_ref;
    out.beta_perm_mean = std::move(stats->mean);
    out.beta_perm_sd = std::move(stats->sd);
    out.beta_perm_z = std::move(stats->z);
    if (return_perm_matrix) out.beta_perm_matrix = std::move(rows);
    out.n_eff = n_eff;
    return out;
}

namespace {

Result<PermNullOutput> perm_null_impl(MatView x, VecView y, std::size_t k,
                                      std::optional<VecView> weights, const PermNullOpts& opts,
                                      std::optional<std::uint64_t> seed) {
    const std::size_t n = x.rows, p = x.cols;
    if (opts.n_perm < 100)
        return fail(VeltraError::InvalidArgument{"n_perm must be ≥ 100, got " +
                                                 format_count(opts.n_perm)});
    if (k == 0) return fail(VeltraError::InvalidArgument{"k must be >= 1"});
    if (y.size() != n) return fail(VeltraError::DimensionMismatch{y.size(), n, p});
    if (k > p) return fail(VeltraError::KExceedsMax{k, p});
    VELTRA_CHECK(check_finite_mat(x, par_parallel));
    VELTRA_CHECK(check_finite_mat(MatView{y.data, n, 1, y.stride, 0}));
    VELTRA_TRY(norm, validate_weights_for_k(weights, n, k));
    const std::optional<VecView> w =
        norm->weights ? std::optional<VecView>(VecView::of(*norm->weights)) : std::nullopt;

    Eigen::MatrixXd x_owned;
    Eigen::VectorXd y_std;
    MatView x_std = x;
    if (opts.pre_standardized) {
        if (auto copy = col_major_or_copy(x)) {
            x_owned = std::move(*copy);
            x_std = MatView::of(x_owned);
        }
        y_std = y.eigen();
    } else {
        x_owned = standardize_weighted(x, w).x_std;
        x_std = MatView::of(x_owned);
        y_std = standardize1_weighted(y, w).y_std;
    }
    FitOpts fit_opts;
    fit_opts.pre_standardized = true;
    VELTRA_TRY(ref, pls1_fit_impl(x_std, VecView::of(y_std), k, w, fit_opts));

    std::optional<Eigen::VectorXd> s;
    Eigen::MatrixXd x_scaled;
    MatView x_eng = x_std;
    if (w) {
        s = fit_row_scale(*w);
        x_scaled = s->asDiagonal() * x_std.eigen();
        x_eng = MatView::of(x_scaled);
    }
    VELTRA_TRY(resolved, resolve_seed(seed));
    const PermRoute route = perm_null_route(n, p, opts.n_perm, k, w.has_value());
    return run_engine(route, x_eng, VecView::of(y_std), k,
                      s ? std::optional<VecView>(VecView::of(*s)) : std::nullopt, ref->beta,
                      opts.n_perm, opts.return_perm_matrix, resolved->seed, resolved->rng,
                      norm->n_eff);
}

}  // namespace

Result<PermNullOutput> pls1_perm_null(MatView x, VecView y, std::size_t k,
                                      std::optional<VecView> weights, const PermNullOpts& opts,
                                      std::optional<std::uint64_t> seed) {
    return run_entry([&] { return perm_null_impl(x, y, k, weights, opts, seed); });
}

}  // namespace veltra::resample
