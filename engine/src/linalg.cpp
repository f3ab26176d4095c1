#include "veltra/linalg.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include <Eigen/Eigenvalues>
#include <Eigen/LU>
#include <Eigen/SVD>

#include "veltra/error.hpp"
#include "veltra/finite.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"

namespace veltra {

namespace {

using RowMajorXd = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using ColMap = Eigen::Map<const Eigen::MatrixXd, Eigen::Unaligned, Eigen::OuterStride<>>;
using RowMap = Eigen::Map<const RowMajorXd, Eigen::Unaligned, Eigen::OuterStride<>>;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Eigen cuts a matrix product into blocks sized from the cache sizes it
// reads from the host at run time, and the blocks decide how each entry's
// terms are grouped into partial sums: a machine with another L1 (32 KiB on
// some x86-64 cores, 48 KiB on others) would give other bits. Every product,
// including those inside Eigen's decompositions, plans for these sizes
// instead. They are the smallest of current x86-64 cores (and Eigen's own
// fallbacks), so a block fits the real cache on each of them. The kernel
// inside the blocks follows the compiler's target, the x86-64 baseline (SSE2,
// no fused multiply-add), never the host.
constexpr std::ptrdiff_t planned_l1 = 32 * 1024;
constexpr std::ptrdiff_t planned_l2 = 256 * 1024;
constexpr std::ptrdiff_t planned_l3 = 2 * 1024 * 1024;
static_assert(product_packing_bytes == planned_l3, "the packing bound is the planned L3 size");

// Eigen holds the sizes in one unguarded global. They are set while the
// library loads, before any thread can run a product; afterwards this only
// reads them, so products on many threads never race, and it writes again
// only if other code has changed them.
void plan_product_blocking() {
    if (Eigen::l1CacheSize() != planned_l1 || Eigen::l2CacheSize() != planned_l2 ||
        Eigen::l3CacheSize() != planned_l3) {
        Eigen::setCpuCacheSizes(planned_l1, planned_l2, planned_l3);
    }
}

[[maybe_unused]] const bool blocking_planned_at_load = (plan_product_blocking(), true);

// Whether Eigen can read `v` through a column-major or row-major map: one
// stride is 1, or the other dimension is a single line.
bool has_unit_stride(const MatView& v) {
    return v.row_stride == 1 || v.rows <= 1 || v.col_stride == 1 || v.cols <= 1;
}

// Calls f with the map of `v` that lets Eigen use its blocked kernels (any
// outer stride, negative included); `v` must have a unit stride.
template <class F>
decltype(auto) with_unit_map(const MatView& v, F&& f) {
    if (v.row_stride == 1 || v.rows <= 1) {
        return f(ColMap(v.data, to_index(v.rows), to_index(v.cols),
                        Eigen::OuterStride<>(v.col_stride)));
    }
    return f(RowMap(v.data, to_index(v.rows), to_index(v.cols),
                    Eigen::OuterStride<>(v.row_stride)));
}

// As with_unit_map, and for any other strides the general two-stride map,
// which Eigen reads coefficient by coefficient.
template <class F>
decltype(auto) with_map(const MatView& v, F&& f) {
    if (has_unit_stride(v)) return with_unit_map(v, std::forward<F>(f));
    return f(v.eigen());
}

Eigen::MatrixXd owned_copy(const MatView& v) {
    return with_map(v, [](const auto& m) { return Eigen::MatrixXd(m); });
}

// Products smaller than this many multiply-adds are not worth cutting: they
// run as one part. The choice depends on the shape alone, so it never
// changes with `par` or the thread count.
constexpr double min_work_to_cut = 32768.0;

std::size_t parts_for(std::size_t m, std::size_t n, std::size_t k) {
    const double work = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
    return work < min_work_to_cut ? 1 : fixed_parts;
}

// acc[j - lo] += v_r x_rj for columns [lo, hi), rows in blocks of 8. Each
// column is one running sum in row order: the blocks only let the row
// slices stream through the cache while acc stays in it.
void run_rows(const std::vector<const double*>& rows, const double* v, std::size_t lo,
              std::size_t hi, double* __restrict acc) {
    const std::size_t n = rows.size();
    const std::size_t w = hi - lo;
    std::size_t r = 0;
    for (; r + 8 <= n; r += 8) {
        const double* x0 = rows[r] + lo;
        const double* x1 = rows[r + 1] + lo;
        const double* x2 = rows[r + 2] + lo;
        const double* x3 = rows[r + 3] + lo;
        const double* x4 = rows[r + 4] + lo;
        const double* x5 = rows[r + 5] + lo;
        const double* x6 = rows[r + 6] + lo;
        const double* x7 = rows[r + 7] + lo;
        const double v0 = v[r], v1 = v[r + 1], v2 = v[r + 2], v3 = v[r + 3];
        const double v4 = v[r + 4], v5 = v[r + 5], v6 = v[r + 6], v7 = v[r + 7];
        for (std::size_t j = 0; j < w; ++j) {
            double a = acc[j];
            a += v0 * x0[j];
            a += v1 * x1[j];
            a += v2 * x2[j];
            a += v3 * x3[j];
            a += v4 * x4[j];
            a += v5 * x5[j];
            a += v6 * x6[j];
            a += v7 * x7[j];
            acc[j] = a;
        }
    }
    for (; r < n; ++r) {
        const double* x0 = rows[r] + lo;
        const double v0 = v[r];
        for (std::size_t j = 0; j < w; ++j) acc[j] += v0 * x0[j];
    }
}


// Sum of squares of the entries scaled by 2^-e, column by column.
double scaled_sum_of_squares(const MatView& a, int e) {
    double s = 0.0;
    for (std::size_t j = 0; j < a.cols; ++j) {
        for (std::size_t i = 0; i < a.rows; ++i) {
            const double y = std::ldexp(a(i, j), -e);
            s += y * y;
        }
    }
    return s;
}

}  // namespace

std::uint64_t mat_mul_bytes(std::uint64_t rows, std::uint64_t indices, std::uint64_t cols) {
    const std::uint64_t parts = parts_for(rows, cols, indices);
    return sat_add(sat_mul(sat_mul(rows, cols), 8), sat_mul(parts, product_packing_bytes));
}

Eigen::MatrixXd mat_mul(const MatView& a, const MatView& b, Par par) {
    internal_check(a.cols == b.rows, "mat_mul: the columns of A differ from the rows of B");
    plan_product_blocking();
    const std::size_t m = a.rows, n = b.cols, k = a.cols;
    Eigen::MatrixXd c(to_index(m), to_index(n));
    if (m == 0 || n == 0) return c;
    if (k == 0) {
        c.setZero();
        return c;
    }
    // Eigen's blocked product copies an operand without a unit stride for
    // every product it enters; one copy here serves all the parts.
    Eigen::MatrixXd a_copy, b_copy;
    const MatView av = has_unit_stride(a) ? a : MatView::of(a_copy = owned_copy(a));
    const MatView bv = has_unit_stride(b) ? b : MatView::of(b_copy = owned_copy(b));
    // Cut the longer side of the output so that every part has work.
    const bool by_rows = m >= n;
    with_unit_map(av, [&](const auto& am) {
        with_unit_map(bv, [&](const auto& bm) {
            for_each_part(
                par, by_rows ? m : n,
                [&](std::size_t, IndexSpan s) {
                    if (s.size() == 0) return;
                    if (by_rows) {
                        c.middleRows(to_index(s.begin), to_index(s.size())).noalias() =
                            am.middleRows(to_index(s.begin), to_index(s.size())) * bm;
                    } else {
                        c.middleCols(to_index(s.begin), to_index(s.size())).noalias() =
                            am * bm.middleCols(to_index(s.begin), to_index(s.size()));
                    }
                },
                parts_for(m, n, k));
        });
    });
    return c;
}

Eigen::VectorXd mat_vec(const MatView& a, const VecView& x, Par par) {
    internal_check(a.cols == x.len, "mat_vec: the columns of A differ from the length of x");
    const std::size_t m = a.rows, k = a.cols;
    Eigen::VectorXd y(to_index(m));
    if (m == 0) return y;
    if (k == 0) {
        y.setZero();
        return y;
    }
    // Eigen's fast kernels want a contiguous x; it is short, copy it once.
    Eigen::VectorXd x_copy;
    const double* xp = x.data;
    if (x.stride != 1) {
        x_copy = x.eigen();
        xp = x_copy.data();
    }
    const Eigen::Map<const Eigen::VectorXd> xv(xp, to_index(k));
    with_map(a, [&](const auto& am) {
        for_each_part(
            par, m,
            [&](std::size_t, IndexSpan s) {
                if (s.size() == 0) return;
                y.segment(to_index(s.begin), to_index(s.size())).noalias() =
                    am.middleRows(to_index(s.begin), to_index(s.size())) * xv;
            },
            parts_for(m, 1, k));
    });
    return y;
}

std::size_t mat_vec_parts(std::size_t m, std::size_t k) { return parts_for(m, 1, k); }

std::optional<Eigen::VectorXd> row_major_t_mul(const MatView& x, const VecView& v, Par par) {
    constexpr std::size_t min_cols = 2048;
    constexpr std::size_t max_chunk = 4096;
    if (x.cols < min_cols || !x.is_row_major()) return std::nullopt;
    const std::size_t n = x.rows, p = x.cols;
    internal_check(v.len >= n, "row_major_t_mul: v is shorter than X has rows");

    std::vector<const double*> rows(n);
    std::vector<double> vc(n);
    for (std::size_t r = 0; r < n; ++r) {
        rows[r] = x.data + static_cast<std::ptrdiff_t>(r) * x.row_stride;
        vc[r] = v[r];
    }
    Eigen::VectorXd acc = Eigen::VectorXd::Zero(to_index(p));
    const std::size_t w = std::min(ceil_div(ceil_div(p, 8), 8) * 8, max_chunk);
    for_each_index(par, ceil_div(p, w), [&](std::size_t c) {
        const std::size_t lo = c * w;
        const std::size_t hi = std::min(lo + w, p);
        // A task-local accumulator keeps tasks off each other's cache lines.
        std::vector<double> local(hi - lo, 0.0);
        run_rows(rows, vc.data(), lo, hi, local.data());
        std::copy(local.begin(), local.end(), acc.data() + lo);
    });
    return acc;
}

std::optional<Eigen::MatrixXd> col_major_or_copy(const MatView& x) {
    if (x.row_stride == 1 && x.col_stride >= 0) return std::nullopt;
    Eigen::MatrixXd out(to_index(x.rows), to_index(x.cols));
    double* o = out.data();
    // Bands of rows, so that a row-major source is read a few cache lines
    // at a time rather than one entry per line.
    constexpr std::size_t band = 64;
    for (std::size_t i0 = 0; i0 < x.rows; i0 += band) {
        const std::size_t i1 = std::min(i0 + band, x.rows);
        for (std::size_t j = 0; j < x.cols; ++j) {
            for (std::size_t i = i0; i < i1; ++i) o[j * x.rows + i] = x(i, j);
        }
    }
    return out;
}

void lu_solve_in_place(const MatView& a, Eigen::MatrixXd& b) {
    internal_check(a.rows == a.cols, "lu_solve_in_place: A is not square");
    internal_check(static_cast<std::size_t>(b.rows()) == a.rows,
                   "lu_solve_in_place: B and A differ in rows");
    const Eigen::Index n = to_index(a.rows);
    if (n == 0) return;
    plan_product_blocking();
    Eigen::PartialPivLU<Eigen::MatrixXd> lu(n);
    with_map(a, [&](const auto& am) { lu.compute(am); });
    b = lu.permutationP() * b;
    // The triangular solves are written out so that a zero pivot always
    // divides: a singular A must give non-finite entries, never a finite
    // answer from a skipped 0/0.
    const Eigen::MatrixXd& f = lu.matrixLU();
    for (Eigen::Index c = 0; c < b.cols(); ++c) {
        double* bc = b.col(c).data();
        for (Eigen::Index l = 0; l < n; ++l) {
            const double bl = bc[l];
            for (Eigen::Index i = l + 1; i < n; ++i) bc[i] -= f(i, l) * bl;
        }
        for (Eigen::Index l = n - 1; l >= 0; --l) {
            bc[l] /= f(l, l);
            const double bl = bc[l];
            for (Eigen::Index i = 0; i < l; ++i) bc[i] -= f(i, l) * bl;
        }
    }
}

Eigen::VectorXd leverage_diag(const MatView& t) {
    const std::size_t n = t.rows, k = t.cols;
    Eigen::VectorXd h = Eigen::VectorXd::Zero(to_index(n));
    if (k == 0) return h;
    const Eigen::MatrixXd g = mat_mul(t.transposed(), t, par_sequential);
    Eigen::MatrixXd g_inv = Eigen::MatrixXd::Identity(to_index(k), to_index(k));
    lu_solve_in_place(MatView::of(g), g_inv);
    std::vector<double> row(k), u(k);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < k; ++j) row[j] = t(i, j);
        for (std::size_t j = 0; j < k; ++j) {
            double s = 0.0;
            for (std::size_t l = 0; l < k; ++l) s += g_inv(to_index(j), to_index(l)) * row[l];
            u[j] = s;
        }
        double hi = 0.0;
        for (std::size_t j = 0; j < k; ++j) hi += row[j] * u[j];
        h[to_index(i)] = hi;
    }
    return h;
}

// The decompositions hold no product of ours and Eigen's own threading is
// off, so they run on the calling thread: par_sequential always holds.
namespace {

// The solver after compute; its values do not depend on `options` (the
// vectors only receive the same rotations the values are computed with).
std::optional<Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>> solve_self_adjoint(
    const MatView& g, int options) {
    plan_product_blocking();
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(to_index(g.rows));
    with_map(g, [&](const auto& gm) { solver.compute(gm, options); });
    if (solver.info() != Eigen::Success) return std::nullopt;
    return solver;
}

}  // namespace

std::optional<EigenResult> self_adjoint_eigen(const MatView& g, Par) {
    internal_check(g.rows == g.cols, "self_adjoint_eigen: G is not square");
    if (g.rows == 0) return EigenResult{Eigen::VectorXd(0), Eigen::MatrixXd(0, 0)};
    const auto solver = solve_self_adjoint(g, Eigen::ComputeEigenvectors);
    if (!solver) return std::nullopt;
    return EigenResult{solver->eigenvalues(), solver->eigenvectors()};
}

std::optional<Eigen::VectorXd> self_adjoint_eigenvalues(const MatView& g, Par) {
    internal_check(g.rows == g.cols, "self_adjoint_eigenvalues: G is not square");
    if (g.rows == 0) return Eigen::VectorXd(0);
    const auto solver = solve_self_adjoint(g, Eigen::EigenvaluesOnly);
    if (!solver) return std::nullopt;
    return solver->eigenvalues();
}

namespace {

// The thin SVD of a long, narrow A (rows >= 8 cols): a QR of each of the 8
// fixed parts of the rows, a QR of their stacked triangles, Jacobi on the
// small triangle R that results, then U = Q [U_R; 0] with each Q applied in
// blocks. Jacobi's own preconditioning applies one QR and every rotation
// column by column to the long U, several times the cost, on one thread.
// The parts are fixed, so the result does not depend on the threads.
std::optional<ThinSvd> svd_qr_first(Eigen::MatrixXd a, Par par) {
    const Eigen::Index m = a.rows(), r = a.cols();
    // The Householder vectors come from sums of squares of the raw entries,
    // which overflow beyond about 2^511 and lose small columns to underflow.
    // The power of two that guards the spreads guards them as well: 1 for
    // ordinary sizes, so their bits stay; otherwise it rounds only entries
    // far too small beside the largest to move the result.
    const double scale = spread_prescale(a.cwiseAbs().maxCoeff());
    if (scale != 1.0) a *= scale;
    // Each part is factorised in place, in a.
    using PartQR = Eigen::HouseholderQR<Eigen::Ref<Eigen::MatrixXd>>;
    using QR = Eigen::HouseholderQR<Eigen::MatrixXd>;
    std::vector<std::optional<PartQR>> parts(fixed_parts);
    Eigen::MatrixXd stacked = Eigen::MatrixXd::Zero(to_index(fixed_parts) * r, r);
    for_each_part(par, static_cast<std::size_t>(m), [&](std::size_t i, IndexSpan rows) {
        auto block = a.middleRows(to_index(rows.begin), to_index(rows.size()));
        parts[i].emplace(block);
        stacked.middleRows(to_index(i) * r, r) =
            parts[i]->matrixQR().topRows(r).triangularView<Eigen::Upper>();
    });
    const QR top(stacked);
    const Eigen::MatrixXd tri = top.matrixQR().topRows(r).triangularView<Eigen::Upper>();
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(tri, Eigen::ComputeFullU | Eigen::ComputeFullV);
    if (svd.info() != Eigen::Success) return std::nullopt;
    Eigen::MatrixXd w = Eigen::MatrixXd::Zero(stacked.rows(), r);
    w.topRows(r) = svd.matrixU();
    w.applyOnTheLeft(top.householderQ());
    // Each part writes its rows of U first: pages of a fresh matrix that
    // were read as zeros before would each cost a fault and a flush of
    // every core's address cache when written.
    Eigen::MatrixXd u(m, r);
    for_each_part(par, static_cast<std::size_t>(m), [&](std::size_t i, IndexSpan rows) {
        auto block = u.middleRows(to_index(rows.begin), to_index(rows.size()));
        block.setZero();
        block.topRows(r) = w.middleRows(to_index(i) * r, r);
        block.applyOnTheLeft(parts[i]->householderQ());
    });
    return ThinSvd{std::move(u), svd.singularValues() / scale, svd.matrixV()};
}

}  // namespace

std::optional<ThinSvd> thin_svd(const MatView& m, Par par) {
    const std::size_t r = std::min(m.rows, m.cols);
    if (r == 0) {
        return ThinSvd{Eigen::MatrixXd(to_index(m.rows), 0), Eigen::VectorXd(0),
                       Eigen::MatrixXd(to_index(m.cols), 0)};
    }
    // One-sided Jacobi is the more accurate and is quick while the smaller
    // side is short; divide and conquer takes over for large problems. A
    // long side is first reduced by QR, in parts.
    constexpr std::size_t max_jacobi = 128;
    constexpr std::size_t min_qr_first = 1024;
    const std::size_t long_side = std::max(m.rows, m.cols);
    constexpr int options = Eigen::ComputeThinU | Eigen::ComputeThinV;
    auto finish = [](const auto& svd) -> std::optional<ThinSvd> {
        if (svd.info() != Eigen::Success) return std::nullopt;
        return ThinSvd{svd.matrixU(), svd.singularValues(), svd.matrixV()};
    };
    plan_product_blocking();
    if (r <= max_jacobi && long_side >= min_qr_first && long_side >= fixed_parts * r) {
        if (m.rows >= m.cols) return svd_qr_first(owned_copy(m), par);
        auto t = svd_qr_first(owned_copy(m.transposed()), par);
        if (t) std::swap(t->U, t->V);
        return t;
    }
    const Eigen::MatrixXd a = owned_copy(m);
    if (r <= max_jacobi) return finish(Eigen::JacobiSVD<Eigen::MatrixXd>(a, options));
    return finish(Eigen::BDCSVD<Eigen::MatrixXd>(a, options));
}

Eigen::MatrixXd orthogonal_rotation(const MatView& a, const MatView& b) {
    internal_check(a.rows == b.rows && a.cols == b.cols,
                   "orthogonal_rotation: A and B differ in shape");
    const Eigen::MatrixXd m = mat_mul(a.transposed(), b, par_sequential);
    const auto svd = thin_svd(MatView::of(m), par_sequential);
    if (!svd) return Eigen::MatrixXd::Constant(to_index(a.cols), to_index(a.cols), nan_value);
    return mat_mul(MatView::of(svd->U), MatView::of(svd->V).transposed(), par_sequential);
}

double stable_rank(const MatView& a, Par par) {
    // The Gram matrix of the shorter side is the smaller one.
    const MatView s = a.rows > a.cols ? a.transposed() : a;
    if (s.rows == 0) return 0.0;
    const Eigen::MatrixXd g = mat_mul(s, s.transposed(), par);
    return stable_rank_from_gram(MatView::of(g), par);
}

double stable_rank_from_gram(const MatView& g, Par par) {
    internal_check(g.rows == g.cols, "stable_rank_from_gram: G is not square");
    const std::size_t m = g.rows;
    if (m == 0) return 0.0;
    if (!all_finite(g)) return nan_value;
    const auto values = self_adjoint_eigenvalues(g, par);
    if (!values) internal_failure("eigendecomposition failed to converge");
    const double lambda_max = (*values)[to_index(m - 1)];
    if (lambda_max <= 0.0) return 0.0;
    double trace = -0.0;
    for (std::size_t i = 0; i < m; ++i) trace += g(i, i);
    return trace / lambda_max;
}

double stable_norm(const MatView& a) {
    const double s = sum_of_squares_in_order(a);
    // Above this the squares that may have underflowed are far below the
    // rounding of the sum; the plain sum then is already the answer.
    if (std::isnan(s) || (std::isfinite(s) && s >= safe_low)) return std::sqrt(s);

    double a_max = 0.0;
    for (std::size_t j = 0; j < a.cols; ++j) {
        for (std::size_t i = 0; i < a.rows; ++i) a_max = std::max(a_max, std::abs(a(i, j)));
    }
    if (a_max == 0.0 || std::isinf(a_max)) return a_max;
    // Scaling by a power of two changes no rounding of the data; the
    // largest entry lands in [0.5, 1), so the sum can neither overflow nor
    // lose the large entries to underflow.
    int e = 0;
    std::frexp(a_max, &e);
    return std::ldexp(std::sqrt(scaled_sum_of_squares(a, e)), e);
}

double stable_norm(const VecView& v) {
    return stable_norm(MatView{v.data, v.len, 1, v.stride, 0});
}

double dot(const double* a, const double* b, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

double dot(const VecView& a, const VecView& b) {
    internal_check(b.len >= a.len, "dot: b is shorter than a");
    double s = 0.0;
    for (std::size_t i = 0; i < a.len; ++i) s += a[i] * b[i];
    return s;
}

Eigen::MatrixXd gram_of(MatView z, Par par) { return ordered_product(z, z.transposed(), par); }

Eigen::MatrixXd cross_of(MatView a, MatView b, Par par) {
    internal_check(a.cols == b.cols, "cross_of: A and B differ in columns");
    return ordered_product(a, b.transposed(), par);
}

Eigen::VectorXd seq_gemv(MatView a, VecView x) {
    internal_check(a.cols == x.len, "seq_gemv: the columns of A differ from the length of x");
    return mat_vec(a, x, par_sequential);
}

double sum_of_squares_in_order(const MatView& a) {
    double s = 0.0;
    for (std::size_t j = 0; j < a.cols; ++j) {
        for (std::size_t i = 0; i < a.rows; ++i) {
            const double x = a(i, j);
            s += x * x;
        }
    }
    return s;
}

double sum_of_squares_in_order(const VecView& v) {
    return sum_of_squares_in_order(MatView{v.data, v.len, 1, v.stride, 0});
}

double sum_of_squares_line_chunks(MatView x, Par par) {
    // Lines are the contiguous direction when there is one.
    const bool by_rows = x.is_row_major();
    const bool contiguous = by_rows || x.is_col_major();
    const std::size_t lines = by_rows ? x.rows : x.cols;
    const std::size_t len = by_rows ? x.cols : x.rows;
    const std::ptrdiff_t line_stride = by_rows ? x.row_stride : x.col_stride;
    std::array<double, fixed_parts> chunk{};
    for_each_part(par, lines, [&](std::size_t c, IndexSpan span) {
        if (contiguous) {
            double q0 = 0.0, q1 = 0.0, q2 = 0.0, q3 = 0.0;
            for (std::size_t l = span.begin; l < span.end; ++l) {
                const double* v = x.data + static_cast<std::ptrdiff_t>(l) * line_stride;
                std::size_t k = 0;
                for (; k + 4 <= len; k += 4) {
                    q0 += v[k] * v[k];
                    q1 += v[k + 1] * v[k + 1];
                    q2 += v[k + 2] * v[k + 2];
                    q3 += v[k + 3] * v[k + 3];
                }
                if (k < len) q0 += v[k] * v[k];
                if (k + 1 < len) q1 += v[k + 1] * v[k + 1];
                if (k + 2 < len) q2 += v[k + 2] * v[k + 2];
            }
            chunk[c] = q3 + (q2 + (q1 + q0));
        } else {
            double acc = 0.0;
            for (std::size_t l = span.begin; l < span.end; ++l)
                for (std::size_t i = 0; i < len; ++i) acc += x(i, l) * x(i, l);
            chunk[c] = acc;
        }
    });
    double total = -0.0;
    for (const double c : chunk) total += c;
    return total;
}

double sum_of_squares_row_parts(const MatView& x, Par par) {
    const std::size_t n = x.rows, p = x.cols;
    std::vector<std::vector<double>> part(fixed_parts);
    for_each_part(par, n, [&](std::size_t i, IndexSpan s) {
        std::vector<double>& c = part[i];
        c.assign(p, 0.0);
        if (x.is_row_major()) {
            for (std::size_t r = s.begin; r < s.end; ++r) {
                const double* row = x.data + static_cast<std::ptrdiff_t>(r) * x.row_stride;
                for (std::size_t j = 0; j < p; ++j) c[j] += row[j] * row[j];
            }
            return;
        }
        // Four columns at a time, each its own running sum.
        std::size_t j = 0;
        for (; j + 4 <= p; j += 4) {
            double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
            for (std::size_t r = s.begin; r < s.end; ++r) {
                const double v0 = x(r, j), v1 = x(r, j + 1), v2 = x(r, j + 2), v3 = x(r, j + 3);
                a0 += v0 * v0;
                a1 += v1 * v1;
                a2 += v2 * v2;
                a3 += v3 * v3;
            }
            c[j] = a0;
            c[j + 1] = a1;
            c[j + 2] = a2;
            c[j + 3] = a3;
        }
        for (; j < p; ++j) {
            double a = 0.0;
            for (std::size_t r = s.begin; r < s.end; ++r) a += x(r, j) * x(r, j);
            c[j] = a;
        }
    });
    double total = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        double col = part[0][j];
        for (std::size_t i = 1; i < fixed_parts; ++i) col += part[i][j];
        total += col;
    }
    return total;
}

double sum_of_squares_pairwise(const double* x, std::size_t n) {
    if (n <= 16) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += x[i] * x[i];
        return s;
    }
    const std::size_t half = n / 2;
    return sum_of_squares_pairwise(x, half) + sum_of_squares_pairwise(x + half, n - half);
}

}  // namespace veltra
