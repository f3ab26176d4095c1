#include "veltra/ordered_product.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/numeric.hpp"
#include "block_vectors.hpp"
#include "simd2.hpp"

namespace veltra {
namespace {

std::ptrdiff_t sd(std::size_t i) { return static_cast<std::ptrdiff_t>(i); }

// The product runs block by block. A block of A (some rows over some
// summation indices) is read in place when A's rows are adjacent, else
// copied into panels of adjacent rows. A tile multiplies one panel (MV
// vectors of rows) by NC columns of B: per index t it loads the panel's
// entries, takes each B(t, c) in every lane, and adds each product to its
// entry's running sum. The sums stay in registers over up to tile_t
// indices and in memory in between, which never changes their operations:
// each is one multiplication and one addition per index, in index order.
//
// Three vector widths: two lanes (SSE2 on x86-64, NEON on Arm), with each B
// entry stored twice so that both lanes load it at once; and, where the
// processor has AVX or AVX-512, four or eight lanes with B broadcast from
// single entries. Each lane does the exact IEEE operations of the scalar
// code (no fused multiply-add), so all give the same bits.
//
// Widest column tile, and the panel height in vectors for each tile width:
// at most ten running sums, with room for the operands in 16 registers.
constexpr int max_tile_cols = 5;
constexpr std::array<int, max_tile_cols + 1> tile_vectors = {0, 6, 5, 3, 2, 2};

using detail::load2;
using detail::store2;
using detail::v2d;

// The tile of MV two-lane vectors of rows (row i of the panel at a + t a_t
// + i for index t) by NC columns of B (B(t, c) twice at b + t ldb + 2 c);
// o is column-major with column stride ldo.
template <int MV, int NC>
void tile2(const double* a, std::ptrdiff_t a_t, const double* b, std::size_t ldb,
           std::size_t kb, double* o, std::size_t ldo) {
    v2d acc[MV][NC];
    #pragma GCC unroll 16
    for (int c = 0; c < NC; ++c)
        #pragma GCC unroll 16
        for (int v = 0; v < MV; ++v) acc[v][c] = load2(o + sd(c * ldo) + 2 * v);
    for (std::size_t t = 0; t < kb; ++t) {
        const double* at = a + sd(t) * a_t;
        const double* bt = b + t * ldb;
        if constexpr (MV <= NC) {
            v2d x[MV];
            #pragma GCC unroll 16
            for (int v = 0; v < MV; ++v) x[v] = load2(at + 2 * v);
            #pragma GCC unroll 16
            for (int c = 0; c < NC; ++c) {
                const v2d y = load2(bt + 2 * c);
                #pragma GCC unroll 16
                for (int v = 0; v < MV; ++v) acc[v][c] += x[v] * y;
            }
        } else {
            v2d y[NC];
            #pragma GCC unroll 16
            for (int c = 0; c < NC; ++c) y[c] = load2(bt + 2 * c);
            #pragma GCC unroll 16
            for (int v = 0; v < MV; ++v) {
                const v2d x = load2(at + 2 * v);
                #pragma GCC unroll 16
                for (int c = 0; c < NC; ++c) acc[v][c] += x * y[c];
            }
        }
    }
    #pragma GCC unroll 16
    for (int c = 0; c < NC; ++c)
        #pragma GCC unroll 16
        for (int v = 0; v < MV; ++v) store2(o + sd(c * ldo) + 2 * v, acc[v][c]);
}

using TileFn = void (*)(const double*, std::ptrdiff_t, const double*, std::size_t, std::size_t,
                        double*, std::size_t);

// The tiles of each height a panel uses (2, 3, 5 and 6 vectors), by column
// count, of one width: Tiles::fn<MV, NC> is the tile of MV vectors by NC
// columns.
struct TileTable {
    std::array<TileFn, max_tile_cols + 1> v2, v3, v5, v6;
    TileFn at(int vectors, int cols) const {
        switch (vectors) {
            case 2: return v2[cols];
            case 3: return v3[cols];
            case 5: return v5[cols];
            case 6: return v6[cols];
            default: internal_failure("ordered_product: no tile of that height");
        }
    }
};

template <class Tiles, int MV>
constexpr std::array<TileFn, max_tile_cols + 1> tiles_of_height() {
    return {nullptr,
            Tiles::template fn<MV, 1>,
            Tiles::template fn<MV, 2>,
            Tiles::template fn<MV, 3>,
            Tiles::template fn<MV, 4>,
            Tiles::template fn<MV, 5>};
}

template <class Tiles>
TileFn tile_fn(int vectors, int cols) {
    static constexpr TileTable table{tiles_of_height<Tiles, 2>(), tiles_of_height<Tiles, 3>(),
                                     tiles_of_height<Tiles, 5>(), tiles_of_height<Tiles, 6>()};
    return table.at(vectors, cols);
}

struct Tiles2 {
    template <int MV, int NC>
    static constexpr TileFn fn = &tile2<MV, NC>;
};

#if defined(__x86_64__)
#define VELTRA_WIDE_TILES 1

typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));


// As tile2 with four- or eight-lane vectors; B(t, c) once, at b + t ldb + c.
// Eight-lane tiles broadcast each B entry as it is used, where four-lane
// tiles taller than wide hold the row of B in registers: the same
// operations, fitted to each register file.
template <class V, int MV, int NC>
[[gnu::always_inline]] inline void tile_broadcast(const double* a, std::ptrdiff_t a_t,
                                                  const double* b, std::size_t ldb,
                                                  std::size_t kb, double* o, std::size_t ldo) {
    constexpr int L = sizeof(V) / sizeof(double);
    // A shuffle mask of zeros: lane 0 of V{s} in every lane broadcasts s.
    typedef long long Lane0 __attribute__((vector_size(sizeof(V))));
    V acc[MV][NC];
    #pragma GCC unroll 16
    for (int c = 0; c < NC; ++c)
        #pragma GCC unroll 16
        for (int v = 0; v < MV; ++v) std::memcpy(&acc[v][c], o + sd(c * ldo) + L * v, sizeof(V));
    for (std::size_t t = 0; t < kb; ++t) {
        const double* at = a + sd(t) * a_t;
        const double* bt = b + t * ldb;
        if constexpr (MV <= NC || L == 8) {
            V x[MV];
            #pragma GCC unroll 16
            for (int v = 0; v < MV; ++v) std::memcpy(&x[v], at + L * v, sizeof(V));
            #pragma GCC unroll 16
            for (int c = 0; c < NC; ++c) {
                const V y = __builtin_shuffle(V{bt[c]}, Lane0{});
                #pragma GCC unroll 16
                for (int v = 0; v < MV; ++v) acc[v][c] += x[v] * y;
            }
        } else {
            V y[NC];
            #pragma GCC unroll 16
            for (int c = 0; c < NC; ++c) y[c] = __builtin_shuffle(V{bt[c]}, Lane0{});
            #pragma GCC unroll 16
            for (int v = 0; v < MV; ++v) {
                V x;
                std::memcpy(&x, at + L * v, sizeof(V));
                #pragma GCC unroll 16
                for (int c = 0; c < NC; ++c) acc[v][c] += x * y[c];
            }
        }
    }
    #pragma GCC unroll 16
    for (int c = 0; c < NC; ++c)
        #pragma GCC unroll 16
        for (int v = 0; v < MV; ++v) std::memcpy(o + sd(c * ldo) + L * v, &acc[v][c], sizeof(V));
}

template <int MV, int NC>
__attribute__((target("avx"))) void tile4(const double* a, std::ptrdiff_t a_t, const double* b,
                                          std::size_t ldb, std::size_t kb, double* o,
                                          std::size_t ldo) {
    tile_broadcast<v4d, MV, NC>(a, a_t, b, ldb, kb, o, ldo);
}
template <int MV, int NC>
__attribute__((target("avx512f"))) void tile8(const double* a, std::ptrdiff_t a_t,
                                              const double* b, std::size_t ldb, std::size_t kb,
                                              double* o, std::size_t ldo) {
    tile_broadcast<v8d, MV, NC>(a, a_t, b, ldb, kb, o, ldo);
}

struct Tiles4 {
    template <int MV, int NC>
    static constexpr TileFn fn = &tile4<MV, NC>;
};
struct Tiles8 {
    template <int MV, int NC>
    static constexpr TileFn fn = &tile8<MV, NC>;
};

#endif

// Column tiles of near-equal widths, none wider than max_tile_cols; the
// first tiles are the wider ones.
struct ColTile {
    std::size_t first;
    int width;
};

std::vector<ColTile> column_tiles(std::size_t cols) {
    std::vector<ColTile> tiles;
    const std::size_t count = ceil_div(cols, max_tile_cols);
    std::size_t c = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t w = cols / count + (i < cols % count ? 1 : 0);
        tiles.push_back({c, static_cast<int>(w)});
        c += w;
    }
    return tiles;
}

// Where the entries of A lie: rows adjacent (row stride 1), summation
// indices adjacent (column stride 1), or neither.
enum class Layout { rows_adjacent, indices_adjacent, strided };

Layout layout_of(const MatView& a) {
    if (a.row_stride == 1 && a.rows >= 2) return Layout::rows_adjacent;
    if (a.col_stride == 1) return Layout::indices_adjacent;
    return Layout::strided;
}

// Indices per tile call: this much of the packed B stays in the first-level
// cache while every panel of a block passes over it.
constexpr std::size_t tile_t = 64;
// A block holds about this many entries of A (256 KiB).
constexpr std::size_t block_entries = 32768;
// The longest stretch of A a copied block reads.
constexpr std::size_t max_stretch = 2048;

// A block of A: rows [r0, r1) over indices [t0, t0 + kb).
struct Block {
    std::size_t r0 = 0, r1 = 0, t0 = 0, kb = 0;
    std::size_t rows() const { return r1 - r0; }
};

// How one product runs: the kernels with their lanes, B's layout (copies
// of each entry per row), panels of h rows, and the blocks. With A's rows
// adjacent a block is tile_t indices over up to 512 rows, read in place;
// otherwise a few rows over long stretches of indices, copied into panels.
struct Plan {
    Layout layout = Layout::strided;
    std::size_t copies = 2;
    std::size_t h = 0;
    std::size_t rows_per_block = 0;
    std::size_t t_per_block = 0;
    std::array<TileFn, max_tile_cols + 1> fns{};
};

Plan plan_for(const MatView& a, const std::vector<ColTile>& tiles, std::size_t indices,
              std::size_t lanes) {
    Plan pl;
    pl.layout = layout_of(a);
    const int vectors = tile_vectors[tiles.front().width];
    pl.copies = lanes == 2 ? 2 : 1;
    pl.h = lanes * static_cast<std::size_t>(vectors);
    for (const ColTile& ct : tiles) {
#ifdef VELTRA_WIDE_TILES
        pl.fns[ct.width] = lanes == 8   ? tile_fn<Tiles8>(vectors, ct.width)
                           : lanes == 4 ? tile_fn<Tiles4>(vectors, ct.width)
                                        : tile_fn<Tiles2>(vectors, ct.width);
#else
        pl.fns[ct.width] = tile_fn<Tiles2>(vectors, ct.width);
#endif
    }
    pl.t_per_block = pl.layout == Layout::rows_adjacent
                         ? tile_t
                         : std::clamp<std::size_t>(indices, 1, max_stretch);
    pl.rows_per_block = std::max(pl.h, block_entries / pl.t_per_block / pl.h * pl.h);
    return pl;
}

// B (k x cols) row by row, each entry `copies` times.
std::vector<double> pack_b(const MatView& b, std::size_t copies, Par par) {
    const std::size_t ldb = copies * b.cols;
    std::vector<double> out(b.rows * ldb);
    for_each_part(par, b.rows, [&](std::size_t, IndexSpan s) {
        for (std::size_t t = s.begin; t < s.end; ++t)
            for (std::size_t c = 0; c < b.cols; ++c)
                std::fill_n(out.data() + t * ldb + copies * c, copies, b(t, c));
    });
    return out;
}

// Copies rows [r, r + n) of A over the block's indices, n <= h, into one
// panel (index t at p + t h), the rows past n zero.
void pack_panel(const MatView& a, const Block& blk, std::size_t r, std::size_t n,
                std::size_t h, double* p) {
    for (std::size_t t = 0; t < blk.kb; ++t) {
        for (std::size_t i = 0; i < n; ++i) p[t * h + i] = a(r + i, blk.t0 + t);
        for (std::size_t i = n; i < h; ++i) p[t * h + i] = 0.0;
    }
}

// Copies a block of an A whose indices are adjacent (or of other strides)
// into panels of h rows (panel u at p + u kb h), rows past the block zero.
// A panel's rows are read side by side, 8 indices at a time, so that each
// group of 8 panel lines is written whole while it is in the cache; the
// same stretch of the next panel's rows (or the next block's first) is
// fetched meanwhile.
void pack_block(const MatView& a, Layout layout, const Block& blk, const Block& next,
                std::size_t h, double* p) {
    const std::size_t rows = blk.rows(), kb = blk.kb, panels = ceil_div(rows, h);
    if (layout == Layout::strided) {
        for (std::size_t u = 0; u < panels; ++u)
            pack_panel(a, blk, blk.r0 + u * h, std::min(h, rows - u * h), h, p + u * kb * h);
        return;
    }
    constexpr std::size_t chunk = 8;
    auto row = [&](std::size_t r, std::size_t t) {
        return a.data + sd(r) * a.row_stride + sd(t);
    };
    for (std::size_t u = 0; u < panels; ++u) {
        const std::size_t r = blk.r0 + u * h, n = std::min(h, rows - u * h);
        // Rows (from the block or the next one) whose stretches come next.
        const bool last = u + 1 == panels;
        const std::size_t fr = last ? next.r0 : r + h;
        const std::size_t fn = last ? std::min(h, next.rows()) : std::min(h, rows - (u + 1) * h);
        const std::size_t ft = last ? next.t0 : blk.t0, fkb = last ? next.kb : kb;
        double* dst = p + u * kb * h;
        if (n < h) std::fill(dst, dst + kb * h, 0.0);
        for (std::size_t c0 = 0; c0 < kb; c0 += chunk) {
            const std::size_t c1 = std::min(c0 + chunk, kb);
            if (c0 < fkb) {
                for (std::size_t i = 0; i < fn; ++i) __builtin_prefetch(row(fr + i, ft + c0), 0, 2);
            }
            std::size_t i = 0;
            for (; i + 2 <= n; i += 2) {
                const double* s0 = row(r + i, blk.t0);
                const double* s1 = row(r + i + 1, blk.t0);
                std::size_t t = c0;
                for (; t + 2 <= c1; t += 2) {
                    const v2d x0 = load2(s0 + t), x1 = load2(s1 + t);
                    store2(dst + t * h + i, v2d{x0[0], x1[0]});
                    store2(dst + (t + 1) * h + i, v2d{x0[1], x1[1]});
                }
                for (; t < c1; ++t) store2(dst + t * h + i, v2d{s0[t], s1[t]});
            }
            if (i < n) {
                const double* s0 = row(r + i, blk.t0);
                for (std::size_t t = c0; t < c1; ++t) dst[t * h + i] = s0[t];
            }
        }
    }
}

// out(r, c) for r in [r0, r1) = the running sums over indices [k0, k1) of
// A(r, t) B(t, c) in index order from zero; out is column-major with column
// stride ldo and row r at out + (r - r0). bd is B packed for the plan.
void product_range(const MatView& a, const double* bd, std::size_t cols,
                   const std::vector<ColTile>& tiles, const Plan& pl, std::size_t r0,
                   std::size_t r1, std::size_t k0, std::size_t k1, double* out, std::size_t ldo) {
    if (r1 <= r0 || k1 <= k0) return;
    const std::size_t ldb = pl.copies * cols, h = pl.h;
    const std::size_t rpb = std::min(pl.rows_per_block, ceil_div(r1 - r0, h) * h);
    const bool in_place = pl.layout == Layout::rows_adjacent;
    std::vector<double> panels(in_place ? h * pl.t_per_block : rpb * pl.t_per_block);
    std::vector<double> acc(rpb * cols);
    auto block_at = [&](std::size_t rb, std::size_t t0) {
        return Block{rb, std::min(rb + rpb, r1), t0, std::min(pl.t_per_block, k1 - t0)};
    };
    for (std::size_t rb = r0; rb < r1; rb += rpb) {
        std::fill(acc.begin(), acc.end(), 0.0);
        for (std::size_t t0 = k0; t0 < k1; t0 += pl.t_per_block) {
            const Block blk = block_at(rb, t0);
            Block next;
            if (t0 + pl.t_per_block < k1) {
                next = block_at(rb, t0 + pl.t_per_block);
            } else if (rb + rpb < r1) {
                next = block_at(rb + rpb, k0);
            }
            const std::size_t n_panels = ceil_div(blk.rows(), h);
            if (!in_place) pack_block(a, pl.layout, blk, next, h, panels.data());
            for (std::size_t ts = 0; ts < blk.kb; ts += tile_t) {
                const std::size_t kt = std::min(tile_t, blk.kb - ts);
                const double* bt = bd + (blk.t0 + ts) * ldb;
                for (std::size_t u = 0; u < n_panels; ++u) {
                    const std::size_t r = blk.r0 + u * h;
                    const double* pa = panels.data() + (u * blk.kb + ts) * h;
                    std::ptrdiff_t a_t = sd(h);
                    if (in_place) {
                        // The same rows of the next block are fetched while
                        // this one is multiplied: its lines lie far apart.
                        if (u * h < next.rows()) {
                            const std::size_t len = std::min(h, next.rows() - u * h);
                            for (std::size_t t = 0; t < next.kb; ++t) {
                                const double* q = a.data + sd(next.r0 + u * h) +
                                                  sd(next.t0 + t) * a.col_stride;
                                for (std::size_t i = 0; i < len; i += 8)
                                    __builtin_prefetch(q + i, 0, 2);
                                __builtin_prefetch(q + len - 1, 0, 2);
                            }
                        }
                        if (r + h <= r1) {
                            pa = a.data + sd(r) + sd(blk.t0 + ts) * a.col_stride;
                            a_t = a.col_stride;
                        } else {
                            // A whole panel read in place would run past the
                            // last row.
                            pack_panel(a, Block{r, r1, blk.t0 + ts, kt}, r, r1 - r, h,
                                       panels.data());
                            pa = panels.data();
                        }
                    }
                    for (const ColTile& ct : tiles)
                        pl.fns[ct.width](pa, a_t, bt + pl.copies * ct.first, ldb, kt,
                                         acc.data() + ct.first * rpb + u * h, rpb);
                }
            }
        }
        const std::size_t n = std::min(rb + rpb, r1) - rb;
        for (std::size_t c = 0; c < cols; ++c)
            std::copy_n(acc.data() + c * rpb, n, out + c * ldo + (rb - r0));
    }
}

}  // namespace

bool splits_sum(std::size_t rows, std::size_t indices, std::size_t cols) {
    return indices > rows && 64 * cols <= indices;
}

std::uint64_t ordered_product_bytes(std::uint64_t rows, std::uint64_t indices, std::uint64_t cols) {
    const bool split = splits_sum(rows, indices, cols);
    // A part copies at most a block of A, or one panel over the longest
    // stretch; its sums cover at most one block's rows (a split part runs
    // every row, an unsplit one its eighth), rounded up to a whole panel.
    constexpr std::uint64_t panel = 8 * 6;
    const std::uint64_t part_rows = split ? rows : rows / fixed_parts + 1;
    const std::uint64_t sums_rows =
        std::min<std::uint64_t>(block_entries, sat_add(part_rows, panel));
    const std::uint64_t per_part =
        sat_add(std::max(block_entries, panel * max_stretch), sat_mul(sums_rows, cols));
    std::uint64_t doubles = sat_mul(sat_add(rows, split ? sat_mul(fixed_parts, rows) : 0), cols);
    doubles = sat_add(doubles, sat_mul(sat_mul(2, indices), cols));
    doubles = sat_add(doubles, sat_mul(fixed_parts, per_part));
    return sat_mul(doubles, 8);
}

Eigen::MatrixXd ordered_product(const MatView& a, const MatView& b, Par par, bool wide_vectors) {
    internal_check(a.cols == b.rows,
                   "ordered_product: the columns of A differ from the rows of B");
    const std::size_t rows = a.rows, cols = b.cols, k = a.cols;
    Eigen::MatrixXd out = Eigen::MatrixXd::Zero(to_index(rows),
                                                to_index(cols));
    if (rows == 0 || cols == 0 || k == 0) return out;
    const std::size_t lanes = wide_vectors ? detail::widest_lanes() : 2;
    const std::vector<ColTile> tiles = column_tiles(cols);

    if (!splits_sum(rows, k, cols)) {
        const Plan pl = plan_for(a, tiles, k, lanes);
        const std::vector<double> bd = pack_b(b, pl.copies, par);
        for_each_part(par, rows, [&](std::size_t, IndexSpan s) {
            product_range(a, bd.data(), cols, tiles, pl, s.begin, s.end, 0, k,
                          out.data() + s.begin, rows);
        });
        return out;
    }
    // One partial product per part of the indices, added in part order.
    const Plan pl = plan_for(a, tiles, part_span(k, 0).size() + 1, lanes);
    const std::vector<double> bd = pack_b(b, pl.copies, par);
    std::vector<Eigen::MatrixXd> partial(fixed_parts);
    for_each_part(par, k, [&](std::size_t i, IndexSpan s) {
        partial[i] = Eigen::MatrixXd::Zero(to_index(rows),
                                           to_index(cols));
        product_range(a, bd.data(), cols, tiles, pl, 0, rows, s.begin, s.end,
                      partial[i].data(), rows);
    });
    for_each_part(par, rows * cols, [&](std::size_t, IndexSpan s) {
        for (std::size_t e = s.begin; e < s.end; ++e) {
            double v = partial[0].data()[e];
            for (std::size_t i = 1; i < fixed_parts; ++i) v += partial[i].data()[e];
            out.data()[e] = v;
        }
    });
    return out;
}

}  // namespace veltra
