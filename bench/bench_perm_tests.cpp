// The two permutation tests of PLS1 against one PLS1 fit of the same data in
// the same run: split_exact (50 splits) and raw_perm (5 folds), each with
// B = 999, on the route the size rule picks, for n = 2000, p = 200 and
// n = 200, p = 5000 and k = 1, 2. Printed: the route, the test's time and
// its ratio to the fit's (best of the repetitions for both).
// Arguments: repetitions (default 3), then optionally n p k for one case.
#include <cstdio>
#include <cstdlib>
#include <random>

#include "bench_support.hpp"
#include "veltra/fit.hpp"
#include "veltra/resample/signal_test.hpp"

namespace {

using bench::seconds;
using namespace veltra;
using namespace veltra::resample;

constexpr std::size_t n_perm = 999, n_splits = 50, n_folds = 5;

template <class F>
double best_of(int repetitions, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repetitions; ++r) best = std::min(best, seconds(f));
    return best;
}

void run(std::size_t n, std::size_t p, std::size_t k, int repetitions) {
    std::mt19937_64 gen(n * 7 + p);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd x(n, p);
    for (Eigen::Index i = 0; i < x.size(); ++i) x.data()[i] = normal(gen);
    Eigen::VectorXd y(n);
    for (Eigen::Index i = 0; i < Eigen::Index(n); ++i)
        y[i] = 0.3 * x(i, 0) - 0.2 * x(i, 1) + normal(gen);
    const MatView xv = MatView::of(x);
    const VecView yv = VecView::of(y);

    const double t_fit = best_of(repetitions, [&] {
        if (!pls1_fit_impl(xv, yv, k, std::nullopt, FitOpts{})) std::abort();
    });
    const SplitExactRoute sr = split_exact_refit_route(n, p, n_perm, k, std::nullopt, false);
    const double t_split = best_of(repetitions, [&] {
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1);
        const auto r = sr == SplitExactRoute::no_refit
                           ? run_split_perm_nr(xv, yv, k, n_perm, n_splits, {}, {}, rng)
                           : run_split_perm(sr, xv, yv, k, n_perm, n_splits, {}, {}, rng);
        if (!r) std::abort();
    });
    const RawPermRoute rr = raw_perm_route(n, p, n_perm, n_folds, k, std::nullopt, false);
    const double t_raw = best_of(repetitions, [&] {
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(1);
        if (!run_raw_perm(xv, yv, k, n_perm, n_folds, {}, {}, rng)) std::abort();
    });
    static const char* split_names[] = {"no-refit", "refit", "n-space", "p-space Gram"};
    static const char* raw_names[] = {"n-space CV", "refit", "n-space", "p-space Gram"};
    std::printf("n=%zu p=%zu k=%zu  fit %.3f ms\n", n, p, k, t_fit * 1e3);
    std::printf("  split_exact  %-13s %9.1f ms  %7.1f fits\n", split_names[int(sr)], t_split * 1e3,
                t_split / t_fit);
    std::printf("  raw_perm     %-13s %9.1f ms  %7.1f fits\n", raw_names[int(rr)], t_raw * 1e3,
                t_raw / t_fit);
}

}  // namespace

int main(int argc, char** argv) {
    return bench::run_shapes(argc, argv, 3,
                             {{2000, 200, 1}, {200, 5000, 1}, {2000, 200, 2}, {200, 5000, 2}}, run);
}
