#include "veltra/standardize.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "column_moments.hpp"
#include "veltra/error.hpp"
#include "veltra/linalg.hpp"
#include "veltra/text.hpp"

namespace veltra {
namespace detail {
namespace {

// Moments of 2P contiguous columns in two-lane vectors, each vector holding
// two columns. Two rows of a column pair are loaded at once and transposed,
// so each lane still adds its column's terms in row order.
template <bool weighted, std::size_t P>
struct PairSweep {
    const double* const* c;
    std::size_t n;
    const double* w;

    template <class Add>
    void operator()(Add&& add) const {
        rows([&](std::size_t k, v2d x, v2d wi, std::size_t) { add(k, x, wi); }, 0, n);
    }
    // Rows [begin, end) only; add's last argument is the row.
    template <class Add>
    void rows(Add&& add, std::size_t begin, std::size_t end) const {
        std::size_t i = begin;
        for (; i + 2 <= end; i += 2) {
            const v2d w0 = weighted ? splat(w[i]) : v2d{}, w1 = weighted ? splat(w[i + 1]) : v2d{};
            for (std::size_t k = 0; k < P; ++k) {
                const v2d a = load2(c[2 * k] + i), b = load2(c[2 * k + 1] + i);
                add(k, __builtin_shufflevector(a, b, 0, 2), w0, i);
                add(k, __builtin_shufflevector(a, b, 1, 3), w1, i + 1);
            }
        }
        if (i < end) {
            const v2d wi = weighted ? splat(w[i]) : v2d{};
            for (std::size_t k = 0; k < P; ++k)
                add(k, v2d{c[2 * k][i], c[2 * k + 1][i]}, wi, i);
        }
    }
};

// The extreme magnitudes and the unscaled sums of 2P columns in one pass,
// one two-lane slot per column pair; with cross, also the 2P entries of
// X'z into g, by the row parts of cross.
template <bool weighted, std::size_t P>
void raw_sums(const double* const* c, std::size_t n, const double* w, v2d* big, v2d* small,
              v2d* sum, v2d* sq, const CrossDots* cross = nullptr, double* g = nullptr) {
    v2d b[P], s[P], su[P], q[P];
    for (std::size_t k = 0; k < P; ++k) {
        b[k] = splat(0.0);
        s[k] = splat(HUGE_VAL);
        su[k] = q[k] = splat(-0.0);
    }
    const PairSweep<weighted, P> sweep{c, n, w};
    if (cross == nullptr) {
        sweep([&](std::size_t k, v2d x, v2d wi) {
            add_raw_step<weighted>(b[k], s[k], su[k], q[k], x, wi);
        });
    } else {
        v2d total[P] = {};  // set by part 0
        for (std::size_t part = 0; part < cross->parts; ++part) {
            const std::size_t begin = cross->cuts[part];
            v2d even[P], odd[P];
            for (std::size_t k = 0; k < P; ++k) even[k] = odd[k] = splat(0.0);
            sweep.rows(
                [&](std::size_t k, v2d x, v2d wi, std::size_t i) {
                    add_raw_step<weighted>(b[k], s[k], su[k], q[k], x, wi);
                    ((i - begin) % 2 == 0 ? even[k] : odd[k]) += x * splat(cross->z[i]);
                },
                begin, cross->cuts[part + 1]);
            for (std::size_t k = 0; k < P; ++k)
                total[k] = part == 0 ? even[k] + odd[k] : total[k] + (even[k] + odd[k]);
        }
        for (std::size_t j = 0; j < 2 * P; ++j) g[j] = total[j / 2][j % 2];
    }
    for (std::size_t k = 0; k < P; ++k) {
        big[k] = b[k];
        small[k] = s[k];
        sum[k] = su[k];
        sq[k] = q[k];
    }
}

// Moments of 2P columns from their raw sums: the prescaled sums follow from
// the raw ones when that is exact, else one more pass forms them; then the
// pass of squared deviations.
template <bool weighted, std::size_t P>
void pair_moments(const double* const* c, std::size_t n, const double* w, const WeightRange& wr,
                  const v2d* big, const v2d* small, const v2d* raw_sum, const v2d* raw_sq,
                  ScaledMoments* out) {
    v2d inv[P], sum[P], ref[P], m[P], ss[P];
    bool exact = true;
    for (std::size_t k = 0; k < P; ++k) {
        sum[k] = raw_sum[k];
        ref[k] = raw_sq[k];
        exact = rescale_slot(big[k], small[k], sum[k], ref[k], inv[k], n, wr) && exact;
        ss[k] = splat(-0.0);
    }
    const PairSweep<weighted, P> sweep{c, n, w};
    if (!exact) {
        for (std::size_t k = 0; k < P; ++k) sum[k] = ref[k] = splat(-0.0);
        sweep([&](std::size_t k, v2d x, v2d wi) {
            add_sums_step<weighted>(sum[k], ref[k], x * inv[k], wi);
        });
    }
    const double nd = static_cast<double>(n);
    for (std::size_t k = 0; k < P; ++k) m[k] = sum[k] / splat(nd);
    sweep([&](std::size_t k, v2d x, v2d wi) { add_sq_step<weighted>(ss[k], x * inv[k] - m[k], wi); });
    for (std::size_t j = 0; j < 2 * P; ++j) {
        const std::size_t k = j / 2, l = j % 2;
        const Prescale ps = prescale_of(big[k][l]);
        out[j] = {ps.s, ps.inv_s, m[k][l], ss[k][l], ref[k][l]};
    }
}

// Moments of 8 contiguous columns. The first pass takes two column pairs at
// a time, so that its four accumulators per pair stay in registers; the
// later passes take all four pairs side by side, whose independent
// accumulators keep the adders busy.
template <bool weighted>
void moments8(const std::array<const double*, 8>& c, std::size_t n, const double* w,
              const WeightRange& wr, std::array<ScaledMoments, 8>& out,
              const CrossDots* cross, double* g) {
    v2d big[4], small[4], sum[4], sq[4];
    raw_sums<weighted, 2>(c.data(), n, w, big, small, sum, sq, cross, g);
    raw_sums<weighted, 2>(c.data() + 4, n, w, big + 2, small + 2, sum + 2, sq + 2, cross,
                          g + 4);
    pair_moments<weighted, 4>(c.data(), n, w, wr, big, small, sum, sq, out.data());
}

}  // namespace

void block_moments8(const std::array<const double*, block_width>& c, std::size_t n,
                    const double* w, const WeightRange& wr,
                    std::array<ScaledMoments, block_width>& out, const CrossDots* cross,
                    double* g) {
    if (w == nullptr)
        moments8<false>(c, n, nullptr, wr, out, cross, g);
    else
        moments8<true>(c, n, w, wr, out, cross, g);
}

namespace {

// Row-major X: each used row's `width` adjacent entries, two rows at a time
// transposed into their columns.
void gather_row_major(const ColumnSource& src, std::size_t c, std::size_t width, double* buf) {
    const MatView& x = src.x;
    const std::size_t n = src.n;
    const auto at = [&](std::size_t i) {
        const std::size_t r = src.rows ? src.rows[i] : i;
        return x.data + static_cast<std::ptrdiff_t>(r) * x.row_stride +
               static_cast<std::ptrdiff_t>(c);
    };
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double *r0 = at(i), *r1 = at(i + 1);
        std::size_t j = 0;
        for (; j + 2 <= width; j += 2) {
            const v2d a = load2(r0 + j), b = load2(r1 + j);
            store2(buf + j * n + i, __builtin_shufflevector(a, b, 0, 2));
            store2(buf + (j + 1) * n + i, __builtin_shufflevector(a, b, 1, 3));
        }
        for (; j < width; ++j) {
            buf[j * n + i] = r0[j];
            buf[j * n + i + 1] = r1[j];
        }
    }
    for (; i < n; ++i)
        for (std::size_t j = 0; j < width; ++j) buf[j * n + i] = at(i)[j];
}

}  // namespace

void gather_columns(const ColumnSource& src, std::size_t c, std::size_t width, double* buf) {
    const MatView& x = src.x;
    const std::size_t n = src.n;
    if (x.is_row_major()) return gather_row_major(src, c, width, buf);
    for (std::size_t j = 0; j < width; ++j) {
        double* out = buf + j * n;
        if (x.is_col_major() && src.rows) {
            const double* col = x.data + static_cast<std::ptrdiff_t>(c + j) * x.col_stride;
            for (std::size_t i = 0; i < n; ++i) out[i] = col[src.rows[i]];
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = x(src.rows ? src.rows[i] : i, c + j);
        }
    }
}

std::array<const double*, block_width> block_columns(const ColumnSource& src, std::size_t c,
                                                     std::size_t width,
                                                     std::vector<double>& buffer) {
    std::array<const double*, block_width> cols{};
    const MatView& x = src.x;
    const std::size_t n = src.n;
    if (x.is_col_major() && src.rows == nullptr) {
        for (std::size_t j = 0; j < width; ++j)
            cols[j] = x.data + static_cast<std::ptrdiff_t>(c + j) * x.col_stride;
    } else {
        if (buffer.size() < n * block_width) buffer.resize(n * block_width);
        gather_columns(src, c, width, buffer.data());
        for (std::size_t j = 0; j < width; ++j) cols[j] = buffer.data() + j * n;
    }
    for (std::size_t j = width; j < block_width; ++j) cols[j] = cols[0];
    return cols;
}

WeightRange weight_range(const double* w, std::size_t n) {
    WeightRange r;
    if (w == nullptr) return r;
    double lo = HUGE_VAL, hi = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = std::fabs(w[i]);
        if (a > 0.0 && a < lo) lo = a;
        hi = a > hi ? a : hi;
    }
    if (hi == 0.0) return r;
    // Infinite weights get no bound: their sums are never rescaled.
    if (!std::isfinite(hi)) return {-100000, 100000};
    return {std::ilogb(lo), std::ilogb(hi)};
}

ColumnSource column_source(MatView x, const std::uint64_t* rows, std::size_t n,
                           const double* weights) {
    if (rows != nullptr)
        for (std::size_t i = 0; i < n; ++i) internal_check(rows[i] < x.rows, "listed row outside X");
    return {x, rows, n, weights, weight_range(weights, n)};
}

ScaledMoments contiguous_moments(const double* x, std::size_t n, const double* weights) {
    // Both lanes of one pair read the column: the arithmetic of the blocks.
    const double* c[2] = {x, x};
    const WeightRange wr = weight_range(weights, n);
    v2d big[1], small[1], sum[1], sq[1];
    ScaledMoments out[2];
    if (weights == nullptr) {
        raw_sums<false, 1>(c, n, nullptr, big, small, sum, sq);
        pair_moments<false, 1>(c, n, nullptr, wr, big, small, sum, sq, out);
    } else {
        raw_sums<true, 1>(c, n, weights, big, small, sum, sq);
        pair_moments<true, 1>(c, n, weights, wr, big, small, sum, sq, out);
    }
    return out[0];
}

void column_terms(const ColumnSource& src, std::size_t c0, std::size_t c1, double* mean,
                  double* scale, double* term, double* x_std, const double* multipliers,
                  std::vector<double>& buffer, const CrossDots* cross, double* xt_z) {
    const std::size_t n = src.n;
    std::array<ScaledMoments, block_width> mo{};
    double g[block_width];
    for (std::size_t c = c0; c < c1; c += block_width) {
        const std::size_t width = std::min(block_width, c1 - c);
        const auto cols = block_columns(src, c, width, buffer);
        // Lanes past the block's end repeat its first column.
        block_moments8(cols, n, src.weights, src.wr, mo, cross, g);
        for (std::size_t j = 0; j < width; ++j) {
            const ColumnStats st = scale_rule(mo[j], n);
            const std::size_t k = c + j - c0;
            mean[k] = st.mean;
            scale[k] = st.scale;
            term[k] = st.term;
            if (cross) xt_z[k] = g[j];
            if (x_std == nullptr) continue;
            const double* col = cols[j];
            standardized_line([col](std::size_t i) { return col[i]; }, n, st.mean, st.scale,
                              multipliers, x_std + k * n);
        }
    }
}

}  // namespace detail

namespace {

using detail::ColumnSource;


// The first n entries of an optional view as contiguous memory: the view
// itself when it already is, else a copy. Null when absent.
struct Contiguous {
    Eigen::VectorXd copy;
    const double* data = nullptr;
};

Contiguous contiguous_prefix(const std::optional<VecView>& v, std::size_t n,
                             std::string_view too_short) {
    Contiguous out;
    if (!v) return out;
    internal_check(v->size() >= n, too_short);
    if (v->stride == 1) {
        out.data = v->data;
    } else {
        out.copy = v->eigen().head(to_index(n));
        out.data = out.copy.data();
    }
    return out;
}

}  // namespace

ScaledMoments scaled_moments(VecView x, std::optional<VecView> weights) {
    const std::size_t n = x.size();
    const Contiguous xs = contiguous_prefix(x, n, "scaled_moments: x");
    const Contiguous w = contiguous_prefix(weights, n, "scaled_moments: weights shorter than x");
    return detail::contiguous_moments(xs.data, n, w.data);
}

Standardized1 standardize1_weighted(VecView y, std::optional<VecView> weights) {
    if (!weights) return standardize1_mean_one(y, std::nullopt);
    internal_check(weights->size() == y.size(),
                   "standardize1_weighted: weights has " + format_count(weights->size()) +
                       " rows, y has " + format_count(y.size()));
    const Eigen::VectorXd w = renormalize_mean_one(*weights);
    return standardize1_mean_one(y, VecView::of(w));
}

Standardized1 standardize1_mean_one(VecView y, std::optional<VecView> weights) {
    const std::size_t n = y.size();
    const Contiguous ys = contiguous_prefix(y, n, "standardize1_mean_one: y");
    const Contiguous w =
        contiguous_prefix(weights, n, "standardize1_mean_one: weights shorter than y");
    const ScaledMoments mo = detail::contiguous_moments(ys.data, n, w.data);
    const detail::ColumnStats st = detail::scale_rule(mo, n);
    Standardized1 out{Eigen::VectorXd(to_index(n)), st.mean, st.scale};
    const double* yd = ys.data;
    detail::standardized_line([yd](std::size_t i) { return yd[i]; }, n, st.mean, st.scale,
                              nullptr, out.y_std.data());
    return out;
}

Standardized standardize_weighted(MatView x, std::optional<VecView> weights) {
    std::optional<VecView> used;
    Eigen::VectorXd w;
    if (weights) {
        internal_check(weights->size() == x.rows,
                       "standardize_weighted: weights has " + format_count(weights->size()) +
                           " rows, x has " + format_count(x.rows));
        w = renormalize_mean_one(*weights);
        used = VecView::of(w);
    }
    StandardizedFro r = standardize_columns(x, std::nullopt, used, std::nullopt);
    return {std::move(r.x_std), std::move(r.mean), std::move(r.scale)};
}

StandardizedFro standardize_rows_fro(MatView x, RowList rows, std::optional<VecView> weights,
                                     std::optional<VecView> multipliers) {
    std::optional<VecView> used_w, used_m;
    Eigen::VectorXd w, m;
    if (weights) {
        w = renormalize_mean_one(*weights);
        used_w = VecView::of(w);
    }
    if (multipliers) {
        m = multipliers->eigen();
        used_m = VecView::of(m);
    }
    return standardize_columns(x, rows, used_w, used_m);
}

StandardizedFro standardize_columns(MatView x, std::optional<RowList> rows,
                                    std::optional<VecView> weights,
                                    std::optional<VecView> multipliers) {
    StandardizedTerms t = standardize_columns_terms(x, rows, weights, multipliers, true);
    const double fro = stable_norm(VecView::of(t.terms));
    return {std::move(t.x_std), std::move(t.mean), std::move(t.scale), fro};
}

StandardizedTerms standardize_columns_terms(MatView x, std::optional<RowList> rows,
                                            std::optional<VecView> weights,
                                            std::optional<VecView> multipliers, bool build) {
    const std::size_t n = rows ? rows->size() : x.rows;
    const std::size_t p = x.cols;
    const Contiguous w =
        contiguous_prefix(weights, n, "standardize_columns_terms: fewer weights than rows");
    const Contiguous mult =
        contiguous_prefix(multipliers, n, "standardize_columns_terms: fewer multipliers than rows");
    StandardizedTerms out{build ? Eigen::MatrixXd(to_index(n), to_index(p)) : Eigen::MatrixXd(),
                          Eigen::VectorXd(to_index(p)), Eigen::VectorXd(to_index(p)),
                          Eigen::VectorXd(to_index(p))};
    const ColumnSource src = detail::column_source(x, rows ? rows->data() : nullptr, n, w.data);
    std::vector<double> buffer;
    detail::column_terms(src, 0, p, out.mean.data(), out.scale.data(), out.terms.data(),
                         build ? out.x_std.data() : nullptr, mult.data, buffer);
    return out;
}

Eigen::MatrixXd standardize_apply(MatView x, VecView mean, VecView scale) {
    const std::size_t n = x.rows, p = x.cols;
    internal_check(mean.size() >= p && scale.size() >= p,
                   "standardize_apply: fewer means or scales than columns");
    Eigen::MatrixXd z(to_index(n), to_index(p));
    if (x.is_col_major()) {
        for (std::size_t j = 0; j < p; ++j) {
            const double* col = x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride;
            const double mu = mean[j], sc = scale[j];
            double* out = z.data() + j * n;
            detail::standardized_line([col](std::size_t i) { return col[i]; }, n, mu, sc, nullptr,
                                      out);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < p; ++j)
                z(to_index(i), to_index(j)) =
                    detail::standardized_value(x(i, j), mean[j], scale[j]);
    }
    return z;
}

Eigen::MatrixXd standardize_apply_rows(MatView x, RowList rows, VecView mean, VecView scale,
                                       std::optional<VecView> multipliers) {
    const std::size_t n = rows.size(), p = x.cols;
    internal_check(mean.size() >= p && scale.size() >= p,
                   "standardize_apply_rows: fewer means or scales than columns");
    for (const std::uint64_t r : rows) internal_check(r < x.rows, "listed row outside X");
    internal_check(!multipliers || multipliers->size() >= n,
                   "standardize_apply_rows: fewer multipliers than rows");
    Eigen::MatrixXd z(to_index(n), to_index(p));
    for (std::size_t j = 0; j < p; ++j) {
        double* out = z.data() + j * n;
        detail::standardized_line([&](std::size_t i) { return x(rows[i], j); }, n, mean[j],
                                  scale[j], nullptr, out);
        if (multipliers)
            for (std::size_t i = 0; i < n; ++i) out[i] = out[i] * (*multipliers)[i];
    }
    return z;
}

Eigen::VectorXd renormalize_mean_one(VecView weights) {
    const std::size_t len = weights.size();
    double sum = -0.0;
    for (std::size_t i = 0; i < len; ++i) sum += weights[i];
    const double ld = static_cast<double>(len);
    Eigen::VectorXd out(to_index(len));
    for (std::size_t i = 0; i < len; ++i) out[to_index(i)] = (weights[i] * ld) / sum;
    return out;
}

Eigen::VectorXd sqrt_col(VecView v) {
    Eigen::VectorXd out(to_index(v.size()));
    for (std::size_t i = 0; i < v.size(); ++i) out[to_index(i)] = std::sqrt(v[i]);
    return out;
}

Eigen::VectorXd col_row_subset(VecView v, RowList rows) {
    Eigen::VectorXd out(to_index(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        internal_check(rows[i] < v.size(), "col_row_subset: row outside the vector");
        out[to_index(i)] = v[rows[i]];
    }
    return out;
}

Eigen::MatrixXd row_subset(MatView x, RowList rows) {
    for (const std::uint64_t r : rows) internal_check(r < x.rows, "row_subset: row outside X");
    Eigen::MatrixXd out(to_index(rows.size()), to_index(x.cols));
    for (std::size_t j = 0; j < x.cols; ++j)
        for (std::size_t i = 0; i < rows.size(); ++i) out(to_index(i), to_index(j)) = x(rows[i], j);
    return out;
}

}  // namespace veltra
