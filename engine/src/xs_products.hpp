// Products of the PLS1 component loop with a predictor matrix read in place:
// X v, X'z, and both together. Internal to the engine.
//
// Every output entry has one fixed order of operations, whatever the storage
// order of X (column-major, row-major or any other strides), the parallelism
// setting or the thread count, so the same data give the same bits:
//  - (X v)_i: the columns cut into parts by a function of X.cols alone;
//    within a part, two running sums in column order from zero, over the
//    columns at an even and at an odd offset from the part's first column,
//    added; the part sums added in part order;
//  - (X'z)_j: the rows cut into parts by a function of the shape alone;
//    within a part, two running sums in row order from zero, over the rows
//    at an even and at an odd offset from the part's first row, added; the
//    part sums added in part order.
// Two interleaved sums suit both layouts: along the contiguous direction
// they are the two halves of one SIMD register, across it they are pairs of
// adjacent lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "veltra/component_loop.hpp"
#include "veltra/parallel.hpp"
#include "veltra/view.hpp"

namespace veltra::detail {

// The map from the raw product (X v)_i to the score t_i, and the row factor
// of the transposed product in a fused sweep:
// t_i = (raw_i - offset) * mult_i, then z_i = mult_i * t_i (X'z is summed).
// Without centring the offset is not subtracted; without multipliers
// (mult == nullptr) t_i is not scaled and z_i = t_i.
// With mean given (and centre set), the offset is sum_j mean_j v_j, added
// in index order from zero, and the products form it themselves: where they
// read X twice, a task takes it alongside the forward product.
struct ScoreMap {
    bool centre = false;
    double offset = 0.0;
    const double* mult = nullptr;
    const double* mean = nullptr;
};

// out_i = (X v)_i for every row; v has X.cols entries.
void x_times(const MatView& x, const double* v, double* out, Par par);

// g = X'z; z has X.rows entries, g X.cols.
void xt_times(const MatView& x, const double* z, double* g, Par par, ProductScratch& scratch);

// Work of a component on the columns of X beside its products: `before`
// over ranges of columns, `scored` once t (and z) are complete, `after` over
// ranges of columns once g holds them. The ranges of each cover the columns
// once. Every `before` range ends before `scored` starts, and `scored` runs
// on the calling thread before any `after` range starts. Where the products
// read X by the same column parts in every pass, a range runs inside a task
// that reads those columns, pinned with it (for_each_index_pinned): a
// `before` range in the task of its part's first row chunk, while the part's
// other chunks may read the same columns for X v on other threads; an
// `after` range once its task has formed those entries of g, while other
// tasks form the rest. So the ranges may run at once with one another and
// with the products: a range writes only its own columns of what it writes,
// writes nothing the products read (X, v, the score map's means and
// multipliers) and reads nothing they write but, in an `after`, its own
// columns of g. Elsewhere `before` takes all columns on the calling thread
// ahead of the products, and `after` all columns once they are done.
struct ColumnWork {
    std::function<void(IndexSpan)> before;
    std::function<void(const double* t)> scored;
    std::function<void(IndexSpan)> after;
};

// t from X v by the score map, and g = X'z. X is read once: each block of
// rows is multiplied twice while it is still in the cache. It is read twice
// instead, t by rows (or column parts) and then X'z by bands of columns, when
// the row parts are too few to share among the threads, when a column-major
// X is small enough for the cache, and when a column-major X has so many
// columns that a cached block of rows spans only short column segments
// (long runs of columns read twice cost less than one pass over short
// segments).
void x_times_then_xt(const MatView& x, const double* v, const ScoreMap& map, double* t, double* g,
                     Par par, ProductScratch& scratch, const ColumnWork* work = nullptr);

// The number of row parts of X'z for an n x p X (the cut of part_span): a
// pass that reads X for its own ends can form X'z along the way with them.
std::size_t xt_row_parts(std::size_t n, std::size_t p);
// The column parts of (X v)_i for p columns.
std::size_t x_times_parts(std::size_t p);

// Peak bytes the products above allocate for a rows x p X, whatever its
// layout: the partial sums and blocks of a scratch and the per-task sums,
// as many tasks as there are fixed parts.
std::uint64_t product_scratch_bytes(std::uint64_t rows, std::uint64_t p);

}  // namespace veltra::detail
