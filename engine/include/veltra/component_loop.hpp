// The PLS1 component loop, written once over its backends. A backend hides
// how the prepared predictors X_s (n x p, standardised and row-scaled) are
// held: XBackend holds X_s itself, ImplicitXBackend the raw X with its column
// means, scales and row multipliers (X_s is never formed), and the p-space
// Gram backend only X_s'X_s. The loop extracts one component at a time from a
// deflated cross-product vector c, optionally keeps only the largest entries
// of each weight vector (sparse PLS1), and stops when a component carries no
// usable signal.
//
// X is read in place in any layout; the products give the same bits for
// every layout, parallelism setting and thread count. Each component costs
// one sweep over X (the scores t = X_s r and X_s't come from the same pass),
// or two passes, by rows and then by bands of columns, over an X with too
// few rows to share among the threads, a column-major X small enough for
// the cache, or one of very many columns; the start vector of the implicit
// backend can come with the column moments.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "veltra/error.hpp"
#include "veltra/fit.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/linalg.hpp"
#include "veltra/parallel.hpp"
#include "veltra/selection.hpp"
#include "veltra/view.hpp"

namespace veltra {

// A backend's verdict on a component: take it, end the loop, or (the Gram
// backend only) give up, after which the caller refits directly.
enum class Gate { Accept, Stop, Unresolved };

// One run of the loop. Matrices hold the k_used components only.
struct PreparedFit {
    Eigen::MatrixXd W;     // p x k_used weights
    Eigen::MatrixXd R;     // p x k_used rotations: T = X_s R
    Eigen::MatrixXd P;     // p x k_used X loadings
    Eigen::VectorXd Q;     // k_used y loadings
    Eigen::MatrixXd T;     // n x k_used scores (n x 0 from a backend without scores)
    std::size_t k_used = 0;
    Eigen::VectorXd coef;  // p standardised-scale coefficients of the k_used components
};

// Smallest score norm and weight norm the loop accepts.
inline constexpr double component_floor = 1e-14;

// A score whose squared norm falls below the floor ends the loop.
inline Gate gate_on_floor(double tt) { return tt >= component_floor ? Gate::Accept : Gate::Stop; }

// tt = t't and the y loading q of a scored component.
struct Scored {
    double tt;
    double q;
};

// A backend that scores, loads and deflates in one step: given w and r =
// rotation(w), t = X_s r is written, q and tt returned, w, r and the loading
// X_s't / tt stored at w_out, r_out and p_out and c deflated by tt q times
// the loading (all of which the loop discards when the component is not taken).
template <class B>
concept ScoresAndLoads =
    requires(B& b, const Eigen::VectorXd& v, Eigen::VectorXd& out, VecView y, double* col) {
        { b.score_and_load(v, v, y, out, out, col, col, col) } -> std::same_as<Scored>;
    };

// A backend that scores and loads in separate steps.
template <class B>
concept ScoresThenLoads =
    requires(B& b, const Eigen::VectorXd& v, Eigen::VectorXd& out, VecView y, double s) {
        // tt = t't for t = X_s r, t written into out when the backend has scores.
        { b.score(v, out) } -> std::same_as<double>;
        // X_s' t / tt of the last scored t.
        { b.loading(v, s) } -> std::same_as<Eigen::VectorXd>;
        // The y loading from (y_s, t, c, w, tt).
        { b.q(y, v, v, v, s) } -> std::same_as<double>;
    };

template <class B>
concept ComponentBackend =
    (ScoresAndLoads<B> || ScoresThenLoads<B>) &&
    requires(B& b, const Eigen::VectorXd& v, Eigen::VectorXd& out, VecView y, double s,
             std::size_t a, std::optional<std::size_t> keep) {
        { B::has_scores } -> std::convertible_to<bool>;
        { b.rows() } -> std::same_as<std::size_t>;
        { b.cols() } -> std::same_as<std::size_t>;
        { b.fro() } -> std::same_as<double>;
        { b.par() } -> std::same_as<Par>;
        // X_s' y.
        { b.cross(y) } -> std::same_as<Eigen::VectorXd>;
        // The norms of the run, before the first component.
        b.begin(s, s, s);
        // Before the selection of component a (0-based).
        { b.gate_c(v, keep, a) } -> std::same_as<Gate>;
        // On the score norm of component a (1-based).
        { b.gate_tt(a, v, s) } -> std::same_as<Gate>;
    };

// r = w - R_a (P_a' w) over the first a columns, each P_b' w summed in index
// order, so that the scores T = X_s R need no deflation of X.
Eigen::VectorXd rotation(const Eigen::VectorXd& w, const Eigen::MatrixXd& r,
                         const Eigen::MatrixXd& p, std::size_t a);

namespace detail {
// Buffers of the products, reused by a backend across its products.
struct ProductScratch {
    std::vector<double> part_sums;
    std::vector<double> block;
};
}  // namespace detail

// Holds X_s as a matrix view (any layout).
class XBackend {
  public:
    static constexpr bool has_scores = true;
    XBackend(MatView xs, double fro, Par par);

    std::size_t rows() const { return xs_.rows; }
    std::size_t cols() const { return xs_.cols; }
    double fro() const { return fro_; }
    Par par() const { return par_; }
    Eigen::VectorXd cross(VecView y);
    void begin(double, double, double) {}
    Gate gate_c(const Eigen::VectorXd&, std::optional<std::size_t>, std::size_t) {
        return Gate::Accept;
    }
    double score(const Eigen::VectorXd& r, Eigen::VectorXd& t);
    Gate gate_tt(std::size_t, const Eigen::VectorXd&, double tt) const { return gate_on_floor(tt); }
    Eigen::VectorXd loading(const Eigen::VectorXd& t, double tt);
    double q(VecView y, const Eigen::VectorXd& t, const Eigen::VectorXd&, const Eigen::VectorXd&,
             double tt) const;

  private:
    MatView xs_;
    double fro_;
    Par par_;
    Eigen::VectorXd xt_t_;  // X_s't of the last score
    const double* scored_ = nullptr;
    detail::ProductScratch scratch_;
};

// X_s = diag(m) (X - 1 mean') diag(1 / scale), applied on the fly.
class ImplicitXBackend {
  public:
    static constexpr bool has_scores = true;
    // fx supplies the means, scales, optional row multipliers and ||X_s||_F.
    ImplicitXBackend(MatView x, const FitX& fx, Par par);

    std::size_t rows() const { return x_.rows; }
    std::size_t cols() const { return x_.cols; }
    double fro() const { return fro_; }
    Par par() const { return par_; }
    Eigen::VectorXd cross(VecView y);
    // z of X'z in cross(y): y_i times the row multiplier mult_i (y itself
    // when mult is null).
    static Eigen::VectorXd cross_factors(VecView y, const double* mult);
    // X'z of cross(y) as the caller formed it (fit_x_moments_with_cross), so
    // that cross reads X no more; null to form it here.
    void use_cross(const Eigen::VectorXd* xt_z) { xt_z_given_ = xt_z; }
    // The centring costs accuracy in proportion to the mean-to-scale ratio:
    // a selected norm below 2 (1 + ratio) eps_w is not trusted.
    void begin(double, double, double eps_w) { gate_c_ = 2.0 * (1.0 + ratio_) * eps_w; }
    Gate gate_c(const Eigen::VectorXd& c, std::optional<std::size_t> keep, std::size_t);
    // ||c|| of the last gate_c when it selected no entries, which the weight
    // then needs once more.
    std::optional<double> c_norm() const { return c_norm_; }
    // The loading's columns go by bands, each with the products over it.
    Scored score_and_load(const Eigen::VectorXd& w, const Eigen::VectorXd& r, VecView y,
                          Eigen::VectorXd& t, Eigen::VectorXd& c, double* w_out, double* r_out,
                          double* p_out);
    Gate gate_tt(std::size_t, const Eigen::VectorXd&, double tt) const { return gate_on_floor(tt); }

    // The selected norm below which begin() made the loop stop.
    double gate_c_threshold() const { return gate_c_; }
    // Whether a product with the raw X overflowed (finite X near the limit of
    // double), which leaves the loop's result meaningless.
    bool overflowed() const { return overflowed_; }

  private:
    // ((g_j - mean_j sigma) / scale_j) * factor for every j, and for one.
    Eigen::VectorXd finish(const Eigen::VectorXd& g, double sigma, double factor) const;
    double loading_entry(double g_j, std::size_t j, double sigma, double factor) const {
        return ((g_j - mean_[j] * sigma) / scale_[j]) * factor;
    }

    MatView x_;
    const double* mean_;
    const double* scale_;
    const double* mult_;  // null without weights
    double fro_;
    double ratio_;
    Par par_;
    double gate_c_ = 0.0;
    std::optional<double> c_norm_;
    Eigen::VectorXd v_;     // r_j / scale_j
    Eigen::VectorXd xt_z_;  // X'z of the last score, z_i = m_i t_i
    const Eigen::VectorXd* xt_z_given_ = nullptr;
    bool overflowed_ = false;
    detail::ProductScratch scratch_;
};

// The loop. None when the backend answered Unresolved (a Gram backend): the
// run is then no fit.
template <ComponentBackend B>
std::optional<PreparedFit> pls1_component_loop(B& backend, VecView y_s, std::size_t k,
                                               std::optional<std::size_t> keep) {
    const std::size_t n = backend.rows(), p = backend.cols();
    internal_check(y_s.len == n, "pls1_component_loop: y_s and X_s differ in rows");

    Eigen::VectorXd c = backend.cross(y_s);
    const double y_norm = stable_norm(y_s);
    // max(n, p) / 2^52 is exact; the product is the rounding floor of a
    // component relative to ||X_s||_F ||y_s||.
    const double eps_raw =
        y_norm * ((static_cast<double>(std::max(n, p)) / 4503599627370496.0) * backend.fro());
    const double eps_w = eps_raw >= component_floor ? eps_raw : component_floor;
    backend.begin(y_norm, eps_raw, eps_w);

    PreparedFit out;
    // Column a is written before anything reads it, and the columns past
    // k_used are cut off: no entry needs a value beforehand.
    out.W.resize(to_index(p), to_index(k));
    out.R.resize(to_index(p), to_index(k));
    out.P.resize(to_index(p), to_index(k));
    out.Q = Eigen::VectorXd::Zero(to_index(k));
    out.T.resize(to_index(B::has_scores ? n : 0), to_index(B::has_scores ? k : 0));
    Eigen::VectorXd t(to_index(B::has_scores ? n : 0));
    for (std::size_t a = 0; a < k; ++a) {
        const Gate selection = backend.gate_c(c, keep, a);
        if (selection == Gate::Unresolved) return std::nullopt;
        if (selection == Gate::Stop) break;
        Eigen::VectorXd w = c;
        std::optional<double> known_norm;
        if constexpr (requires { backend.c_norm(); }) known_norm = backend.c_norm();
        if (!select_and_normalize(w, keep, eps_w, known_norm)) break;
        const Eigen::VectorXd r = rotation(w, out.R, out.P, a);
        Scored s{};
        if constexpr (ScoresAndLoads<B>)
            s = backend.score_and_load(w, r, y_s, t, c, out.W.col(to_index(a)).data(),
                                       out.R.col(to_index(a)).data(),
                                       out.P.col(to_index(a)).data());
        else
            s.tt = backend.score(r, t);
        const Gate scored = backend.gate_tt(a + 1, r, s.tt);
        if (scored == Gate::Unresolved) return std::nullopt;
        if (scored == Gate::Stop) break;
        if constexpr (!ScoresAndLoads<B>) {
            const Eigen::VectorXd p_a = backend.loading(t, s.tt);
            s.q = backend.q(y_s, t, c, w, s.tt);
            const double f = s.tt * s.q;
            for (std::size_t j = 0; j < p; ++j) c[to_index(j)] -= f * p_a[to_index(j)];
            out.W.col(to_index(a)) = w;
            out.R.col(to_index(a)) = r;
            out.P.col(to_index(a)) = p_a;
        }
        out.Q[to_index(a)] = s.q;
        if constexpr (B::has_scores) out.T.col(to_index(a)) = t;
        out.k_used = a + 1;
    }
    const Eigen::Index used = to_index(out.k_used);
    out.W.conservativeResize(Eigen::NoChange, used);
    out.R.conservativeResize(Eigen::NoChange, used);
    out.P.conservativeResize(Eigen::NoChange, used);
    out.Q.conservativeResize(used);
    if constexpr (B::has_scores) out.T.conservativeResize(Eigen::NoChange, used);
    out.coef = pls1_coef_at_k(MatView::of(out.W), MatView::of(out.P), VecView::of(out.Q),
                              out.k_used, backend.par());
    return out;
}

// The loop on XBackend over X_s (any layout) and y_s, with ||X_s||_F = fro.
PreparedFit pls1_fit_prepared_fro(MatView xs, VecView y_s, std::size_t k,
                                  std::optional<std::size_t> keep, double fro, Par par);

// The loop on ImplicitXBackend over the raw X with fx's moments, row
// multipliers and Frobenius norm; y_s standardised and row-scaled. None
// when a product with the raw X overflowed: the standardised X must then be
// formed. xt_z, when given, is X'z for z = cross_factors(y_s, multipliers),
// formed with the moments.
std::optional<PreparedFit> pls1_fit_implicit(MatView x, const FitX& fx, VecView y_s,
                                             std::size_t k, std::optional<std::size_t> keep,
                                             Par par, const Eigen::VectorXd* xt_z = nullptr);

}  // namespace veltra
