// Whether more threads ever make a call slower: every fit (pls1_fit,
// spls1_fit, pls3_fit, which also serves plssvd_fit), the PLS1 prediction and
// the two-block transform, on a grid of shapes from 20 x 50 to 20000 x 2000
// in both layouts, timed with VELTRA_NUM_THREADS=1 and with it unset (all
// threads), interleaved, each the best of several runs. Printed: both times
// and their ratio (all threads / one thread; above 1 means slower on more
// threads). pls1 uses k = min(10, p, n - 1), spls1 keep = p / 10, pls3 a Y
// of 4 columns and k = 3.
//
// Arguments: [seconds per case] [n p] (default 0.15 s: each timing repeats
// until that much time has passed, at least 5 and at most 200 times; the
// shape n x p alone instead of the grid).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "veltra/fit.hpp"
#include "veltra/pls3.hpp"
#include "veltra/predict.hpp"
#include "bench_support.hpp"

namespace {

using veltra::MatView;

volatile double sink;

double best_of(const std::function<void()>& run, double budget) {
    double best = 1e300, spent = 0.0;
    for (int r = 0; r < 200 && (r < 5 || spent < budget); ++r) {
        const double t = bench::seconds(run);
        best = std::min(best, t);
        spent += t;
    }
    return best;
}

template <class T>
T value_or_die(veltra::Result<T> r, const char* what) {
    if (!r) {
        std::fprintf(stderr, "%s failed: %s\n", what, r.error().display().c_str());
        std::exit(1);
    }
    return std::move(*r);
}

void run_shape(std::size_t n, std::size_t p, double budget) {
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal;
    std::vector<double> col(n * p), row(n * p), y(n);
    Eigen::MatrixXd Y(n, 4);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < n; ++i) col[j * n + i] = row[i * p + j] = 2.0 + normal(gen);
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = col[i] - 0.5 * col[(p - 1) * n + i] + normal(gen);
        for (Eigen::Index c = 0; c < 4; ++c) Y(i, c) = col[(c % p) * n + i] + normal(gen);
    }
    const veltra::VecView yv{y.data(), n, 1};
    const std::size_t k = std::min<std::size_t>({10, p, n - 1});
    const std::size_t keep = std::max<std::size_t>(1, p / 10);
    const veltra::FitOpts opts{std::nullopt, false, true, veltra::par_parallel};
    const veltra::Pls3FitOpts opts3;
    for (const bool row_major : {false, true}) {
        const MatView x = row_major ? MatView::row_major(row.data(), n, p)
                                    : MatView::col_major(col.data(), n, p);
        const auto model = value_or_die(veltra::pls1_fit(x, yv, k, std::nullopt, opts), "pls1_fit");
        const auto model3 =
            value_or_die(veltra::pls3_fit(x, MatView::of(Y), 3, std::nullopt, opts3), "pls3_fit");
        struct Case {
            std::string name;
            std::function<void()> run;
        };
        const std::vector<Case> cases = {
            {"pls1_fit", [&] { sink = veltra::pls1_fit(x, yv, k, std::nullopt, opts)->intercept; }},
            {"spls1_fit",
             [&] { sink = veltra::spls1_fit(x, yv, k, keep, std::nullopt, opts)->intercept; }},
            {"pls3_fit",
             [&] {
                 sink = veltra::pls3_fit(x, MatView::of(Y), 3, std::nullopt, opts3)
                            ->singular_values[0];
             }},
            {"pls1_predict", [&] { sink = veltra::pls1_predict(model, x)->sum(); }},
            {"pls3_transform",
             [&] {
                 sink = (*veltra::pls3_transform(model3, x, std::nullopt,
                                                 veltra::Pls3Which::x_scores)
                              ->x_scores)(0, 0);
             }},
        };
        for (const Case& c : cases) {
            double one = 1e300, all = 1e300;
            // Interleaved so that a disturbance of the machine hits both alike.
            for (int round = 0; round < 3; ++round) {
                setenv("VELTRA_NUM_THREADS", "1", 1);
                one = std::min(one, best_of(c.run, budget / 3));
                unsetenv("VELTRA_NUM_THREADS");
                all = std::min(all, best_of(c.run, budget / 3));
            }
            std::printf("%6zu x %-5zu %-4s %-15s one thread %9.3f ms  all %9.3f ms  ratio %5.2f\n",
                        n, p, row_major ? "row" : "col", c.name.c_str(), one * 1e3, all * 1e3,
                        all / one);
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 0.15;
    if (argc > 3) {
        run_shape(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10), budget);
        return 0;
    }
    // The grid, then shapes just past the smallest parallel work (n p k or
    // n p q a little above 10^6).
    const std::size_t shapes[][2] = {{20, 50},    {60, 401},  {100, 5000}, {1000, 1000},
                                     {5000, 500}, {20000, 2000}, {20, 5001}, {100, 1001},
                                     {1001, 100}, {5001, 20},  {250, 1001}, {2501, 100}};
    for (const auto& s : shapes) run_shape(s[0], s[1], budget);
    return 0;
}
