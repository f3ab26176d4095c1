// Time of pls1_fit with k = 10 over a 20000 x 2000 X as a ratio to one plain
// read of the same X (a parallel sum of all its entries), for column-major
// and row-major storage, in the default arena. The physical floor of a
// k-component fit is k + 1 reads (one for the start vector, one per
// component) plus the column moments. Also printed: the moments alone and
// the marginal cost of one component, from fits with 1 and with k components
// on the implicit backend.
//
// The matrices live on transparent huge pages where the kernel offers them,
// as NumPy arranges for its large arrays. Arguments: repetitions (default
// 25) and threads (default: the default arena's).
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
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

constexpr std::size_t n = 20000, p = 2000, k = 10;

volatile double sink;

int run(int repetitions) {
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
    const auto X_col = veltra::MatView::col_major(col.data, n, p);
    const auto X_row = veltra::MatView::row_major(row.data, n, p);
    const veltra::FitOpts opts{std::nullopt, false, true, veltra::par_parallel};

    std::printf("pls1_fit, X %zu x %zu, k = %zu, %d threads, minimum of %d interleaved runs\n", n,
                p, k, tbb::this_task_arena::max_concurrency(), repetitions);
    struct Layout {
        const char* name;
        veltra::MatView x;
        double fit = 1e300, moments = 1e300, fit1 = 1e300, fitk = 1e300;
    };
    Layout layouts[] = {{"column-major", X_col}, {"row-major", X_row}};
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
            const auto ys = veltra::standardize1_weighted(yv);
            const veltra::VecView ysv = veltra::VecView::of(ys.y_std);
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
    std::printf("plain parallel read of X: %.2f ms; components fitted: %zu\n", read * 1e3, k_used);
    std::printf("target: at most 1.5 (k + 1) = %.1f reads\n", 1.5 * (k + 1));
    for (const auto& l : layouts) {
        const double per_component = (l.fitk - l.fit1) / double(k - 1);
        std::printf(
            "%-13s pls1_fit %7.2f ms = %5.2f reads | moments %5.2f reads | start vector + first "
            "component %5.2f reads | each further component %5.2f reads\n",
            l.name, l.fit * 1e3, l.fit / read, l.moments / read, l.fit1 / read,
            per_component / read);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 25;
    if (argc > 2) {
        tbb::task_arena arena(std::atoi(argv[2]));
        return arena.execute([&] { return run(repetitions); });
    }
    return run(repetitions);
}
