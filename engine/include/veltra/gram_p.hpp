// PLS1 refits in p-space through the Gram block G = X'X of a standardised X,
// for resampling runs that refit the same X with many responses. A refit
// never forms the scores t = X r, so the Gram backend carries a first-order
// bound on its rounding error through every component and gives up
// (unresolved) whenever a selection, a score norm or a deflation cannot be
// trusted at double precision; the caller then refits that unit directly.
// The route changes the cost, never the result beyond rounding.
#pragma once

#include <cstddef>
#include <optional>

#include <Eigen/Core>

#include "veltra/component_loop.hpp"
#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

// One certified replicate: standardised-scale coefficients, the components
// fitted, and a bound on the coefficients' rounding error (2-norm).
struct GramReplicateFit {
    Eigen::VectorXd coef;
    std::size_t k_used = 0;
    double coef_err = 0.0;
};

// An upper bound on ||G||_2 for G = X'X: the smaller of the largest absolute
// row sum of G and ||X||_F^2, either ignored when NaN.
double c2_norm_estimate(MatView g, double x_fro);

// Built once per resampling run and shared read-only by its replicates.
class GramPBlock {
  public:
    // G = X'X with the parallelism `build`. `replicates` is the ceiling of
    // every replicate fit: par_sequential when the replicates run inside a
    // parallel loop and keep their own products on their thread (a small
    // replicate runs sequentially either way). X is borrowed and must
    // outlive the block.
    GramPBlock(MatView x, Par build, Par replicates);

    // The PLS1 fit of y (n entries) with up to k components, or none when a
    // gate could not certify it, or when it stopped after some but not all
    // k components. `cross`, when given, is X'y already formed: callers
    // with many responses form X'Y for a group of them in one product.
    std::optional<GramReplicateFit> fit_replicate_full(
        VecView y, std::size_t k, std::optional<std::size_t> keep,
        const Eigen::VectorXd* cross = nullptr) const;

    MatView x;
    Eigen::MatrixXd G;
    double x_fro = 0.0;
    double c2 = 0.0;
    Par par = par_parallel;
};

// The component backend of one replicate; its error accumulators start at
// zero and grow with each accepted component.
class GramBackend {
  public:
    static constexpr bool has_scores = false;
    GramBackend(const GramPBlock& block, Par par, const Eigen::VectorXd* given_cross = nullptr);

    std::size_t rows() const { return n_; }
    std::size_t cols() const { return p_; }
    double fro() const { return x_fro_; }
    Par par() const { return par_; }
    Eigen::VectorXd cross(VecView y);
    void begin(double y_norm, double eps_raw, double) {
        y_norm_ = y_norm;
        eps_raw_ = eps_raw;
    }
    Gate gate_c(const Eigen::VectorXd& c, std::optional<std::size_t> keep, std::size_t a);
    // tt = r'G r; no score vector.
    double score(const Eigen::VectorXd& r, Eigen::VectorXd&);
    Gate gate_tt(std::size_t a, const Eigen::VectorXd& r, double tt);
    Eigen::VectorXd loading(const Eigen::VectorXd&, double tt) const;
    double q(VecView, const Eigen::VectorXd&, const Eigen::VectorXd& c, const Eigen::VectorXd& w,
             double tt);

    // The bound on the coefficients' rounding error after k_used components.
    double coef_err(std::size_t k_used) const;

  private:
    // The error accumulators follow the bound's formula letter by letter:
    // over the accepted components b so far,
    //   s_r_ = sum ||r_b||^2            s_p_ = sum ||p_b||^2
    //   s_x_ = sum (||r_b|| e_p,b + e_b ||p_b||)
    //   e_q_ = sum (|q_b| e_b + dq_b)   a_q_ = sum |q_b| ||r_b||
    // and coef_err = e_q_ + a_q_ sqrt(s_r_) sqrt(s_p_) sqrt(k) (3k + p + 4) u.
    // From component a > 1 on, the current r is off by at most
    // e_ = ((a + p) + 2) u s + (s_x_ + rho_ s), s = sqrt(s_r_) sqrt(s_p_) + 1.
    const GramPBlock& block_;
    Par par_;
    const Eigen::VectorXd* given_cross_;
    std::size_t n_, p_;
    double x_fro_, c2_;
    Eigen::VectorXd gr_;  // G r of the current component
    double y_norm_ = 0.0, eps_raw_ = 0.0;
    double c0_ = 0.0, c_ = 0.0;  // ||c|| of the first and of the current component
    double e_c_ = 0.0;           // error bound in c from the deflations
    double rho_ = 0.0;           // relative perturbation of the current selection
    double e_ = 0.0;             // error bound of the current r
    double b_tt_ = 0.0;          // error bound of the current tt
    double e_p_ = 0.0;           // error bound of the current loading
    double r_norm_ = 0.0, tt_ = 0.0, p_norm_ = 0.0;
    double s_r_ = 0.0, s_p_ = 0.0, s_x_ = 0.0;
    double e_q_ = 0.0, a_q_ = 0.0;
};

}  // namespace veltra
