// Time of pls1_fit with k = 10 as a ratio to one plain read of the same X (a
// parallel sum of all its entries: one "pass"), for column-major and
// row-major storage, in the default arena, on a tall 20000 x 2000, a wide
// 2000 x 20000 and a long 200000 x 200 X. The physical floor of a
// k-component fit is k + 1 passes (one for the column moments, which can
// carry the start vector, one per component). Also printed: the moments
// alone, the start vector X_s'y alone, and the marginal cost of one
// component, from fits with 1 and with k components on the implicit backend.
//
// The matrices live on transparent huge pages where the kernel offers them,
// as NumPy arranges for its large arrays. Arguments: [repetitions] [n p k]
// (default 15 repetitions of the three shapes with k = 10).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <tbb/task_arena.h>

#include "veltra/component_loop.hpp"
#include "veltra/fit.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/parallel.hpp"
#include "veltra/standardize.hpp"
#include "bench_support.hpp"

namespace {

using Buffer = bench::HugePageBuffer;
using bench::plain_read;
using bench::seconds;

volatile double sink;

void run(std::size_t n, std::size_t p, std::size_t k, int repetitions) {
    Buffer col(n * p), row(n * p);
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    // A few latent directions plus noise, columns with their own means.
    std::vector<double> t(n * 4), y(n);
    for (auto& v : t) v = normal(gen);
    std::vector<double> load(4 * p), shift(p);
    for (auto& v : load) v = normal(gen);
    for (auto& v : shift) v = 5.0 * normal(gen);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < n; ++i) {
            double v = shift[j] + 0.5 * normal(gen);
            for (std::size_t a = 0; a < 4; ++a) v += t[i * 4 + a] * load[a * p + j];
            col.data[j * n + i] = row.data[i * p + j] = v;
        }
    for (std::size_t i = 0; i < n; ++i) y[i] = t[i * 4] - 2.0 * t[i * 4 + 2] + 0.1 * normal(gen);
    const veltra::VecView yv{y.data(), n, 1};
    const auto ys = veltra::standardize1_weighted(yv);
    const veltra::VecView ysv = veltra::VecView::of(ys.y_std);
    const veltra::FitOpts opts{std::nullopt, false, true, veltra::par_parallel};

    std::printf("pls1_fit, X %zu x %zu, k = %zu, %d threads, minimum of %d interleaved runs\n", n,
                p, k, tbb::this_task_arena::max_concurrency(), repetitions);
    struct Layout {
        const char* name;
        veltra::MatView x;
        double fit = 1e300, moments = 1e300, cross = 1e300, fit1 = 1e300, fitk = 1e300;
    };
    Layout layouts[] = {{"column-major", veltra::MatView::col_major(col.data, n, p)},
                        {"row-major", veltra::MatView::row_major(row.data, n, p)}};
    double read = 1e300;
    std::size_t k_used = 0;
    for (int r = 0; r < repetitions; ++r) {
        read = std::min(read, seconds([&] { sink = plain_read(col.data, n * p); }));
        for (auto& l : layouts) {
            l.fit = std::min(l.fit, seconds([&] {
                auto m = veltra::pls1_fit(l.x, yv, k, std::nullopt, opts);
                k_used = m ? m->k_used : 0;
            }));
            veltra::FitX fx;
            l.moments = std::min(l.moments, seconds([&] {
                fx = veltra::fit_x_moments(l.x, std::nullopt, std::nullopt, veltra::par_parallel);
            }));
            veltra::ImplicitXBackend backend(l.x, fx, veltra::par_parallel);
            l.cross = std::min(l.cross, seconds([&] { sink = backend.cross(ysv)[0]; }));
            l.fit1 = std::min(l.fit1, seconds([&] {
                sink = veltra::pls1_fit_implicit(l.x, fx, ysv, 1, std::nullopt,
                                                 veltra::par_parallel)->coef[0];
            }));
            l.fitk = std::min(l.fitk, seconds([&] {
                sink = veltra::pls1_fit_implicit(l.x, fx, ysv, k, std::nullopt,
                                                 veltra::par_parallel)->coef[0];
            }));
        }
    }
    std::printf("plain parallel read of X: %.2f ms; components fitted: %zu; target: at most "
                "1.5 (k + 1) = %.1f passes\n",
                read * 1e3, k_used, 1.5 * double(k + 1));
    for (const auto& l : layouts) {
        const double per_component = (l.fitk - l.fit1) / double(k - 1);
        std::printf("%-13s pls1_fit %7.2f ms = %5.2f passes | moments %5.2f | start vector X_s'y "
                    "%5.2f | start vector + first component %5.2f | each further component %5.2f\n",
                    l.name, l.fit * 1e3, l.fit / read, l.moments / read, l.cross / read,
                    l.fit1 / read, per_component / read);
    }
}

}  // namespace

int main(int argc, char** argv) {
    return bench::run_shapes(argc, argv, 15, {{20000, 2000, 10}, {2000, 20000, 10},
                                              {200000, 200, 10}},
                             run);
}
