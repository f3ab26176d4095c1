#include "veltra/gram_p.hpp"

#include <cmath>
#include <limits>

#include "veltra/linalg.hpp"
#include "veltra/selection.hpp"
#include "xs_products.hpp"

namespace veltra {
namespace {

constexpr double u = eps / 2;  // 2^-53
constexpr double gram_floor = 1e-12;

// min(a, b) where a NaN operand is ignored.
double min_ignoring_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? a : b;
}

}  // namespace

double c2_norm_estimate(MatView g, double x_fro) {
    // The largest absolute row sum bounds every eigenvalue of a symmetric G,
    // and ||X||_F^2 = trace(G) bounds the largest; an estimate that could
    // fall short (a power iteration can miss the top eigenvector) would
    // certify values that are not certain.
    double row_max = 0.0;
    for (std::size_t i = 0; i < g.rows; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < g.cols; ++j) s += std::abs(g(i, j));
        if (std::isnan(s)) {
            row_max = s;
            break;
        }
        if (s > row_max) row_max = s;
    }
    return min_ignoring_nan(row_max, x_fro * x_fro);
}

GramPBlock::GramPBlock(MatView x_in, Par build, Par replicates)
    : x(x_in),
      G(mat_mul(x_in.transposed(), x_in, build)),
      x_fro(stable_norm(x_in)),
      c2(c2_norm_estimate(MatView::of(G), x_fro)),
      par(replicates) {}

std::optional<GramReplicateFit> GramPBlock::fit_replicate_full(
    VecView y, std::size_t k, std::optional<std::size_t> keep,
    const Eigen::VectorXd* cross) const {
    internal_check(y.len == x.rows, "fit_replicate_full: y and X differ in rows");
    const bool small = sat_mul(sat_mul(x.rows, x.cols), k) <= small_work_max;
    GramBackend backend(*this, small ? par_sequential : par, cross);
    auto fit = pls1_component_loop(backend, y, k, keep);
    if (!fit) return std::nullopt;
    // A stop after some but not all components cannot be told apart from
    // rounding trouble without the scores.
    if (fit->k_used > 0 && fit->k_used < k) return std::nullopt;
    return GramReplicateFit{std::move(fit->coef), fit->k_used, backend.coef_err(fit->k_used)};
}

GramBackend::GramBackend(const GramPBlock& block, Par par, const Eigen::VectorXd* given_cross)
    : block_(block),
      par_(par),
      given_cross_(given_cross),
      n_(block.x.rows),
      p_(block.x.cols),
      x_fro_(block.x_fro),
      c2_(block.c2),
      gr_(Eigen::VectorXd::Zero(to_index(block.x.cols))) {
    internal_check(static_cast<std::size_t>(block.G.rows()) == p_ &&
                       static_cast<std::size_t>(block.G.cols()) == p_,
                   "GramBackend: G is not p x p");
}

Eigen::VectorXd GramBackend::cross(VecView y) {
    if (given_cross_) {
        internal_check(static_cast<std::size_t>(given_cross_->size()) == p_,
                       "GramBackend: the given X'y does not have p entries");
        return *given_cross_;
    }
    Eigen::VectorXd copy;
    const double* z = y.data;
    if (y.stride != 1 && y.len > 0) {
        copy = y.eigen();
        z = copy.data();
    }
    Eigen::VectorXd c(to_index(p_));
    detail::ProductScratch scratch;
    detail::xt_times(block_.x, z, c.data(), par_, scratch);
    return c;
}

Gate GramBackend::gate_c(const Eigen::VectorXd& c, std::optional<std::size_t> keep,
                         std::size_t a) {
    const SelectedNorm sel = selected_norm_and_gap(c, keep);
    c_ = stable_norm(VecView::of(c));
    if (a == 0) {
        c0_ = c_;
        rho_ = 0.0;
        return Gate::Accept;
    }
    const double p = static_cast<double>(p_);
    rho_ = 2.0 * e_c_ / sel.sigma + (p + 2.0) * u;
    if (sel.sigma < 8.0 * e_c_ || sel.sigma < 4.0 * eps_raw_ || sel.sigma < gram_floor ||
        sel.gap < 8.0 * e_c_)
        return Gate::Unresolved;
    return Gate::Accept;
}

double GramBackend::score(const Eigen::VectorXd& r, Eigen::VectorXd&) {
    gr_ = mat_vec(MatView::of(block_.G), VecView::of(r), par_sequential);
    return dot(VecView::of(r), VecView::of(gr_));
}

Gate GramBackend::gate_tt(std::size_t a, const Eigen::VectorXd& r, double tt) {
    const double n = static_cast<double>(n_), p = static_cast<double>(p_);
    const double f2 = x_fro_ * x_fro_;
    const double rn = stable_norm(VecView::of(r));
    double e = 0.0;
    if (a > 1) {
        const double s = std::sqrt(s_r_) * std::sqrt(s_p_) + 1.0;
        e = ((static_cast<double>(a) + p) + 2.0) * u * s + (s_x_ + rho_ * s);
    }
    const double ec = e * c2_;
    const double b_tt =
        rn * ((f2 * (((p + p) + n + 4.0) * u)) * rn) + ((rn + rn) + e) * ec;
    const double pn = stable_norm(VecView::of(gr_)) / tt;
    const double e_p =
        (b_tt * pn) / tt + (ec / tt + ((f2 * (((n + p) + 2.0) * u)) * rn) / tt + pn * eps);
    tt_ = tt;
    p_norm_ = pn;
    e_ = e;
    b_tt_ = b_tt;
    e_p_ = e_p;
    r_norm_ = rn;
    const bool accepted =
        tt >= 8.0 * b_tt && tt >= gram_floor && tt >= rn * (f2 * 1e-6 * rn);
    return accepted ? Gate::Accept : Gate::Unresolved;
}

Eigen::VectorXd GramBackend::loading(const Eigen::VectorXd&, double tt) const {
    const double factor = 1.0 / tt;
    return gr_ * factor;
}

double GramBackend::q(VecView, const Eigen::VectorXd&, const Eigen::VectorXd& c,
                      const Eigen::VectorXd& w, double tt) {
    const double n = static_cast<double>(n_), p = static_cast<double>(p_);
    const double q = (1.0 / tt) * dot(VecView::of(c), VecView::of(w));
    const double m = x_fro_ * (y_norm_ * (((n + n) + p + 3.0) * u));
    const double base = e_c_ + c_ * rho_ + c0_ * e_;
    const double big_m = (p + 3.0) * u * c_ + r_norm_ * m + base;
    const double aq = std::abs(q);
    const double qt = std::abs(q * tt);
    const double dq = r_norm_ * (aq * b_tt_ / tt + big_m / tt);
    e_c_ = e_c_ + ((qt * e_p_ + p_norm_ * big_m) + (c_ + qt * p_norm_) * eps);
    s_r_ = s_r_ + r_norm_ * r_norm_;
    s_p_ = s_p_ + p_norm_ * p_norm_;
    s_x_ = s_x_ + (r_norm_ * e_p_ + e_ * p_norm_);
    e_q_ = e_q_ + (aq * e_ + dq);
    a_q_ = a_q_ + aq * r_norm_;
    return q;
}

double GramBackend::coef_err(std::size_t k_used) const {
    const double k = static_cast<double>(k_used), p = static_cast<double>(p_);
    return e_q_ + a_q_ * (std::sqrt(s_r_) *
                          (std::sqrt(s_p_) * (std::sqrt(k) * ((3.0 * k + p + 4.0) * u))));
}

}  // namespace veltra
