// Column moments of X for a fit, computed without writing the standardised
// matrix: column chunks of about 2 MiB run one after another or on the
// current pool's workers, and a row-major X with many rows is streamed row by
// row. The result is the same bits for column-major and row-major storage,
// with or without parallelism, on any thread count.
#pragma once

#include <cstddef>
#include <optional>

#include <Eigen/Core>

#include "veltra/ordered_product.hpp"
#include "veltra/parallel.hpp"
#include "veltra/standardize.hpp"
#include "veltra/view.hpp"

namespace veltra {

struct FitX {
    Eigen::VectorXd mean;   // column means by the scale rule
    Eigen::VectorXd scale;  // column scales by the scale rule
    // One per row of X; multiply the rows of the materialised matrix.
    // fit_x_moments leaves them absent; a weighted fit sets sqrt(w'_i).
    std::optional<Eigen::VectorXd> row_multipliers;
    // Frobenius norm of the standardised X with row i times sqrt(w'_i).
    double fro = 0.0;
    bool row_major = false;  // X's column stride is 1 and its row stride is not

    // (X_ij - mean_j) / scale_j over all rows of X (the view the moments came
    // from), times the row multiplier of row i when present.
    Eigen::MatrixXd materialize(MatView x) const;
};

// Moments over the listed rows (all rows when absent). Weights, one per used
// row by position, are rescaled to mean one over their own length first.
// Non-finite data give NaN statistics; callers check finiteness.
FitX fit_x_moments(MatView x, std::optional<RowList> rows, std::optional<VecView> weights,
                   Par par);
// The same with weights that already have mean one over the used rows: used
// unchanged, so a caller that rescales once can hand them to every step.
FitX fit_x_moments_mean_one(MatView x, std::optional<RowList> rows,
                            std::optional<VecView> weights, Par par);

// fit_x_moments_mean_one over all rows, together with xt_z = X'z (z one
// entry per row of X) summed in the order of the PLS1 component loop's
// products: the loop's start vector then needs no pass over X of its own.
FitX fit_x_moments_with_cross(MatView x, std::optional<VecView> weights, const double* z,
                              Eigen::VectorXd& xt_z, Par par);

// fit_x_moments over all rows without weights, together with X'B as `xt`
// forms it (row j of out, xt.ld() entries apart, for column j of X): a
// two-block fit's cross product then needs no pass over X of its own.
FitX fit_x_moments_with_product(MatView x, const OrderedXt& xt, double* out, Par par);

// Peak bytes of fit_x_moments on n listed rows of x beyond x (saturating):
// the moments, the rescaled weights, and what the chunks that run at once
// gather (eight columns of the used rows, or a streamed chunk's sums).
std::uint64_t fit_x_moments_bytes(MatView x, std::size_t n, Par par);

// max_j |mean_j| / scale_j, NaN ratios ignored (0 when none is left).
double mean_scale_ratio(const FitX& fx);

// Columns per chunk: about 2 MiB of n used rows, a multiple of 8, at least 8.
std::size_t fit_x_base_width(std::size_t n);

// Chunk width of fit_x_moments for n used rows, p columns and the given
// thread count: a row-major X with more than 1024 rows streams in chunks of
// about p / threads columns; any other X goes in chunks of the base width or
// of about p / (4 threads) columns, whichever is narrower (each rounded up
// to a multiple of 8).
std::size_t fit_x_chunk_width(std::size_t n, std::size_t p, bool row_major, std::size_t threads);

}  // namespace veltra
