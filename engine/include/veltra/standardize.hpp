// Column standardisation by the one scale rule of the engine.
//
// Every sum runs on the values divided by a power of two taken from the
// column's largest magnitude, so nothing overflows and tiny columns keep
// their precision; a column without usable spread is scaled by
// max(|mean|, 1) instead of its standard deviation; NaN or infinite values
// give a NaN scale. Matrices are read in place in any layout (column-major,
// row-major or strided); results are column-major. None of these functions
// reports an error: callers validate their inputs first, and mismatched
// lengths are broken invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <Eigen/Core>

#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra {

// Row indices into X, in output order; an index may repeat.
using RowList = std::span<const std::uint64_t>;

// The raw sums behind the scale rule for one column of n values x_i, on the
// prescaled values u_i = x_i * inv_s (each term times w_i with weights).
struct ScaledMoments {
    double s;      // 2^(e - 1023), e from the largest |x_i|
    double inv_s;  // 2^(1023 - e), exact reciprocal of s
    double m;      // sum u_i / n
    double ss;     // sum (u_i - m)^2
    double ref;    // sum u_i^2
};

struct Standardized1 {
    Eigen::VectorXd y_std;
    double mean;
    double scale;
};

struct Standardized {
    Eigen::MatrixXd x_std;
    Eigen::VectorXd mean;
    Eigen::VectorXd scale;
};

struct StandardizedFro {
    Eigen::MatrixXd x_std;
    Eigen::VectorXd mean;
    Eigen::VectorXd scale;
    double fro;  // Frobenius norm of x_std with row i times sqrt(w_i)
};

struct StandardizedTerms {
    Eigen::MatrixXd x_std;  // n x p when asked for, else empty
    Eigen::VectorXd mean;
    Eigen::VectorXd scale;
    Eigen::VectorXd terms;  // norm of each weighted standardised column
};

// Moments of one vector; weights (at least x.size()) are used unchanged.
ScaledMoments scaled_moments(VecView x, std::optional<VecView> weights = std::nullopt);

// y standardised; weights (as many as y) are rescaled to mean one first.
Standardized1 standardize1_weighted(VecView y, std::optional<VecView> weights = std::nullopt);
// The same with weights (at least as many as y) that already have mean one:
// used unchanged, so a caller that rescales once can hand them to every step.
Standardized1 standardize1_mean_one(VecView y, std::optional<VecView> weights);

// X standardised; weights (one per row) are rescaled to mean one first.
Standardized standardize_weighted(MatView x, std::optional<VecView> weights = std::nullopt);

// The listed rows of X standardised over themselves. Weights (one per listed
// row) are rescaled to mean one over their own length; multipliers (one per
// listed row) scale the output rows only.
StandardizedFro standardize_rows_fro(MatView x, RowList rows,
                                     std::optional<VecView> weights = std::nullopt,
                                     std::optional<VecView> multipliers = std::nullopt);

// Weights (at least one per used row) are used unchanged; multipliers scale
// the output rows and never enter the moments.
StandardizedFro standardize_columns(MatView x, std::optional<RowList> rows = std::nullopt,
                                    std::optional<VecView> weights = std::nullopt,
                                    std::optional<VecView> multipliers = std::nullopt);

StandardizedTerms standardize_columns_terms(MatView x, std::optional<RowList> rows,
                                            std::optional<VecView> weights,
                                            std::optional<VecView> multipliers, bool build);

// Z_ij = (X_ij - mean_j) / scale_j with stored moments (at least p of each).
Eigen::MatrixXd standardize_apply(MatView x, VecView mean, VecView scale);

// One output row per listed row, times multiplier_i when given.
Eigen::MatrixXd standardize_apply_rows(MatView x, RowList rows, VecView mean, VecView scale,
                                       std::optional<VecView> multipliers = std::nullopt);

// (w_i * L) / sum w over the L given weights.
Eigen::VectorXd renormalize_mean_one(VecView weights);
// sqrt(v_i): row multipliers from normalised weights.
Eigen::VectorXd sqrt_col(VecView v);
// v[rows_i].
Eigen::VectorXd col_row_subset(VecView v, RowList rows);
// X[rows_i, j].
Eigen::MatrixXd row_subset(MatView x, RowList rows);

}  // namespace veltra
