// Time of fit_x_moments over a 20000 x 2000 X as a ratio to one plain read of
// the same X (a sum of all its entries), for column-major and row-major
// storage, parallel, in the default arena. The reference read runs in
// parallel over the same threads (fixed parts), and once on one thread.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include <tbb/task_arena.h>

#include "bench_support.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/parallel.hpp"

namespace {

constexpr std::size_t n = 20000, p = 2000;
constexpr int repetitions = 25;

volatile double sink;

double plain_read_parallel(const std::vector<double>& x) {
    return bench::plain_read(x.data(), x.size());
}

double plain_read_serial(const std::vector<double>& x) {
    double a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    std::size_t k = 0;
    for (; k + 4 <= x.size(); k += 4) {
        a0 += x[k];
        a1 += x[k + 1];
        a2 += x[k + 2];
        a3 += x[k + 3];
    }
    return (a0 + a1) + (a2 + a3);
}

}  // namespace

int main() {
    std::vector<double> col(n * p), row(n * p);
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal(3.0, 2.0);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < n; ++i) col[j * n + i] = row[i * p + j] = normal(gen);
    const auto X_col = veltra::MatView::col_major(col.data(), n, p);
    const auto X_row = veltra::MatView::row_major(row.data(), n, p);

    std::printf("fit_x_moments, X %zu x %zu, %d threads, minimum of %d interleaved runs\n", n, p,
                tbb::this_task_arena::max_concurrency(), repetitions);
    // Interleaved so that a disturbance of the machine hits every timing alike.
    auto seconds = [](auto&& f) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    double read_par = 1e300, read_ser = 1e300, fit_col = 1e300, fit_row = 1e300;
    for (int r = 0; r < repetitions; ++r) {
        read_par = std::min(read_par, seconds([&] { sink = plain_read_parallel(col); }));
        read_ser = std::min(read_ser, seconds([&] { sink = plain_read_serial(col); }));
        fit_col = std::min(fit_col, seconds([&] {
            sink = veltra::fit_x_moments(X_col, std::nullopt, std::nullopt, veltra::par_parallel).fro;
        }));
        fit_row = std::min(fit_row, seconds([&] {
            sink = veltra::fit_x_moments(X_row, std::nullopt, std::nullopt, veltra::par_parallel).fro;
        }));
    }
    std::printf("plain read: parallel %.2f ms, one thread %.2f ms\n", 1e3 * read_par, 1e3 * read_ser);
    for (const auto& [name, t] : {std::pair{"column-major", fit_col}, std::pair{"row-major", fit_row}})
        std::printf("%-12s %8.2f ms  = %5.2f parallel reads (%5.2f one-thread reads)\n", name, 1e3 * t,
                    t / read_par, t / read_ser);
    return 0;
}
