// The cross-validated searches against the fits they are made of: the
// component-count choice (5 folds, k_max = 10, one-standard-error rule) and
// the kept-feature search (5 folds, k = 3, every keep of the doubling grid),
// each as a ratio to one PLS1 fit of the same X in the same run (k = 10 and
// k = 3). The training rows of five folds are four times all rows, so about
// 4 (component count) and 4 times the grid length (kept features) is what
// fold-by-fold refits on copied training rows would read. Column- and
// row-major X, on every thread of the default arena. Argument: repetitions
// (default 3).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "bench_support.hpp"
#include "veltra/fit.hpp"
#include "veltra/select/find_k.hpp"

namespace {

using bench::seconds;
using veltra::MatView;
using veltra::VecView;
using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

template <class F>
double best_of(int repetitions, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repetitions; ++r) best = std::min(best, seconds(f));
    return best;
}

void run(std::size_t n, std::size_t p, int repetitions) {
    std::mt19937_64 gen(5);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd t(n, 4), x(n, p);
    for (Eigen::Index i = 0; i < t.size(); ++i) t.data()[i] = normal(gen);
    for (std::size_t j = 0; j < p; ++j) {
        const Eigen::Vector4d load(normal(gen), normal(gen), normal(gen), normal(gen));
        const double shift = 5.0 * normal(gen);
        for (std::size_t i = 0; i < n; ++i)
            x(Eigen::Index(i), Eigen::Index(j)) = shift + t.row(Eigen::Index(i)).dot(load) + normal(gen);
    }
    const Eigen::VectorXd y = t.col(0) - t.col(2) + Eigen::VectorXd::NullaryExpr(n, [&] { return normal(gen); });
    const RowMajor xr = x;
    const std::size_t grid = veltra::select::keep_grid(p).size();
    for (const auto& [layout, view] :
         {std::pair{"col-major", MatView::of(x)},
          std::pair{"row-major", MatView::row_major(xr.data(), n, p)}}) {
        const VecView yv = VecView::of(y);
        auto fit = [&](std::size_t k) {
            return best_of(repetitions, [&] { (void)veltra::pls1_fit_impl(view, yv, k, {}, {}); });
        };
        const double fit10 = fit(10), fit3 = fit(3);
        const double cv = best_of(repetitions, [&] {
            veltra::ChaCha8Rng rng = veltra::ChaCha8Rng::seed_from_u64(1);
            (void)veltra::select::select_cv(view, yv, 10, 5, veltra::select::CvRule::one_se, {},
                                            {}, rng);
        });
        const double keep = best_of(repetitions, [&] {
            (void)veltra::select::spls1_find_keep_optimal(view, yv, 3, 5, 1, false, {});
        });
        std::printf("%zu x %zu %s: fit k=10 %.1f ms, select_cv %.1f ms = %.1f fits (4 by refits); "
                    "fit k=3 %.1f ms, keep search (grid of %zu) %.1f ms = %.1f fits (%zu by refits)\n",
                    n, p, layout, 1e3 * fit10, 1e3 * cv, cv / fit10, 1e3 * fit3, grid, 1e3 * keep,
                    keep / fit3, 4 * grid);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 3;
    run(20000, 200, repetitions);
    run(2000, 2000, repetitions);
}
