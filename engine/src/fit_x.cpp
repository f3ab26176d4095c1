#include "veltra/fit_x.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <tbb/task_arena.h>

#include "column_moments.hpp"
#include "block_vectors.hpp"
#include "xs_block_products.hpp"
#include "xs_products.hpp"
#include "veltra/error.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"

namespace veltra {
namespace {

constexpr std::size_t chunk_bytes = 2097152;
// Columns of X up to this many bytes go in narrow chunks, about four per
// thread (fit_x_chunk_width).
constexpr std::size_t streaming_min_bytes = 8192;

// A row-major X is streamed by rows whatever its row count (the streamed
// path below): with few rows the chunks are narrow, and each group of eight
// columns still reads whole lines of every row, with nothing gathered (the
// sums are those of the gathered columns).
// A streamed chunk is taken in strips of columns whose used rows span at
// most this much, so that the sweeps after the first find them in the
// core's cache.
constexpr std::size_t strip_bytes = 512 * 1024;

using detail::load2;
using detail::splat;
using detail::v2d;

// X'z formed along the way (z null for none): per column, the sums of the
// row parts of the component loop's products (xs_products.hpp), each part
// two running sums from zero over its rows at even and at odd offsets.
struct Cross {
    const double* z = nullptr;
    double* g = nullptr;
    std::vector<std::size_t> cuts;  // the parts' first rows, then n
    // X'B formed along the way (null for none): row j of out for column j,
    // each block of columns right after its moments, while it is cached.
    const OrderedXt* xt = nullptr;
    double* xt_out = nullptr;

    // Columns [c, c + w), fetching columns [f, f + fw) of X meanwhile.
    void product(const MatView& x, std::size_t c, std::size_t w, std::size_t f,
                 std::size_t fw) const {
        const auto at = [&](std::size_t j) {
            return x.data + static_cast<std::ptrdiff_t>(j) * x.col_stride;
        };
        xt->columns(at(c), x.col_stride, x.row_stride, w, xt_out + c * xt->ld(),
                    fw > 0 ? at(f) : nullptr, fw);
    }
};

// Up to eight adjacent columns [c, c + w) of the used rows of a row-major X,
// four two-lane slots; an odd last column fills both lanes of its slot, and
// slots past the end repeat the first column.
template <bool weighted>
struct Group {
    const detail::ColumnSource& src;
    std::size_t c, w;

    const double* row(std::size_t i) const {
        const std::uint64_t r = src.rows ? src.rows[i] : i;
        return src.x.data + static_cast<std::ptrdiff_t>(r) * src.x.row_stride +
               static_cast<std::ptrdiff_t>(c);
    }
    template <bool full>
    static v2d slot(const double* x, std::size_t k, std::size_t w) {
        if constexpr (full) return load2(x + 2 * k);
        const std::size_t j = 2 * k;
        return j + 2 <= w ? load2(x + j) : splat(x[j < w ? j : 0]);
    }
    // add(k, slot k of row i, w_i, i) for every used row in order; the
    // segment of fetch_bytes (at least the group's) `ahead` rows on is
    // fetched along the way.
    template <bool full, class Add>
    void rows(Add&& add, std::size_t begin, std::size_t end, std::size_t fetch_bytes,
              std::size_t ahead) const {
        fetch_bytes = std::max(fetch_bytes, w * sizeof(double));
        for (std::size_t i = begin; i < end; ++i) {
            const double* x = row(i);
            if (i + ahead < src.n) {
                const char* q = reinterpret_cast<const char*>(row(i + ahead));
                for (std::size_t o = 0; o < fetch_bytes; o += 64) __builtin_prefetch(q + o, 0, 3);
                __builtin_prefetch(q + fetch_bytes - 1, 0, 3);
            }
            const v2d wi = weighted ? splat(src.weights[i]) : v2d{};
            for (std::size_t k = 0; k < 4; ++k) add(k, slot<full>(x, k, w), wi, i);
        }
    }
    template <class Add>
    void sweep(Add&& add, std::size_t begin, std::size_t end, std::size_t fetch_bytes = 0,
               std::size_t ahead = 16) const {
        if (w == 8)
            rows<true>(add, begin, end, fetch_bytes, ahead);
        else
            rows<false>(add, begin, end, fetch_bytes, ahead);
    }
};

// The first sweep of a group: extreme magnitudes and raw sums, and X'z over
// the row parts when asked.
template <bool weighted>
void raw_sweep(const Group<weighted>& grp, const Cross& cross, std::size_t fetch_bytes,
               std::size_t ahead, v2d* big, v2d* small, v2d* sum, v2d* sq, double* g) {
    for (std::size_t k = 0; k < 4; ++k) {
        big[k] = splat(0.0);
        small[k] = splat(HUGE_VAL);
        sum[k] = sq[k] = splat(-0.0);
    }
    auto raw = [&](std::size_t k, v2d x, v2d wi, std::size_t) {
        detail::add_raw_step<weighted>(big[k], small[k], sum[k], sq[k], x, wi);
    };
    const std::size_t n = grp.src.n;
    if (cross.z == nullptr) {
        grp.sweep(raw, 0, n, fetch_bytes, ahead);
        return;
    }
    v2d total[4] = {};  // set by part 0
    for (std::size_t part = 0; part + 1 < cross.cuts.size(); ++part) {
        const std::size_t b = cross.cuts[part], e = cross.cuts[part + 1];
        v2d even[4], odd[4];
        for (std::size_t k = 0; k < 4; ++k) even[k] = odd[k] = splat(0.0);
        grp.sweep(
            [&](std::size_t k, v2d x, v2d wi, std::size_t i) {
                raw(k, x, wi, i);
                v2d& lane = (i - b) % 2 == 0 ? even[k] : odd[k];
                lane += x * splat(cross.z[i]);
            },
            b, e, fetch_bytes, ahead);
        for (std::size_t k = 0; k < 4; ++k)
            total[k] = part == 0 ? even[k] + odd[k] : total[k] + (even[k] + odd[k]);
    }
    for (std::size_t j = 0; j < grp.w; ++j) g[j] = total[j / 2][j % 2];
}

#ifdef VELTRA_WIDE_BLOCKS
// A full group on a processor with eight-lane vectors: one lane per column
// doing that column's operations of the two-lane slots above (the same
// comparisons for the extremes), so the bits are the same.
using detail::vec8;
typedef long long vec8i __attribute__((vector_size(64)));

__attribute__((target("avx512f"), always_inline)) inline vec8 splat8(double a) {
    return vec8{a, a, a, a, a, a, a, a};
}

// Row i of a full group, its segment of `fetch_bytes` fetched `ahead` rows on
// as Group::rows fetches it.
template <bool weighted>
__attribute__((target("avx512f"), always_inline)) inline vec8
row8(const Group<weighted>& grp, std::size_t i, std::size_t fetch_bytes, std::size_t ahead) {
    if (i + ahead < grp.src.n) {
        const char* q = reinterpret_cast<const char*>(grp.row(i + ahead));
        for (std::size_t o = 0; o < fetch_bytes; o += 64) __builtin_prefetch(q + o, 0, 3);
        __builtin_prefetch(q + fetch_bytes - 1, 0, 3);
    }
    vec8 x;
    std::memcpy(&x, grp.row(i), sizeof x);
    return x;
}

// Row i of a full group into its extremes and raw sums.
template <bool weighted>
__attribute__((target("avx512f"), always_inline)) inline void
raw_step8(const Group<weighted>& grp, std::size_t i, vec8 x, vec8& big, vec8& small, vec8& sum,
          vec8& sq) {
    const vec8 a = (vec8)((vec8i)x & ~(vec8i)splat8(-0.0));
    big = a > big ? a : big;
    const vec8 below = (vec8)((vec8i)a - 1);
    small = below < small ? below : small;
    const vec8 wi = weighted ? splat8(grp.src.weights[i]) : vec8{};
    detail::add_sums_step<weighted>(sum, sq, x, wi);
}

// raw_sweep of a full group: out holds big, small, sum and sq per column.
template <bool weighted>
__attribute__((target("avx512f"))) void raw_sweep8(const Group<weighted>& grp,
                                                   const Cross& cross, std::size_t fetch_bytes,
                                                   std::size_t ahead, double (&out)[4][8],
                                                   double* g) {
    const std::size_t n = grp.src.n;
    fetch_bytes = std::max<std::size_t>(fetch_bytes, 8 * sizeof(double));
    // The extremes are exact, so rows at even and at odd offsets keep their
    // own (two short chains of comparisons instead of one long one); the
    // sums run in row order.
    vec8 big0 = splat8(0.0), big1 = big0, small0 = splat8(HUGE_VAL), small1 = small0;
    vec8 sum = splat8(-0.0), sq = splat8(-0.0);
    vec8 total = splat8(0.0);
    const bool with_cross = cross.z != nullptr;
    const std::size_t parts = with_cross ? cross.cuts.size() - 1 : 1;
    for (std::size_t part = 0; part < parts; ++part) {
        const std::size_t b = with_cross ? cross.cuts[part] : 0;
        const std::size_t e = with_cross ? cross.cuts[part + 1] : n;
        vec8 even = splat8(0.0), odd = splat8(0.0);
        std::size_t i = b;
        for (; i + 2 <= e; i += 2) {
            const vec8 x0 = row8(grp, i, fetch_bytes, ahead);
            raw_step8<weighted>(grp, i, x0, big0, small0, sum, sq);
            const vec8 x1 = row8(grp, i + 1, fetch_bytes, ahead);
            raw_step8<weighted>(grp, i + 1, x1, big1, small1, sum, sq);
            if (with_cross) {
                even += x0 * splat8(cross.z[i]);
                odd += x1 * splat8(cross.z[i + 1]);
            }
        }
        if (i < e) {
            const vec8 x = row8(grp, i, fetch_bytes, ahead);
            raw_step8<weighted>(grp, i, x, big0, small0, sum, sq);
            if (with_cross) even += x * splat8(cross.z[i]);
        }
        if (with_cross) total = part == 0 ? even + odd : total + (even + odd);
    }
    const vec8 big_all = big1 > big0 ? big1 : big0;
    const vec8 small_all = small1 < small0 ? small1 : small0;
    std::memcpy(out[0], &big_all, sizeof big_all);
    std::memcpy(out[1], &small_all, sizeof small_all);
    std::memcpy(out[2], &sum, sizeof sum);
    std::memcpy(out[3], &sq, sizeof sq);
    if (with_cross && g != nullptr) std::memcpy(g, &total, sizeof total);
}

// The sweep of squared deviations of a full group.
template <bool weighted>
__attribute__((target("avx512f"))) void sq_sweep8(const Group<weighted>& grp, const double* inv,
                                                  const double* m, double* ss) {
    vec8 iv, mv, acc = splat8(-0.0);
    std::memcpy(&iv, inv, sizeof iv);
    std::memcpy(&mv, m, sizeof mv);
    for (std::size_t i = 0; i < grp.src.n; ++i) {
        const vec8 d = row8(grp, i, 8 * sizeof(double), 16) * iv - mv;
        if constexpr (weighted)
            acc += splat8(grp.src.weights[i]) * (d * d);
        else
            acc += d * d;
    }
    std::memcpy(ss, &acc, sizeof acc);
}

bool eight_lanes() { return detail::block_vector_lanes(8) == 8; }
#endif

// Mean, scale and term of the group's columns: the raw sweep, the prescaled
// sums from it (or a sweep of their own when that is not exact), then the
// squared deviations; every sum in row order as on the column path.
template <bool weighted>
void group_moments(const Group<weighted>& grp, const Cross& cross, std::size_t fetch_bytes,
                   std::size_t ahead, double* mean, double* scale, double* term) {
    const std::size_t n = grp.src.n;
    v2d big[4], small[4], sum[4], ref[4], inv[4], m[4], ss[4];
#ifdef VELTRA_WIDE_BLOCKS
    const bool wide = grp.w == 8 && eight_lanes();
#else
    constexpr bool wide = false;
#endif
    if (wide) {
#ifdef VELTRA_WIDE_BLOCKS
        double raw[4][8];
        raw_sweep8(grp, cross, fetch_bytes, ahead, raw, cross.g ? cross.g + grp.c : nullptr);
        for (std::size_t k = 0; k < 4; ++k) {
            big[k] = detail::load2(raw[0] + 2 * k);
            small[k] = detail::load2(raw[1] + 2 * k);
            sum[k] = detail::load2(raw[2] + 2 * k);
            ref[k] = detail::load2(raw[3] + 2 * k);
        }
#endif
    } else {
        raw_sweep(grp, cross, fetch_bytes, ahead, big, small, sum, ref,
                  cross.g ? cross.g + grp.c : nullptr);
    }
    bool exact = true;
    for (std::size_t k = 0; k < 4; ++k)
        exact = detail::rescale_slot(big[k], small[k], sum[k], ref[k], inv[k], n, grp.src.wr) &&
                exact;
    if (!exact) {
        for (std::size_t k = 0; k < 4; ++k) sum[k] = ref[k] = splat(-0.0);
        grp.sweep([&](std::size_t k, v2d x, v2d wi, std::size_t) {
            detail::add_sums_step<weighted>(sum[k], ref[k], x * inv[k], wi);
        }, 0, n);
    }
    const v2d nd = splat(static_cast<double>(n));
    for (std::size_t k = 0; k < 4; ++k) {
        m[k] = sum[k] / nd;
        ss[k] = splat(-0.0);
    }
    if (wide) {
#ifdef VELTRA_WIDE_BLOCKS
        double inv8[8], m8[8], ss8[8];
        for (std::size_t k = 0; k < 4; ++k) {
            detail::store2(inv8 + 2 * k, inv[k]);
            detail::store2(m8 + 2 * k, m[k]);
        }
        sq_sweep8(grp, inv8, m8, ss8);
        for (std::size_t k = 0; k < 4; ++k) ss[k] = detail::load2(ss8 + 2 * k);
#endif
    } else {
        grp.sweep([&](std::size_t k, v2d x, v2d wi, std::size_t) {
            detail::add_sq_step<weighted>(ss[k], x * inv[k] - m[k], wi);
        }, 0, n);
    }
    for (std::size_t j = 0; j < grp.w; ++j) {
        const std::size_t k = j / 2, l = j % 2;
        const detail::Prescale ps = detail::prescale_of(big[k][l]);
        const detail::ColumnStats st =
            detail::scale_rule({ps.s, ps.inv_s, m[k][l], ss[k][l], ref[k][l]}, n);
        mean[j] = st.mean;
        scale[j] = st.scale;
        term[j] = st.term;
    }
}

// One streamed chunk, columns [c0, c1), in strips whose rows stay cached;
// each strip's segment of a row is fetched ahead as the strip's first group
// reads its rows (rows lie far apart, beyond the hardware's look-ahead).
template <bool weighted>
void stream_chunk(const detail::ColumnSource& src, const Cross& cross, std::size_t c0,
                  std::size_t c1, double* mean, double* scale, double* term) {
    const std::size_t n = src.n;
    const std::size_t strip =
        std::max<std::size_t>(strip_bytes / (8 * std::max<std::size_t>(n, 1)) / 8 * 8, 8);
    for (std::size_t a = c0; a < c1; a += strip) {
        const std::size_t b = std::min(a + strip, c1);
        const std::size_t segment = (b - a) * sizeof(double);
        const std::size_t ahead = std::clamp<std::size_t>(32768 / segment, 2, 64);
        for (std::size_t c = a; c < b; c += 8) {
            const Group<weighted> grp{src, c, std::min<std::size_t>(8, b - c)};
            const std::size_t k = c - c0;
            group_moments(grp, cross, c == a ? segment : 0, ahead, mean + k, scale + k, term + k);
            // The same group of the next strip is fetched meanwhile.
            const std::size_t f = b + (c - a), fw = f < c1 ? std::min<std::size_t>(8, c1 - f) : 0;
            if (cross.xt) cross.product(src.x, c, grp.w, f, fw);
        }
    }
}

}  // namespace

std::size_t fit_x_base_width(std::size_t n) {
    const std::size_t b = chunk_bytes / (8 * std::max<std::size_t>(n, 1)) / 8 * 8;
    return std::max<std::size_t>(b, 8);
}

std::size_t fit_x_chunk_width(std::size_t n, std::size_t p, bool row_major, std::size_t threads) {
    const std::size_t b = fit_x_base_width(n);
    const std::size_t t = std::max<std::size_t>(threads, 1);
    // A row-major X the caches hold needs no long row segments either.
    if (!row_major || 8 * std::max<std::size_t>(n, 1) <= streaming_min_bytes ||
        sat_mul(n, p) <= cached_entries) {
        // Columns are independent, so narrower chunks change no bits; about
        // four per thread let a short, wide X share its columns among all of
        // them (chunks of 2 MiB alone would give a 100 x 5000 X two, and a
        // 2500 x 100 one).
        if (t == 1) return b;
        return std::min(b, std::max<std::size_t>(ceil_div(ceil_div(p, 4 * t), 8) * 8, 8));
    }
    const std::size_t wide = ceil_div(std::max(ceil_div(p, t), b), 8) * 8;
    return std::max<std::size_t>(1, std::min(p, wide));
}

std::uint64_t fit_x_moments_bytes(MatView x, std::size_t n, Par par) {
    const std::size_t p = x.cols;
    const int arena = std::max(1, tbb::this_task_arena::max_concurrency());
    const std::size_t threads = par == par_sequential ? 1 : static_cast<std::size_t>(arena);
    const bool row_major = x.is_row_major();
    const bool streaming = row_major;
    const std::size_t width = fit_x_chunk_width(n, p, row_major, threads);
    const std::uint64_t at_once = std::min<std::uint64_t>(threads, ceil_div(p, width));
    // A streamed chunk keeps seven vectors of sums per pair of columns.
    const std::uint64_t chunk = streaming ? block_bytes(ceil_div(width, 2), 14)
                                          : block_bytes(n, 8);
    return sat_add(sat_add(block_bytes(p, 3), block_bytes(n, 1)), sat_mul(at_once, chunk));
}

FitX fit_x_moments(MatView x, std::optional<RowList> rows, std::optional<VecView> weights,
                   Par par) {
    if (!weights) return fit_x_moments_mean_one(x, rows, std::nullopt, par);
    const Eigen::VectorXd w = renormalize_mean_one(*weights);
    return fit_x_moments_mean_one(x, rows, VecView::of(w), par);
}

namespace {

FitX moments(MatView x, std::optional<RowList> rows, std::optional<VecView> weights, Par par,
             Cross cross) {
    const std::size_t n = rows ? rows->size() : x.rows;
    const std::size_t p = x.cols;
    // The kernels read the weights as contiguous memory.
    Eigen::VectorXd copy;
    const double* w = nullptr;
    if (weights) {
        internal_check(weights->size() >= n, "fit_x_moments: fewer weights than rows");
        if (weights->stride != 1) copy = weights->eigen().head(to_index(n));
        w = weights->stride != 1 ? copy.data() : weights->data;
    }

    FitX out;
    out.row_major = x.is_row_major();
    out.mean = Eigen::VectorXd::Zero(to_index(p));
    out.scale = Eigen::VectorXd::Zero(to_index(p));
    Eigen::VectorXd terms = Eigen::VectorXd::Zero(to_index(p));

    const std::size_t threads =
        par == par_sequential ? 1
                              : static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
    const bool streaming = out.row_major;
    const std::size_t width = fit_x_chunk_width(n, p, out.row_major, threads);
    const std::size_t chunks = ceil_div(p, width);
    const detail::ColumnSource src =
        detail::column_source(x, rows ? rows->data() : nullptr, n, w);
    auto run_chunk = [&](std::size_t c) {
        const std::size_t c0 = c * width, c1 = std::min(c0 + width, p);
        double* mean = out.mean.data() + c0;
        double* scale = out.scale.data() + c0;
        double* term = terms.data() + c0;
        if (streaming) {
            if (src.weights == nullptr)
                stream_chunk<false>(src, cross, c0, c1, mean, scale, term);
            else
                stream_chunk<true>(src, cross, c0, c1, mean, scale, term);
        } else if (cross.xt) {
            std::vector<double> buffer;
            for (std::size_t c = c0; c < c1; c += detail::block_width) {
                const std::size_t e = std::min(c + detail::block_width, c1), k = c - c0;
                detail::column_terms(src, c, e, mean + k, scale + k, term + k, nullptr, nullptr,
                                     buffer);
                // The next block is fetched meanwhile, in this chunk or the next.
                const std::size_t f = c + detail::block_width;
                cross.product(x, c, e - c, f, f < p ? std::min(detail::block_width, p - f) : 0);
            }
        } else {
            std::vector<double> buffer;
            const detail::CrossDots dots{cross.z, cross.cuts.data(), cross.cuts.size() - 1};
            detail::column_terms(src, c0, c1, mean, scale, term, nullptr, nullptr, buffer,
                                 cross.z ? &dots : nullptr, cross.z ? cross.g + c0 : nullptr);
        }
    };
    for_each_index(par, chunks, run_chunk);
    out.fro = stable_norm(VecView::of(terms));
    return out;
}

}  // namespace

FitX fit_x_moments_mean_one(MatView x, std::optional<RowList> rows,
                            std::optional<VecView> weights, Par par) {
    return moments(x, rows, weights, par, Cross{});
}

FitX fit_x_moments_with_cross(MatView x, std::optional<VecView> weights, const double* z,
                              Eigen::VectorXd& xt_z, Par par) {
    Cross cross;
    xt_z.resize(to_index(x.cols));
    cross.z = z;
    cross.g = xt_z.data();
    const std::size_t parts = detail::xt_row_parts(x.rows, x.cols);
    for (std::size_t i = 0; i < parts; ++i) cross.cuts.push_back(part_span(x.rows, i, parts).begin);
    cross.cuts.push_back(x.rows);
    return moments(x, std::nullopt, weights, par, std::move(cross));
}

FitX fit_x_moments_with_product(MatView x, const OrderedXt& xt, double* out, Par par) {
    Cross cross;
    cross.xt = &xt;
    cross.xt_out = out;
    return moments(x, std::nullopt, std::nullopt, par, std::move(cross));
}

Eigen::MatrixXd FitX::materialize(MatView x) const {
    const std::size_t n = x.rows, p = x.cols;
    internal_check(static_cast<std::size_t>(mean.size()) >= p &&
                       static_cast<std::size_t>(scale.size()) >= p,
                   "FitX::materialize: fewer means or scales than columns");
    internal_check(!row_multipliers || static_cast<std::size_t>(row_multipliers->size()) >= n,
                   "FitX::materialize: fewer row multipliers than rows");
    Eigen::MatrixXd z(to_index(n), to_index(p));
    for (std::size_t j = 0; j < p; ++j) {
        const double mu = mean[to_index(j)], sc = scale[to_index(j)];
        double* out = z.data() + j * n;
        detail::standardized_line([&](std::size_t i) { return x(i, j); }, n, mu, sc, nullptr,
                                  out);
        if (row_multipliers)
            for (std::size_t i = 0; i < n; ++i) out[i] *= (*row_multipliers)[to_index(i)];
    }
    return z;
}

double mean_scale_ratio(const FitX& fx) {
    double ratio = 0.0;
    for (Eigen::Index j = 0; j < fx.mean.size(); ++j) {
        const double r = std::abs(fx.mean[j]) / fx.scale[j];
        if (r > ratio) ratio = r;
    }
    return ratio;
}

}  // namespace veltra
