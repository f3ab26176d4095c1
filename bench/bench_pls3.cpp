// Time of the dense two-block fit (pls3_fit, which also serves PLS-SVD) with
// a 20-column Y and k = 10, as a ratio to one plain read of X (a parallel
// sum of all its entries), for a column-major and a row-major X,
// standardised by the fit and given pre-standardised, on a tall 20000 x 2000
// and a wide 2000 x 20000 X. The pieces of the fit (column moments, the
// preparation with X'Y, X'Y alone, the scores of X) are timed on their own
// as well. Every timing is the minimum of interleaved runs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <tbb/task_arena.h>

#include "veltra/fit_x.hpp"
#include "veltra/linalg.hpp"
#include "veltra/parallel.hpp"
#include "veltra/pls3.hpp"
#include "bench_support.hpp"

namespace {

using Block = bench::HugePageBuffer;
using bench::plain_read;
using bench::seconds;

constexpr std::size_t q = 20;
constexpr std::uint64_t k = 10;
constexpr int repetitions = 15;

volatile double sink;

double fit_or_die(veltra::MatView x, veltra::MatView y, const veltra::Pls3FitOpts& opts) {
    auto m = veltra::pls3_fit(x, y, k, std::nullopt, opts);
    if (!m) {
        std::fprintf(stderr, "pls3_fit failed: %s\n", m.error().display().c_str());
        std::exit(1);
    }
    return m->singular_values[0];
}

veltra::PreparedCrossCov prepare_or_die(veltra::MatView x, veltra::MatView y,
                                        const veltra::Pls3FitOpts& opts) {
    auto pr = veltra::prepare(x, y, k, std::nullopt, opts);
    if (!pr) {
        std::fprintf(stderr, "prepare failed: %s\n", pr.error().display().c_str());
        std::exit(1);
    }
    return std::move(*pr);
}

void run_shape(std::size_t n, std::size_t p) {
    using veltra::MatView;
    // X with means and spreads that differ by column, Y related to a few of
    // its columns plus noise; the standardised copies are used as given.
    Block x_col(n * p), x_row(n * p), z_col(n * p), z_row(n * p);
    Eigen::MatrixXd Y(n, q);
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::size_t j = 0; j < p; ++j) {
        const double mu = 3.0 + 1.0 * static_cast<double>(j) / static_cast<double>(p);
        const double sd = 1.0 + 0.5 * static_cast<double>(j) / static_cast<double>(p);
        for (std::size_t i = 0; i < n; ++i) {
            const double z = normal(gen);
            x_col[j * n + i] = x_row[i * p + j] = mu + sd * z;
            z_col[j * n + i] = z_row[i * p + j] = z;
        }
    }
    for (std::size_t c = 0; c < q; ++c)
        for (std::size_t i = 0; i < n; ++i)
            Y(i, veltra::to_index(c)) =
                x_col[(3 * c) * n + i] - 0.5 * x_col[(3 * c + 1) * n + i] + normal(gen);
    const Eigen::MatrixXd Y_c = Y.rowwise() - Y.colwise().mean();
    const Eigen::MatrixXd Y_std =
        Y_c.array().rowwise() / (Y_c.colwise().norm() / std::sqrt(double(n))).array();

    const MatView X_col = MatView::col_major(x_col.data, n, p);
    const MatView X_row = MatView::row_major(x_row.data, n, p);
    const MatView Z_col = MatView::col_major(z_col.data, n, p);
    const MatView Z_row = MatView::row_major(z_row.data, n, p);
    const MatView Yv = MatView::of(Y), Ysv = MatView::of(Y_std);
    veltra::Pls3FitOpts plain, prestd;
    prestd.pre_standardized_X = prestd.pre_standardized_Y = true;

    auto moments = [](MatView x) {
        return veltra::fit_x_moments(x, std::nullopt, std::nullopt, veltra::par_parallel).fro;
    };
    // The scores of X on 10 weight vectors, the last product of the fit.
    const Eigen::MatrixXd W = Eigen::MatrixXd::Random(veltra::to_index(p), k);
    const veltra::PreparedCrossCov pr_col = prepare_or_die(X_col, Yv, plain);
    const veltra::PreparedCrossCov pr_row = prepare_or_die(X_row, Yv, plain);
    const veltra::PreparedCrossCov pz_row = prepare_or_die(Z_row, Ysv, prestd);

    struct Case {
        std::string name;
        std::function<void()> run;
        double best = 1e300;
    };
    std::vector<Case> cases = {
        {"plain read of X", [&] { sink = plain_read(x_col.data, n * p); }},
        {"pls3_fit, column-major X", [&] { sink = fit_or_die(X_col, Yv, plain); }},
        {"pls3_fit, row-major X", [&] { sink = fit_or_die(X_row, Yv, plain); }},
        {"pls3_fit pre-std, column-major", [&] { sink = fit_or_die(Z_col, Ysv, prestd); }},
        {"pls3_fit pre-std, row-major", [&] { sink = fit_or_die(Z_row, Ysv, prestd); }},
        {"  moments, column-major", [&] { sink = moments(X_col); }},
        {"  moments, row-major", [&] { sink = moments(X_row); }},
        {"  prepare, column-major", [&] { sink = prepare_or_die(X_col, Yv, plain).C(0, 0); }},
        {"  prepare, row-major", [&] { sink = prepare_or_die(X_row, Yv, plain).C(0, 0); }},
        {"  cross_cov, column-major", [&] { sink = pr_col.prepared.cross_cov()(0, 0); }},
        {"  cross_cov, row-major", [&] { sink = pr_row.prepared.cross_cov()(0, 0); }},
        {"  x_scores, column-major", [&] { sink = pr_col.prepared.x_scores(W)(0, 0); }},
        {"  x_scores, row-major", [&] { sink = pr_row.prepared.x_scores(W)(0, 0); }},
        {"  x_scores pre-std, row-major", [&] { sink = pz_row.prepared.x_scores(W)(0, 0); }},
        {"  thin SVD of C", [&] {
             sink = veltra::thin_svd(MatView::of(pr_col.C), veltra::par_parallel)->s[0];
         }},
    };

    std::printf("pls3_fit, X %zu x %zu, Y %zu columns, k = %llu, %d threads, minimum of %d "
                "interleaved runs\n",
                n, p, q, static_cast<unsigned long long>(k),
                tbb::this_task_arena::max_concurrency(), repetitions);
    // Interleaved so that a disturbance of the machine hits every timing alike.
    for (int r = 0; r < repetitions; ++r)
        for (Case& c : cases) c.best = std::min(c.best, seconds(c.run));
    const double read = cases[0].best;
    for (const Case& c : cases)
        std::printf("%-32s %8.2f ms  = %5.2f reads\n", c.name.c_str(), 1e3 * c.best, c.best / read);
}

}  // namespace

int main() {
    run_shape(20000, 2000);
    run_shape(2000, 20000);
    return 0;
}
