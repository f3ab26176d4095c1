// X'B a few columns of X at a time, each entry summed as ordered_product(X',
// B) sums it, for passes that read X for their own ends.
//
// A vector lane holds one column of B: per row t of X, each X entry of the
// block is taken in every lane and multiplied by the row of B, and the
// product is added to its entry's running sum. Every lane does the scalar
// operations of the ordered product (one running sum from zero per part of
// the rows, the part sums added in part order), so every width gives the
// same bits.

#include <algorithm>
#include <cstring>

#include "block_vectors.hpp"
#include "xs_block_products.hpp"
#include "veltra/error.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"

namespace veltra {
namespace {

// RT columns of the block by NV vectors of B over rows [begin, end): the
// running sums from zero, stored (first part) or added to the sums so far.
// Along the way, row t of the fetch region (same strides, fw columns)
// has its entry in column t mod fw fetched: one line per row, which covers
// a region whose rows are lines and one whose columns run down lines.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void part_tile(const double* a, std::ptrdiff_t a_col,
                                             std::ptrdiff_t a_row, std::size_t begin,
                                             std::size_t end, const double* b, std::size_t ld,
                                             double* out, bool first, const double* fetch,
                                             std::size_t fw) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    V acc[RT][NV];
    detail::start_tile(acc, out, ld, true);
    detail::add_index_range(acc, a, a_col, a_row, begin, end, b, ld, [&](std::size_t t) {
        if (fetch != nullptr)
            __builtin_prefetch(fetch + static_cast<std::ptrdiff_t>(t) * a_row +
                                   static_cast<std::ptrdiff_t>(t % fw) * a_col,
                               0, 2);
    });
    for (int r = 0; r < RT; ++r)
        for (int v = 0; v < NV; ++v) detail::store_or_add(out + r * ld + v * L, acc[r][v], first);
}

// Every part of the rows, RT columns by NV vectors at a time.
template <class V, int RT, int NV>
[[gnu::always_inline]] inline void block_xt(const double* a, std::ptrdiff_t a_col,
                                            std::ptrdiff_t a_row, std::size_t w,
                                            const std::vector<std::size_t>& cuts,
                                            const double* b, std::size_t ld, double* out,
                                            const double* fetch, std::size_t fw) {
    constexpr std::size_t L = sizeof(V) / sizeof(double);
    const std::size_t nv = ld / L;
    for (std::size_t q = 0; q + 1 < cuts.size(); ++q) {
        const std::size_t begin = cuts[q], end = cuts[q + 1];
        const double* f = fw > 0 ? fetch : nullptr;  // by the first tile only
        for (std::size_t c = 0; c < w;) {
            const bool whole = c + RT <= w;
            const double* ac = a + static_cast<std::ptrdiff_t>(c) * a_col;
            double* oc = out + c * ld;
            for (std::size_t v = 0; v < nv;) {
                const bool wide = v + NV <= nv;
                const double* bv = b + v * L;
                double* o = oc + v * L;
                if (whole && wide)
                    part_tile<V, RT, NV>(ac, a_col, a_row, begin, end, bv, ld, o, q == 0, f, fw);
                else if (whole)
                    part_tile<V, RT, 1>(ac, a_col, a_row, begin, end, bv, ld, o, q == 0, f, fw);
                else if (wide)
                    part_tile<V, 1, NV>(ac, a_col, a_row, begin, end, bv, ld, o, q == 0, f, fw);
                else
                    part_tile<V, 1, 1>(ac, a_col, a_row, begin, end, bv, ld, o, q == 0, f, fw);
                f = nullptr;
                v += wide ? NV : 1;
            }
            c += whole ? RT : 1;
        }
    }
}

// The tile shapes that fit each register file: 2 x 4 two-lane vectors, 4 x 2
// four-lane ones, 8 x 3 eight-lane ones.
struct BlockXt {
    template <class V, int, int>
    [[gnu::always_inline]] static void run(const double* a, std::ptrdiff_t a_col,
                                           std::ptrdiff_t a_row, std::size_t w,
                                           const std::vector<std::size_t>* cuts, const double* b,
                                           std::size_t ld, double* out, const double* fetch,
                                           std::size_t fw) {
        constexpr std::size_t L = sizeof(V) / sizeof(double);
        constexpr int RT = L == 2 ? 2 : L == 4 ? 4 : 8, NV = L == 2 ? 4 : L == 4 ? 2 : 3;
        block_xt<V, RT, NV>(a, a_col, a_row, w, *cuts, b, ld, out, fetch, fw);
    }
};

}  // namespace

OrderedXt::OrderedXt(const MatView& b, std::size_t p, Par par, std::size_t max_lanes)
    : ld_(detail::block_ld(b.cols)),
      width_(b.cols),
      lanes_(detail::block_vector_lanes(max_lanes)) {
    const std::size_t n = b.rows;
    packed_.assign(n * ld_, 0.0);
    for_each_part(par, n, [&](std::size_t, IndexSpan s) {
        for (std::size_t t = s.begin; t < s.end; ++t)
            for (std::size_t c = 0; c < b.cols; ++c) packed_[t * ld_ + c] = b(t, c);
    });
    if (splits_sum(p, n, b.cols)) {
        for (std::size_t i = 0; i < fixed_parts; ++i) cuts_.push_back(part_span(n, i).begin);
    } else {
        cuts_.push_back(0);
    }
    cuts_.push_back(n);
}

void OrderedXt::columns(const double* a, std::ptrdiff_t a_col, std::ptrdiff_t a_row,
                        std::size_t w, double* out, const double* fetch,
                        std::size_t fetch_w) const {
    if (w == 0) return;
    detail::run_at_lanes<BlockXt>(lanes_, "OrderedXt: no kernel of that width", a, a_col, a_row, w,
                                  &cuts_, packed_.data(), ld_, out, fetch, fetch ? fetch_w : 0);
}

Eigen::MatrixXd OrderedXt::left_product(const MatView& a, Par par) const {
    internal_check(a.cols * ld_ == packed_.size(), "OrderedXt::left_product: A and B differ");
    const std::size_t rows = a.rows, cols = ld_;
    std::vector<double> out(rows * cols);
    // Bands of rows, each run part by part so that a part of B stays cached
    // while every row of the band passes over it.
    constexpr std::size_t band = 64;
    for_each_index(par, ceil_div(rows, band), [&](std::size_t i) {
        const std::size_t r = i * band, w = std::min(band, rows - r);
        columns(a.data + static_cast<std::ptrdiff_t>(r) * a.row_stride, a.row_stride,
                a.col_stride, w, out.data() + r * ld_);
    });
    Eigen::MatrixXd t(to_index(rows), to_index(width_));
    for (std::size_t c = 0; c < width_; ++c)
        for (std::size_t r = 0; r < rows; ++r) t(to_index(r), to_index(c)) = out[r * ld_ + c];
    return t;
}

}  // namespace veltra
