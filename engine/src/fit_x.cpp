#include "veltra/fit_x.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <tbb/task_arena.h>

#include "column_moments.hpp"
#include "veltra/error.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"

namespace veltra {
namespace {

constexpr std::size_t chunk_bytes = 2097152;
constexpr std::size_t streaming_min_bytes = 8192;



// One streamed chunk: each pass reads every used row's segment of the chunk
// contiguously into per-column accumulators, two columns to a vector, so each
// column's sums run in row order exactly as on the column path. The first
// pass takes the extreme magnitudes and the raw sums; the prescaled sums
// follow from them when that is exact (else a second pass forms them); the
// last pass sums the squared deviations.
template <bool weighted>
void stream_chunk(const detail::ColumnSource& src, std::size_t c0, std::size_t c1, double* mean,
                  double* scale, double* term) {
    using detail::load2;
    using detail::splat;
    using detail::v2d;
    const std::size_t w = c1 - c0, pairs = w / 2, n = src.n;
    const bool odd = w % 2 != 0;
    const double* wt = src.weights;
    auto row = [&](std::size_t i) {
        const std::uint64_t r = src.rows ? src.rows[i] : i;
        return src.x.data + static_cast<std::ptrdiff_t>(r) * src.x.row_stride +
               static_cast<std::ptrdiff_t>(c0);
    };
    // The odd last column, if any, fills both lanes of one more vector.
    const std::size_t slots = pairs + (odd ? 1 : 0);
    std::vector<v2d> big(slots, splat(0.0)), small(slots, splat(HUGE_VAL)), inv(slots),
        sum(slots, splat(-0.0)), ref(slots, splat(-0.0)), m(slots), ss(slots, splat(-0.0));
    // Rows lie far apart, so the hardware does not run ahead of the segments:
    // fetch the segments about 32 KiB ahead into the second-level cache.
    const std::size_t segment_bytes = w * sizeof(double);
    const std::size_t ahead = std::clamp<std::size_t>(32768 / segment_bytes, 2, 64);
    auto sweep = [&](auto&& add) {
        for (std::size_t i = 0; i < n; ++i) {
            const double* v = row(i);
            if (i + ahead < n) {
                const char* p = reinterpret_cast<const char*>(row(i + ahead));
                for (std::size_t b = 0; b < segment_bytes; b += 64) __builtin_prefetch(p + b, 0, 1);
            }
            const v2d wi = weighted ? splat(wt[i]) : v2d{};
            for (std::size_t k = 0; k < pairs; ++k) add(k, load2(v + 2 * k), wi);
            if (odd) add(pairs, splat(v[w - 1]), wi);
        }
    };

    sweep([&](std::size_t k, v2d x, v2d wi) {
        detail::add_raw_step<weighted>(big[k], small[k], sum[k], ref[k], x, wi);
    });
    bool exact = true;
    for (std::size_t k = 0; k < slots; ++k)
        exact = detail::rescale_slot(big[k], small[k], sum[k], ref[k], inv[k], n, src.wr) && exact;
    if (!exact) {
        std::fill(sum.begin(), sum.end(), splat(-0.0));
        std::fill(ref.begin(), ref.end(), splat(-0.0));
        sweep([&](std::size_t k, v2d x, v2d wi) {
            detail::add_sums_step<weighted>(sum[k], ref[k], x * inv[k], wi);
        });
    }
    const v2d nd = splat(static_cast<double>(n));
    for (std::size_t k = 0; k < slots; ++k) m[k] = sum[k] / nd;
    sweep([&](std::size_t k, v2d x, v2d wi) {
        detail::add_sq_step<weighted>(ss[k], x * inv[k] - m[k], wi);
    });
    for (std::size_t j = 0; j < w; ++j) {
        const std::size_t k = j / 2, l = j % 2;
        const detail::Prescale ps = detail::prescale_of(big[k][l]);
        const detail::ColumnStats st =
            detail::scale_rule({ps.s, ps.inv_s, m[k][l], ss[k][l], ref[k][l]}, n);
        mean[j] = st.mean;
        scale[j] = st.scale;
        term[j] = st.term;
    }
}

}  // namespace

std::size_t fit_x_base_width(std::size_t n) {
    const std::size_t b = chunk_bytes / (8 * std::max<std::size_t>(n, 1)) / 8 * 8;
    return std::max<std::size_t>(b, 8);
}

std::size_t fit_x_chunk_width(std::size_t n, std::size_t p, bool row_major, std::size_t threads) {
    const std::size_t b = fit_x_base_width(n);
    if (!row_major || 8 * std::max<std::size_t>(n, 1) <= streaming_min_bytes) return b;
    const std::size_t t = std::max<std::size_t>(threads, 1);
    const std::size_t wide = ceil_div(std::max(ceil_div(p, t), b), 8) * 8;
    return std::max<std::size_t>(1, std::min(p, wide));
}

std::uint64_t fit_x_moments_bytes(MatView x, std::size_t n, Par par) {
    const std::size_t p = x.cols;
    const int arena = std::max(1, tbb::this_task_arena::max_concurrency());
    const std::size_t threads = par == par_sequential ? 1 : static_cast<std::size_t>(arena);
    const bool row_major = x.is_row_major();
    const bool streaming = row_major && 8 * std::max<std::size_t>(n, 1) > streaming_min_bytes;
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

FitX fit_x_moments_mean_one(MatView x, std::optional<RowList> rows,
                            std::optional<VecView> weights, Par par) {
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
    const bool streaming = out.row_major && 8 * std::max<std::size_t>(n, 1) > streaming_min_bytes;
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
                stream_chunk<false>(src, c0, c1, mean, scale, term);
            else
                stream_chunk<true>(src, c0, c1, mean, scale, term);
        } else {
            std::vector<double> buffer;
            detail::column_terms(src, c0, c1, mean, scale, term, nullptr, nullptr, buffer);
        }
    };
    for_each_index(par, chunks, run_chunk);
    out.fro = stable_norm(VecView::of(terms));
    return out;
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
