// X v and X'v on a 20000 x 2048 X (column- and row-major), each reported as
// a multiple of one plain summing read of X (counter "per_read": 1.0 means
// the kernel runs at memory speed). Sequential kernels are compared with a
// sequential read, parallel ones with a read cut into the same 8 parts.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "veltra/linalg.hpp"
#include "veltra/parallel.hpp"

namespace {

constexpr std::size_t n = 20000;
constexpr std::size_t p = 2048;  // the narrowest X that row_major_t_mul takes

struct Data {
    Eigen::MatrixXd col;      // column-major
    std::vector<double> row;  // the same values, row-major
    Eigen::VectorXd v_n = Eigen::VectorXd::LinSpaced(n, -1.0, 1.0);
    Eigen::VectorXd v_p = Eigen::VectorXd::LinSpaced(p, -1.0, 1.0);
    veltra::MatView col_view() const { return veltra::MatView::of(col); }
    veltra::MatView row_view() const { return veltra::MatView::row_major(row.data(), n, p); }
};

const Data& data() {
    static const Data d = [] {
        Data d;
        d.col = Eigen::MatrixXd::Random(n, p);
        d.row.resize(n * p);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < p; ++j) d.row[i * p + j] = d.col(i, j);
        return d;
    }();
    return d;
}

double plain_read(veltra::Par par) {
    const double* x = data().col.data();
    double parts[veltra::fixed_parts] = {};
    veltra::for_each_part(par, n * p, [&](std::size_t i, veltra::IndexSpan s) {
        // Four running sums, so the read and not the add latency sets the pace.
        double a[4] = {};
        std::size_t k = s.begin;
        for (; k + 4 <= s.end; k += 4)
            for (int l = 0; l < 4; ++l) a[l] += x[k + l];
        for (; k < s.end; ++k) a[0] += x[k];
        parts[i] = (a[0] + a[1]) + (a[2] + a[3]);
    });
    double total = 0.0;
    for (double s : parts) total += s;
    return total;
}

template <class F>
double seconds_per_run(F&& f, int runs) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(f());
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

double read_seconds(veltra::Par par) {
    static const double seq = seconds_per_run([] { return plain_read(veltra::par_sequential); }, 5);
    static const double par8 = seconds_per_run([] { return plain_read(veltra::par_parallel); }, 5);
    return par == veltra::par_sequential ? seq : par8;
}

template <class F>
void run(benchmark::State& state, veltra::Par par, F&& f) {
    const double reference = read_seconds(par);
    double total = 0.0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(f());
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    state.counters["per_read"] = total / static_cast<double>(state.iterations()) / reference;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * p * sizeof(double)));
}

void plain_read_bench(benchmark::State& state) {
    const auto par = static_cast<veltra::Par>(state.range(0));
    run(state, par, [&] { return plain_read(par); });
}

void mat_vec_col_major(benchmark::State& state) {
    const auto par = static_cast<veltra::Par>(state.range(0));
    run(state, par, [&] { return veltra::mat_vec(data().col_view(), veltra::VecView::of(data().v_p), par); });
}

void mat_vec_row_major(benchmark::State& state) {
    const auto par = static_cast<veltra::Par>(state.range(0));
    run(state, par, [&] { return veltra::mat_vec(data().row_view(), veltra::VecView::of(data().v_p), par); });
}

// X'v of a column-major X: the transposed view is row-major.
void t_mat_vec_col_major(benchmark::State& state) {
    const auto par = static_cast<veltra::Par>(state.range(0));
    run(state, par, [&] {
        return veltra::mat_vec(data().col_view().transposed(), veltra::VecView::of(data().v_n), par);
    });
}

// X'v of a row-major X through the library product (transposed view is column-major).
void t_mat_vec_row_major(benchmark::State& state) {
    const auto par = static_cast<veltra::Par>(state.range(0));
    run(state, par, [&] {
        return veltra::mat_vec(data().row_view().transposed(), veltra::VecView::of(data().v_n), par);
    });
}

void row_major_t_mul(benchmark::State& state) {
    const auto par = static_cast<veltra::Par>(state.range(0));
    run(state, par, [&] { return *veltra::row_major_t_mul(data().row_view(), veltra::VecView::of(data().v_n), par); });
}

}  // namespace

BENCHMARK(plain_read_bench)->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(mat_vec_col_major)->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(mat_vec_row_major)->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(t_mat_vec_col_major)->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(t_mat_vec_row_major)->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(row_major_t_mul)->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
