#include "veltra/component_loop.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "veltra/finite.hpp"
#include "simd2.hpp"
#include "xs_products.hpp"

namespace veltra {
namespace {

// A contiguous copy of y when it has a stride, else y itself.
const double* contiguous(VecView y, Eigen::VectorXd& copy) {
    if (y.stride == 1 || y.len == 0) return y.data;
    copy = y.eigen();
    return copy.data();
}

[[noreturn]] void x_backend_unresolved() {
    internal_failure("the X backend never returns Gate::Unresolved");
}

}  // namespace

namespace {

// d[k] = P_{b0 + k}' w for k < M, each summed in index order from zero; the
// M independent sums run side by side, so their additions overlap.
template <std::size_t M>
void loading_dots(const Eigen::MatrixXd& p, std::size_t b0, const Eigen::VectorXd& w,
                  double* d) {
    const std::size_t len = static_cast<std::size_t>(w.size());
    const double* col[M];
    double s[M];
    for (std::size_t k = 0; k < M; ++k) col[k] = p.col(to_index(b0 + k)).data(), s[k] = 0.0;
    for (std::size_t j = 0; j < len; ++j) {
        const double wj = w[to_index(j)];
        for (std::size_t k = 0; k < M; ++k) s[k] += col[k][j] * wj;
    }
    for (std::size_t k = 0; k < M; ++k) d[k] = s[k];
}

// loading_dots for the last m <= 12 columns from b0.
void dots_of_rest(const Eigen::MatrixXd& p, std::size_t b0, std::size_t m,
                  const Eigen::VectorXd& w, double* d) {
    switch (m) {
        case 0: return;
        case 1: return loading_dots<1>(p, b0, w, d);
        case 2: return loading_dots<2>(p, b0, w, d);
        case 3: return loading_dots<3>(p, b0, w, d);
        case 4: return loading_dots<4>(p, b0, w, d);
        case 5: return loading_dots<5>(p, b0, w, d);
        case 6: return loading_dots<6>(p, b0, w, d);
        case 7: return loading_dots<7>(p, b0, w, d);
        case 8: return loading_dots<8>(p, b0, w, d);
        case 9: return loading_dots<9>(p, b0, w, d);
        case 10: return loading_dots<10>(p, b0, w, d);
        case 11: return loading_dots<11>(p, b0, w, d);
        default: return loading_dots<12>(p, b0, w, d);
    }
}

}  // namespace

Eigen::VectorXd rotation(const Eigen::VectorXd& w, const Eigen::MatrixXd& r,
                         const Eigen::MatrixXd& p, std::size_t a) {
    Eigen::VectorXd out = w;
    if (a == 0) return out;
    const std::size_t len = static_cast<std::size_t>(w.size());
    std::vector<double> d(a);
    // All the sums in one sweep over w where there are at most 12: one chain
    // of additions costs as much as several side by side.
    std::size_t b = 0;
    for (; a - b > 12; b += 8) loading_dots<8>(p, b, w, d.data() + b);
    dots_of_rest(p, b, a - b, w, d.data() + b);
    // out_j = w_j - sum_b r_jb d_b, the sum over b in order from zero; one
    // entry per lane, sixteen entries at once so that the chains of additions
    // overlap.
    const auto r_at = [&](std::size_t c, std::size_t j) { return r.col(to_index(c)).data() + j; };
    std::size_t j = 0;
    for (; j + 16 <= len; j += 16) {
        detail::v2d s[8];
        for (auto& v : s) v = detail::splat(0.0);
        for (std::size_t c = 0; c < a; ++c) {
            const detail::v2d dc = detail::splat(d[c]);
            const double* rc = r_at(c, j);
            for (std::size_t q = 0; q < 8; ++q) s[q] += detail::load2(rc + 2 * q) * dc;
        }
        for (std::size_t q = 0; q < 8; ++q)
            detail::store2(out.data() + j + 2 * q, detail::load2(w.data() + j + 2 * q) - s[q]);
    }
    for (; j + 2 <= len; j += 2) {
        detail::v2d s = detail::splat(0.0);
        for (std::size_t c = 0; c < a; ++c) s += detail::load2(r_at(c, j)) * detail::splat(d[c]);
        detail::store2(out.data() + j, detail::load2(w.data() + j) - s);
    }
    for (; j < len; ++j) {
        double s = 0.0;
        for (std::size_t c = 0; c < a; ++c) s += r(to_index(j), to_index(c)) * d[c];
        out[to_index(j)] = w[to_index(j)] - s;
    }
    return out;
}

// --- XBackend ---------------------------------------------------------------

XBackend::XBackend(MatView xs, double fro, Par par) : xs_(xs), fro_(fro), par_(par) {}

Eigen::VectorXd XBackend::cross(VecView y) {
    internal_check(y.len == xs_.rows, "XBackend::cross: y and X_s differ in rows");
    Eigen::VectorXd copy;
    Eigen::VectorXd g(to_index(xs_.cols));
    detail::xt_times(xs_, contiguous(y, copy), g.data(), par_, scratch_);
    return g;
}

double XBackend::score(const Eigen::VectorXd& r, Eigen::VectorXd& t) {
    t.resize(to_index(xs_.rows));
    xt_t_.resize(to_index(xs_.cols));
    detail::x_times_then_xt(xs_, r.data(), detail::ScoreMap{}, t.data(), xt_t_.data(), par_,
                            scratch_);
    scored_ = t.data();
    return sum_of_squares_pairwise(t.data(), xs_.rows);
}

Eigen::VectorXd XBackend::loading(const Eigen::VectorXd& t, double tt) {
    internal_check(scored_ == t.data(), "XBackend::loading: t is not the last scored vector");
    const double factor = 1.0 / tt;
    return xt_t_ * factor;
}

double XBackend::q(VecView y, const Eigen::VectorXd& t, const Eigen::VectorXd&,
                   const Eigen::VectorXd&, double tt) const {
    return dot(y, VecView::of(t)) * (1.0 / tt);
}

// --- ImplicitXBackend -------------------------------------------------------

ImplicitXBackend::ImplicitXBackend(MatView x, const FitX& fx, Par par)
    : x_(x),
      mean_(fx.mean.data()),
      scale_(fx.scale.data()),
      mult_(fx.row_multipliers ? fx.row_multipliers->data() : nullptr),
      fro_(fx.fro),
      ratio_(mean_scale_ratio(fx)),
      par_(par) {
    internal_check(static_cast<std::size_t>(fx.mean.size()) == x.cols &&
                       static_cast<std::size_t>(fx.scale.size()) == x.cols,
                   "ImplicitXBackend: means and scales differ from the columns of X");
    internal_check(!fx.row_multipliers ||
                       static_cast<std::size_t>(fx.row_multipliers->size()) == x.rows,
                   "ImplicitXBackend: row multipliers differ from the rows of X");
}

Eigen::VectorXd ImplicitXBackend::finish(const Eigen::VectorXd& g, double sigma,
                                         double factor) const {
    Eigen::VectorXd out(g.size());
    for (Eigen::Index j = 0; j < g.size(); ++j)
        out[j] = loading_entry(g[j], static_cast<std::size_t>(j), sigma, factor);
    return out;
}

Eigen::VectorXd ImplicitXBackend::cross_factors(VecView y, const double* mult) {
    Eigen::VectorXd z(to_index(y.len));
    for (std::size_t i = 0; i < y.len; ++i) z[to_index(i)] = mult ? mult[i] * y[i] : y[i];
    return z;
}

Eigen::VectorXd ImplicitXBackend::cross(VecView y) {
    const std::size_t n = x_.rows;
    internal_check(y.len == n, "ImplicitXBackend::cross: y and X differ in rows");
    const Eigen::VectorXd z = cross_factors(y, mult_);
    double sigma = 0.0;
    for (std::size_t i = 0; i < n; ++i) sigma += z[to_index(i)];
    Eigen::VectorXd g;
    if (xt_z_given_) {
        internal_check(static_cast<std::size_t>(xt_z_given_->size()) == x_.cols,
                       "ImplicitXBackend::cross: X'z of another width");
        g = *xt_z_given_;
    } else {
        g.resize(to_index(x_.cols));
        detail::xt_times(x_, z.data(), g.data(), par_, scratch_);
    }
    overflowed_ = overflowed_ || !g.allFinite();
    return finish(g, sigma, 1.0);
}

Gate ImplicitXBackend::gate_c(const Eigen::VectorXd& c, std::optional<std::size_t> keep,
                              std::size_t) {
    const double sigma = selected_norm_and_gap(c, keep).sigma;
    const bool all_kept = !keep || *keep >= static_cast<std::size_t>(c.size());
    c_norm_ = all_kept ? std::optional<double>(sigma) : std::nullopt;
    return sigma < gate_c_ ? Gate::Stop : Gate::Accept;
}

Scored ImplicitXBackend::score_and_load(const Eigen::VectorXd& w, const Eigen::VectorXd& r,
                                        VecView y, Eigen::VectorXd& t, Eigen::VectorXd& c,
                                        double* w_out, double* r_out, double* p_out) {
    const std::size_t n = x_.rows, p = x_.cols;
    v_.resize(to_index(p));
    for (std::size_t j = 0; j < p; ++j) v_[to_index(j)] = r[to_index(j)] / scale_[j];
    t.resize(to_index(n));
    xt_z_.resize(to_index(p));
    double sigma = 0.0, tt = 0.0, q = 0.0, f = 0.0, factor = 0.0;
    std::atomic<bool> g_overflowed{false};
    detail::ColumnWork work;
    work.before = [&](IndexSpan cols) {
        std::copy(w.data() + cols.begin, w.data() + cols.end, w_out + cols.begin);
        std::copy(r.data() + cols.begin, r.data() + cols.end, r_out + cols.begin);
    };
    work.scored = [&](const double* ts) {
        overflowed_ = overflowed_ || !all_finite(VecView{ts, n, 1});
        for (std::size_t i = 0; i < n; ++i) sigma += mult_ ? mult_[i] * ts[i] : ts[i];
        tt = n == 0 ? 0.0 : sum_of_squares_pairwise(ts, n);
        factor = 1.0 / tt;
        q = dot(y, VecView{ts, n, 1}) * factor;
        f = tt * q;
    };
    work.after = [&](IndexSpan cols) {
        const VecView g{xt_z_.data() + cols.begin, cols.size(), 1};
        if (!all_finite(g)) g_overflowed.store(true, std::memory_order_relaxed);
        for (std::size_t j = cols.begin; j < cols.end; ++j) {
            const double p_j = loading_entry(xt_z_[to_index(j)], j, sigma, factor);
            p_out[j] = p_j;
            c[to_index(j)] -= f * p_j;
        }
    };
    // The products form the centring offset sum_j mean_j v_j themselves.
    detail::x_times_then_xt(x_, v_.data(), detail::ScoreMap{true, 0.0, mult_, mean_}, t.data(),
                            xt_z_.data(), par_, scratch_, &work);
    overflowed_ = overflowed_ || g_overflowed.load();
    return {tt, q};
}

// --- runs -------------------------------------------------------------------

std::uint64_t prepared_fit_bytes(std::uint64_t rows, std::uint64_t p, std::uint64_t k) {
    const std::uint64_t p8 = ceil8(p), r8 = ceil8(rows);
    // W, R and P with one trimmed copy; the scores with theirs.
    const std::uint64_t model = sat_add(sat_mul(sat_mul(4, p8), k), sat_mul(sat_mul(2, r8), k));
    // c, w, r, the loading, the backend's products and the kept-entry ranks,
    // each a p-vector; the score t.
    const std::uint64_t loop = sat_add(sat_mul(10, p8), r8);
    return sat_add(sat_mul(sat_add(model, loop), 8), detail::product_scratch_bytes(rows, p));
}

PreparedFit pls1_fit_prepared_fro(MatView xs, VecView y_s, std::size_t k,
                                  std::optional<std::size_t> keep, double fro, Par par) {
    XBackend backend(xs, fro, par);
    auto fit = pls1_component_loop(backend, y_s, k, keep);
    if (!fit) x_backend_unresolved();
    return std::move(*fit);
}

std::optional<PreparedFit> pls1_fit_implicit(MatView x, const FitX& fx, VecView y_s,
                                             std::size_t k, std::optional<std::size_t> keep,
                                             Par par, const Eigen::VectorXd* xt_z) {
    ImplicitXBackend backend(x, fx, par);
    backend.use_cross(xt_z);
    auto fit = pls1_component_loop(backend, y_s, k, keep);
    if (!fit) x_backend_unresolved();
    if (backend.overflowed()) return std::nullopt;
    return fit;
}

}  // namespace veltra
