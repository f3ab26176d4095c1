// The two-block confirmatory test against one two-block fit of the same data
// in the same run: split_exact with B = 999 over 50 splits on the route the
// size rule picks, and split_nb over 50 splits (streamed), for n = 2000,
// p = q = 200 and n = 200, p = 5000, q = 50, with X and Y sharing one latent
// factor. Printed: the route, each test's time and its ratio to the fit's
// (best of the repetitions for both).
// Arguments: repetitions (default 1), then optionally n p q for one case.
#include <cstdio>
#include <cstdlib>
#include <random>

#include "bench_support.hpp"
#include "veltra/pls3.hpp"
#include "veltra/resample/pls3_signal_test.hpp"

namespace {

using bench::seconds;
using namespace veltra;
using namespace veltra::resample;

constexpr std::uint64_t n_perm = 999, n_splits = 50;

template <class F>
double best_of(int repetitions, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repetitions; ++r) best = std::min(best, seconds(f));
    return best;
}

Eigen::MatrixXd block(const Eigen::VectorXd& factor, std::size_t cols, std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    Eigen::MatrixXd m(factor.size(), Eigen::Index(cols));
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
        const double load = 0.3 * normal(gen);
        for (Eigen::Index i = 0; i < m.rows(); ++i) m(i, j) = load * factor[i] + normal(gen);
    }
    return m;
}

void run(std::size_t n, std::size_t p, std::size_t q, int repetitions) {
    std::mt19937_64 gen(n * 7 + p + q);
    std::normal_distribution<double> normal;
    Eigen::VectorXd factor(static_cast<Eigen::Index>(n));
    for (Eigen::Index i = 0; i < factor.size(); ++i) factor[i] = normal(gen);
    const Eigen::MatrixXd x = block(factor, p, gen), y = block(factor, q, gen);
    const MatView xv = MatView::of(x), yv = MatView::of(y);

    const double t_fit = best_of(repetitions, [&] {
        if (!pls3_fit(xv, yv, 1, std::nullopt, Pls3FitOpts{})) std::abort();
    });
    Pls3ConfirmatoryOpts exact;
    exact.test = {.method = ConfirmatoryMethod::split_exact, .n_perm = n_perm,
                  .n_splits = n_splits};
    exact.seed = 1;
    Pls3ConfirmatoryOpts nb = exact;
    nb.test.method = ConfirmatoryMethod::split_nb;
    nb.test.force = true;
    double p_exact = 0, p_nb = 0;
    const double t_exact = best_of(repetitions, [&] {
        const auto r = pls3_confirmatory_test(xv, yv, 1, exact);
        if (!r) std::abort();
        p_exact = r->pvalue;
    });
    const double t_nb = best_of(repetitions, [&] {
        const auto r = pls3_confirmatory_test(xv, yv, 1, nb);
        if (!r) std::abort();
        p_nb = r->pvalue;
    });
    const double columns = double(n_perm + 1) * double(q), m = double(n / 2);
    const bool nspace = (double(p) + columns) * m < double(p) * columns && m <= 4000;
    std::printf("n=%zu p=%zu q=%zu  pls3_fit %.3f ms\n", n, p, q, t_fit * 1e3);
    std::printf("  split_exact  %-8s %10.1f ms  %9.1f fits  (p=%.4f)\n",
                nspace ? "n-space" : "primal", t_exact * 1e3, t_exact / t_fit, p_exact);
    std::printf("  split_nb     %-8s %10.1f ms  %9.1f fits  (p=%.3g)\n", "streamed", t_nb * 1e3,
                t_nb / t_fit, p_nb);
}

}  // namespace

int main(int argc, char** argv) {
    return bench::run_shapes(argc, argv, 1, {{200, 5000, 50}, {2000, 200, 200}}, run);
}
