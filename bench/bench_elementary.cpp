// The cost of the engine's deterministic elementary functions (SLEEF's
// scalar functions without FMA) per call, each beside the C library's
// function a user's code would call instead (counter "vs_libc": the time
// of one call over the C library's); and the varimax rotation of a 300 x 10
// weight matrix, the caller that makes the most of these calls (45 angles,
// each an atan2 and a sincos, per sweep).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "veltra/elementary.hpp"
#include "veltra/rotate.hpp"

namespace {

namespace el = veltra::elementary;

const std::vector<double>& arguments() {
    static const std::vector<double> a = [] {
        std::vector<double> v(4096);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = 0.25 + 1.5 * static_cast<double>(i) / static_cast<double>(v.size());
        return v;
    }();
    return a;
}

template <class F>
double seconds_per_call(F f) {
    const std::vector<double>& a = arguments();
    double sink = 0.0;
    const auto start = std::chrono::steady_clock::now();
    for (int rep = 0; rep < 64; ++rep)
        for (const double x : a) sink += f(x);
    benchmark::DoNotOptimize(sink);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
           (64.0 * static_cast<double>(a.size()));
}

template <class Ours, class Libc>
void register_pair(const std::string& name, Ours ours, Libc libc) {
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        double total = 0.0, total_libc = 0.0;
        for (auto _ : state) {
            total += seconds_per_call(ours);
            total_libc += seconds_per_call(libc);
        }
        state.counters["ns_per_call"] = 1e9 * total / static_cast<double>(state.iterations());
        state.counters["vs_libc"] = total / total_libc;
    });
}

void register_all() {
    register_pair("log", [](double x) { return el::log(x); }, [](double x) { return std::log(x); });
    register_pair("log1p", [](double x) { return el::log1p(x - 1.0); },
                  [](double x) { return std::log1p(x - 1.0); });
    register_pair("exp", [](double x) { return el::exp(x); }, [](double x) { return std::exp(x); });
    register_pair("pow", [](double x) { return el::pow(x * 100.0, 0.7); },
                  [](double x) { return std::pow(x * 100.0, 0.7); });
    register_pair("tanh", [](double x) { return el::tanh(x); }, [](double x) { return std::tanh(x); });
    register_pair("atan2", [](double x) { return el::atan2(x - 1.0, 0.7); },
                  [](double x) { return std::atan2(x - 1.0, 0.7); });
    register_pair(
        "sincos",
        [](double x) {
            const el::SinCos sc = el::sincos(x - 1.0);
            return sc.sin + sc.cos;
        },
        [](double x) { return std::sin(x - 1.0) + std::cos(x - 1.0); });
}

void BM_varimax_300x10(benchmark::State& state) {
    const Eigen::MatrixXd W = Eigen::MatrixXd::Random(300, 10);
    std::uint64_t sweeps = 0;
    for (auto _ : state) {
        auto r = veltra::rotate(veltra::MatView::of(W), veltra::VarimaxOpts{});
        sweeps = r->sweeps;
        benchmark::DoNotOptimize(r);
    }
    state.counters["sweeps"] = static_cast<double>(sweeps);
}
BENCHMARK(BM_varimax_300x10)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
