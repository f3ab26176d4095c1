// Time of the split-NB test with 1000 splits at k = 1 (the no-refit route
// with its pending refits), as a ratio to one PLS1 fit (k = 1) on the same
// data in the same run, on a tall 2000 x 200 and a wide 200 x 5000 X, and
// the share of splits the no-refit pass certified; then the same on one
// thread (the fit sequential too), which a loaded machine disturbs less.
// Each timing is the minimum of interleaved runs.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>

#include <Eigen/Core>
#include <tbb/global_control.h>

#include "bench_support.hpp"
#include "veltra/fit.hpp"
#include "veltra/resample/nr_split.hpp"
#include "veltra/resample/split_nb.hpp"
#include "veltra/resample/splits.hpp"

namespace resample = veltra::resample;
namespace {

constexpr std::size_t n_splits = 1000;
constexpr int repetitions = 5;

volatile double sink;

void measure(Eigen::Index n, Eigen::Index p, bool one_thread) {
    std::optional<tbb::global_control> cap;
    if (one_thread) cap.emplace(tbb::global_control::max_allowed_parallelism, 1);
    veltra::FitOpts opts;
    opts.par = one_thread ? veltra::par_sequential : veltra::par_parallel;
    std::mt19937_64 gen(2024);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd x(n, p);
    for (Eigen::Index j = 0; j < p; ++j)
        for (Eigen::Index i = 0; i < n; ++i) x(i, j) = normal(gen);
    Eigen::VectorXd y(n);
    for (Eigen::Index i = 0; i < n; ++i) y[i] = 0.3 * (x(i, 0) + x(i, 1)) + normal(gen);
    const veltra::MatView xv = veltra::MatView::of(x);
    const veltra::VecView yv = veltra::VecView::of(y);

    double fit = 1e300, test = 1e300, pvalue = 0;
    for (int r = 0; r < repetitions; ++r) {
        fit = std::min(fit, bench::seconds([&] {
            sink = veltra::pls1_fit_impl(xv, yv, 1, std::nullopt, opts)->coef[0];
        }));
        test = std::min(test, bench::seconds([&] {
            veltra::ChaCha8Rng rng = veltra::ChaCha8Rng::seed_from_u64(7);
            pvalue = resample::run_split_nb(xv, yv, 1, n_splits, std::nullopt, std::nullopt, rng)->pvalue;
        }));
    }
    veltra::ChaCha8Rng rng = veltra::ChaCha8Rng::seed_from_u64(7);
    const auto splits = *resample::draw_splits(x.rows(), 1, n_splits, rng);
    const Eigen::MatrixXd outcomes = resample::nr_outcome_matrix(yv, {});
    const bool gram = resample::nr_gram_flag(x.rows(), splits[0].train.size(), x.cols(), 1);
    std::size_t certified = 0;
    for (const auto& s : splits) certified += resample::nr_split_r(xv, outcomes, s, std::nullopt, gram)[0].has_value();

    std::printf("%s %5td x %-5td  fit %8.3f ms  test %9.1f ms  = %7.1f fits  = %.4f fits per split  "
                "certified %5.1f%%  (p = %.3g)\n",
                one_thread ? "1 thread " : "all      ", n, p, fit * 1e3, test * 1e3, test / fit, test / fit / n_splits,
                100.0 * double(certified) / n_splits, pvalue);
}

}  // namespace

int main() {
    for (const bool one_thread : {false, true}) {
        measure(2000, 200, one_thread);
        measure(200, 5000, one_thread);
    }
}
