#include "veltra/resample/perm_alpha.hpp"

#include <cmath>
#include <string>

#include "veltra/finite.hpp"
#include "veltra/numeric.hpp"
#include "veltra/parallel.hpp"
#include "veltra/settings.hpp"
#include "veltra/standardize.hpp"
#include "veltra/text.hpp"

namespace veltra::resample {
namespace {

constexpr std::uint64_t max_n_features = 9007199254740992ULL;  // 2^53: exact as a double

// Columns fitted together by one kernel call: enough for matrix-matrix
// products, few enough to spread over the pool. A column's result does not
// depend on the group it is in.
constexpr std::size_t columns_per_task = 32;

std::unexpected<VeltraError> bad_input(std::string message) {
    return fail(VeltraError::InvalidInput{std::move(message)});
}

std::string cell(std::size_t i, std::size_t j) {
    return "gram[" + format_count(i) + ", " + format_count(j) + "]";
}

// The content tests, first failure first: every diagonal entry, then every
// pair for symmetry, every pair for Cauchy-Schwarz, the trace, the rows.
Result<void> check_gram_content(MatView g, std::uint64_t nf) {
    const std::size_t n = g.rows;
    const double nfd = static_cast<double>(nf), nd = static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i)
        if (g(i, i) < 0.0)
            return bad_input(cell(i, i) + " = " + format_exp(g(i, i)) +
                             " is negative; the diagonal of a Gram matrix is a sum of squares");
    std::vector<double> d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = std::sqrt(g(i, i));
    const double tau = 8.0 * eps * (nfd + 1.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            const double diff = std::abs(g(i, j) - g(j, i));
            const double bound = tau * d[i] * d[j];
            if (diff > bound)
                return bad_input("gram is not symmetric: " + cell(j, i) + " and " + cell(i, j) +
                                 " differ by " + format_exp(diff) +
                                 ", more than the rounding of a Gram matrix allows (" +
                                 format_exp(bound) + ")");
        }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            const double v = std::abs(g(j, i));
            const double bound = d[i] * (1.0 + tau) * d[j];
            if (v > bound || !std::isfinite(bound))
                return bad_input(
                    cell(j, i).insert(0, 1, '|') + "| = " + format_exp(v) + " exceeds sqrt(" +
                    cell(j, j) + " * " + cell(i, i) + ") = " + format_exp(d[i] * d[j]) +
                    " by more than the rounding of a Gram matrix allows (bound " +
                    format_exp(bound) + "): gram is not the Gram matrix of real columns");
        }
    double trace = 0.0;
    for (std::size_t i = 0; i < n; ++i) trace += g(i, i);
    const double n_nf = nd * nfd;
    if (trace > n_nf * (1.0 + 4.0 * eps * (2.0 * nd + nfd + 6.0)))
        return bad_input("trace(gram) = " + format_exp(trace) +
                         " exceeds n * n_features = " + format_exp(n_nf) +
                         " by more than rounding: the columns summed into gram have sums of "
                         "squares above n, or n_features is smaller than the number of columns "
                         "summed into gram");
    const double row_allow = std::sqrt(nfd) * nd * (1e6 * nd + 2.0 * nd + nfd + 2.0) * 4.0 * eps;
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < n; ++j) s += g(i, j);
        const double bound = row_allow * d[i];
        if (std::abs(s) > bound)
            return bad_input("row " + format_count(i) + " of gram sums to " + format_exp(s) +
                             ", more than rounding allows (" + format_exp(bound) +
                             "): gram must be the Gram matrix of centred columns");
    }
    return {};
}

bool all_zero(MatView g) {
    for (std::size_t j = 0; j < g.cols; ++j)
        for (std::size_t i = 0; i < g.rows; ++i)
            if (g(i, j) != 0.0) return false;
    return true;
}

Result<PermAlphaOutput> perm_alpha_impl(MatView gram, MatView y, std::uint64_t k,
                                        std::uint64_t nf) {
    if (k == 0) return fail(VeltraError::InvalidArgument{"k must be >= 1"});
    if (k != 1)
        return fail(VeltraError::InvalidArgument{"pls1_perm_alpha supports k = 1 only, got k = " +
                                                 format_count(k)});
    if (nf == 0) return fail(VeltraError::InvalidArgument{"n_features must be >= 1"});
    if (nf > max_n_features)
        return fail(VeltraError::InvalidArgument{
            "n_features must be <= " + format_count(max_n_features) + ", got " + format_count(nf)});
    if (gram.rows != gram.cols)
        return fail(VeltraError::ShapeMismatch{"gram must be square, got " +
                                               format_count(gram.rows) + " x " +
                                               format_count(gram.cols)});
    const std::size_t n = gram.rows, q = y.cols;
    if (y.rows != n)
        return fail(VeltraError::ShapeMismatch{"Y has " + format_count(y.rows) + " rows, gram is " +
                                               format_count(n) + " x " + format_count(n)});
    if (n < 2) return fail(VeltraError::KExceedsMax{1, 0});
    VELTRA_CHECK(check_finite_mat(gram));
    VELTRA_CHECK(check_finite_mat(y));
    VELTRA_CHECK(check_gram_content(gram, nf));

    PermAlphaOutput out;
    out.k = k;
    out.n_features = nf;
    out.alpha = Eigen::MatrixXd::Zero(to_index(n), to_index(q));
    out.k_used.assign(q, 0);
    if (all_zero(gram)) {
        out.resolved.assign(q, true);
        return out;
    }
    out.resolved.assign(q, false);
    const NspaceGram g = NspaceGram::from_gram(gram, nf);
    // Each task writes its own columns and its own flags; the flags are held
    // as bytes while tasks run, since vector<bool> packs neighbours together.
    std::vector<std::uint8_t> resolved(q, 0);
    for_each_index(par_parallel, ceil_div(q, columns_per_task), [&](std::size_t task) {
        const std::size_t lo = task * columns_per_task;
        const std::size_t hi = std::min(q, lo + columns_per_task);
        auto outcomes = alpha_columns(g, y, lo, hi, static_cast<std::size_t>(k));
        for (std::size_t j = lo; j < hi; ++j) {
            NspaceOutcome& o = outcomes[j - lo];
            auto col = out.alpha.col(to_index(j));
            if (o.is(NspaceOutcome::Kind::Coefficients)) {
                col = o.alpha;
                out.k_used[j] = o.k_used;
            } else if (o.is(NspaceOutcome::Kind::Unresolved)) {
                col.setConstant(std::nan(""));
            }
            resolved[j] = !o.is(NspaceOutcome::Kind::Unresolved);
        }
    });
    for (std::size_t j = 0; j < q; ++j) out.resolved[j] = resolved[j] != 0;
    return out;
}

}  // namespace

std::vector<NspaceOutcome> alpha_columns(const NspaceGram& gram, MatView y, std::size_t lo,
                                         std::size_t hi, std::size_t k) {
    const std::size_t n = y.rows;
    Eigen::MatrixXd ys(to_index(n), to_index(hi - lo));
    for (std::size_t j = lo; j < hi; ++j) {
        const VecView col{y.data + static_cast<std::ptrdiff_t>(j) * y.col_stride, n, y.row_stride};
        ys.col(to_index(j - lo)) = standardize1_weighted(col).y_std;
    }
    return nspace_kernel_cols(gram.view(), MatView::of(ys), k);
}

Result<PermAlphaOutput> pls1_perm_alpha(MatView gram, MatView y, std::uint64_t k,
                                        std::uint64_t n_features) {
    return run_entry([&] { return perm_alpha_impl(gram, y, k, n_features); });
}

}  // namespace veltra::resample
