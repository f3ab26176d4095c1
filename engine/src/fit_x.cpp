#include "veltra/fit_x.hpp"

#include <algorithm>
#include <vector>

#include <tbb/task_arena.h>

#include "column_moments.hpp"
#include "veltra/error.hpp"

namespace veltra {
namespace {

constexpr std::size_t chunk_bytes = 2097152;
constexpr std::size_t streaming_min_bytes = 8192;

Eigen::Index idx(std::size_t i) { return static_cast<Eigen::Index>(i); }

std::size_t ceil_div(std::size_t a, std::size_t b) { return a / b + (a % b != 0); }

// Per-column accumulators of one streamed chunk, each column's sums running in
// row order exactly as on the column path. Each pass reads every used row's
// segment of the chunk contiguously; the inner loops run across columns.
void stream_chunk(const detail::ColumnSource& src, std::size_t c0, std::size_t c1, double* mean,
                  double* scale, double* term) {
    const std::size_t w = c1 - c0, n = src.n;
    const double nd = static_cast<double>(n);
    const double* wt = src.weights;
    auto row = [&](std::size_t i) {
        const std::uint64_t r = src.rows ? src.rows[i] : i;
        return src.x.data + static_cast<std::ptrdiff_t>(r) * src.x.row_stride +
               static_cast<std::ptrdiff_t>(c0);
    };
    std::vector<double> acc(6 * w);
    double* big = acc.data();
    double* inv = big + w;
    double* sum = inv + w;
    double* ref = sum + w;
    double* m = ref + w;
    double* ss = m + w;
    std::fill(big, big + w, 0.0);
    std::fill(sum, sum + 2 * w, -0.0);
    std::fill(ss, ss + w, -0.0);

    for (std::size_t i = 0; i < n; ++i) {
        const double* v = row(i);
        for (std::size_t j = 0; j < w; ++j) big[j] = detail::max_abs_step(big[j], v[j]);
    }
    for (std::size_t j = 0; j < w; ++j) inv[j] = detail::prescale_of(big[j]).inv_s;
    for (std::size_t i = 0; i < n; ++i) {
        const double* v = row(i);
        if (wt == nullptr) {
            for (std::size_t j = 0; j < w; ++j) {
                const double u = v[j] * inv[j];
                sum[j] += u;
                ref[j] += u * u;
            }
        } else {
            const double wi = wt[i];
            for (std::size_t j = 0; j < w; ++j) {
                const double u = v[j] * inv[j];
                sum[j] += wi * u;
                ref[j] += wi * (u * u);
            }
        }
    }
    for (std::size_t j = 0; j < w; ++j) m[j] = sum[j] / nd;
    for (std::size_t i = 0; i < n; ++i) {
        const double* v = row(i);
        if (wt == nullptr) {
            for (std::size_t j = 0; j < w; ++j) {
                const double d = v[j] * inv[j] - m[j];
                ss[j] += d * d;
            }
        } else {
            const double wi = wt[i];
            for (std::size_t j = 0; j < w; ++j) {
                const double d = v[j] * inv[j] - m[j];
                ss[j] += wi * (d * d);
            }
        }
    }
    for (std::size_t j = 0; j < w; ++j) {
        const detail::Prescale ps = detail::prescale_of(big[j]);
        const detail::ColumnStats st =
            detail::scale_rule({ps.s, ps.inv_s, m[j], ss[j], ref[j]}, n);
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

FitX fit_x_moments(MatView x, std::optional<RowList> rows, std::optional<VecView> weights,
                   Par par) {
    const std::size_t n = rows ? rows->size() : x.rows;
    const std::size_t p = x.cols;
    Eigen::VectorXd w;
    if (weights) {
        w = renormalize_mean_one(*weights);
        internal_check(static_cast<std::size_t>(w.size()) >= n,
                       "fit_x_moments: fewer weights than rows");
    }
    if (rows)
        for (const std::uint64_t r : *rows) internal_check(r < x.rows, "listed row outside X");

    FitX out;
    out.row_major = x.is_row_major();
    out.mean = Eigen::VectorXd::Zero(idx(p));
    out.scale = Eigen::VectorXd::Zero(idx(p));
    Eigen::VectorXd terms = Eigen::VectorXd::Zero(idx(p));

    const std::size_t threads =
        par == par_sequential ? 1
                              : static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
    const bool streaming = out.row_major && 8 * std::max<std::size_t>(n, 1) > streaming_min_bytes;
    const std::size_t width = fit_x_chunk_width(n, p, out.row_major, threads);
    const std::size_t chunks = ceil_div(p, width);
    const detail::ColumnSource src{x, rows ? rows->data() : nullptr, n,
                                   weights ? w.data() : nullptr};

    auto run_chunk = [&](std::size_t c) {
        const std::size_t c0 = c * width, c1 = std::min(c0 + width, p);
        double* mean = out.mean.data() + c0;
        double* scale = out.scale.data() + c0;
        double* term = terms.data() + c0;
        if (streaming) {
            stream_chunk(src, c0, c1, mean, scale, term);
        } else {
            std::vector<double> buffer;
            detail::column_terms(src, c0, c1, mean, scale, term, nullptr, nullptr, buffer);
        }
    };
    if (par == par_sequential) {
        for (std::size_t c = 0; c < chunks; ++c) run_chunk(c);
    } else {
        parallel_for_index(chunks, run_chunk);
    }
    out.fro = safe_norm(VecView::of(terms));
    return out;
}

Eigen::MatrixXd FitX::materialize(MatView x) const {
    const std::size_t n = x.rows, p = x.cols;
    internal_check(static_cast<std::size_t>(mean.size()) >= p &&
                       static_cast<std::size_t>(scale.size()) >= p,
                   "FitX::materialize: fewer means or scales than columns");
    internal_check(!row_multipliers || static_cast<std::size_t>(row_multipliers->size()) >= n,
                   "FitX::materialize: fewer row multipliers than rows");
    Eigen::MatrixXd z(idx(n), idx(p));
    for (std::size_t j = 0; j < p; ++j) {
        const double mu = mean[idx(j)], sc = scale[idx(j)];
        double* out = z.data() + j * n;
        for (std::size_t i = 0; i < n; ++i) out[i] = (x(i, j) - mu) / sc;
        if (row_multipliers)
            for (std::size_t i = 0; i < n; ++i) out[i] *= (*row_multipliers)[idx(i)];
    }
    return z;
}

}  // namespace veltra
