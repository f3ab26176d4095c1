// The n-space route of the permutation tests against direct refits: for a
// standardised Z of 200 rows and 20000 columns and 1000 response columns (y
// and 999 permutations of it), the time of the n-space kernel as a ratio to
// 1000 direct PLS1 fits measured in the same run, and the share of columns
// the kernel certifies. Both run on every thread of the default arena: the
// direct fits one column per task (as the refit route runs them), the
// kernel on groups of 32 columns.
//
// Printed: Gram ZZ' alone, the kernel alone, the coefficients Z'A of all
// certified columns in one product (only the permutation null needs them:
// the split and fold routes predict through n-vectors), and the speed-up of
// Gram + kernel, and of all three, against the direct fits; the largest
// relative difference between certified and direct coefficients. Arguments: k (default 2),
// repetitions (default 3).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "bench_support.hpp"
#include "veltra/component_loop.hpp"
#include "veltra/numeric.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/parallel.hpp"
#include "veltra/resample/dual_route/multi_k.hpp"
#include "veltra/standardize.hpp"

namespace resample = veltra::resample;
namespace {

using bench::seconds;
using veltra::MatView;
using veltra::VecView;

constexpr std::size_t n = 200, p = 20000, columns = 1000, group = 32;

int run(std::size_t k, int repetitions) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd t(n, 5), x(n, p);
    for (Eigen::Index i = 0; i < t.size(); ++i) t.data()[i] = normal(gen);
    for (std::size_t j = 0; j < p; ++j) {
        const double shift = 3.0 * normal(gen);
        Eigen::VectorXd load(5);
        for (auto& v : load) v = normal(gen);
        for (std::size_t i = 0; i < n; ++i)
            x(Eigen::Index(i), Eigen::Index(j)) =
                shift + t.row(Eigen::Index(i)).dot(load) + normal(gen);
    }
    Eigen::VectorXd y = t.col(0) - 0.5 * t.col(1) +
                        2.0 * Eigen::VectorXd::NullaryExpr(n, [&] { return normal(gen); });
    const Eigen::MatrixXd z = veltra::standardize_weighted(MatView::of(x)).x_std;
    Eigen::MatrixXd ys(n, columns);
    std::vector<Eigen::Index> perm(n);
    std::iota(perm.begin(), perm.end(), Eigen::Index{0});
    for (std::size_t c = 0; c < columns; ++c) {
        const Eigen::VectorXd yp = y(perm);
        ys.col(Eigen::Index(c)) = veltra::standardize1_weighted(VecView::of(yp)).y_std;
        std::shuffle(perm.begin(), perm.end(), gen);
    }
    const MatView zv = MatView::of(z);

    double t_gram = 1e300, t_kernel = 1e300, t_coef = 1e300, t_direct = 1e300;
    resample::NspaceGram g;
    std::vector<resample::NspaceOutcome> outcomes(columns);
    Eigen::MatrixXd beta;
    std::vector<std::size_t> certified;
    for (int rep = 0; rep < repetitions; ++rep) {
        t_gram =
            std::min(t_gram, seconds([&] { g = resample::NspaceGram(zv, veltra::par_parallel); }));
        t_kernel = std::min(
            t_kernel, seconds([&] {
                veltra::for_each_index(
                    veltra::par_parallel, veltra::ceil_div(columns, group), [&](std::size_t b) {
                        const std::size_t lo = b * group, hi = std::min(columns, lo + group);
                        const Eigen::MatrixXd block =
                            ys.middleCols(Eigen::Index(lo), Eigen::Index(hi - lo));
                        auto out = resample::nspace_kernel_cols(g.view(), MatView::of(block), k);
                        std::move(out.begin(), out.end(), outcomes.begin() + std::ptrdiff_t(lo));
                    });
            }));
        t_coef = std::min(t_coef, seconds([&] {
                              certified.clear();
                              for (std::size_t c = 0; c < columns; ++c)
                                  if (outcomes[c].is(resample::NspaceOutcome::Kind::Coefficients))
                                      certified.push_back(c);
                              Eigen::MatrixXd alpha(n, Eigen::Index(certified.size()));
                              for (std::size_t q = 0; q < certified.size(); ++q)
                                  alpha.col(Eigen::Index(q)) = outcomes[certified[q]].alpha;
                              beta = veltra::ordered_product(zv.transposed(), MatView::of(alpha),
                                                             veltra::par_parallel);
                          }));
    }
    std::vector<Eigen::VectorXd> direct(columns);
    t_direct = seconds([&] {
        veltra::for_each_index(veltra::par_parallel, columns, [&](std::size_t c) {
            const Eigen::VectorXd yc = ys.col(Eigen::Index(c));
            direct[c] = veltra::pls1_fit_prepared_fro(zv, VecView::of(yc), k, std::nullopt,
                                                      g.fro_norm, veltra::par_sequential)
                            .coef;
        });
    });
    double worst = 0.0;
    for (std::size_t q = 0; q < certified.size(); ++q) {
        const Eigen::VectorXd& d = direct[certified[q]];
        worst = std::max(
            worst, (beta.col(Eigen::Index(q)) - d).cwiseAbs().maxCoeff() / d.cwiseAbs().maxCoeff());
    }
    const double total = t_gram + t_kernel + t_coef;
    std::printf("n = %zu, p = %zu, %zu response columns, k = %zu\n", n, p, columns, k);
    std::printf("Gram ZZ'                 %9.1f ms\n", 1e3 * t_gram);
    std::printf("kernel, all columns      %9.1f ms\n", 1e3 * t_kernel);
    std::printf("Z'A, certified columns   %9.1f ms\n", 1e3 * t_coef);
    std::printf("n-space total            %9.1f ms\n", 1e3 * total);
    std::printf("%zu direct fits         %9.1f ms\n", columns, 1e3 * t_direct);
    std::printf("speed-up, Gram + kernel  %9.1fx (target >= 50x)\n",
                t_direct / (t_gram + t_kernel));
    std::printf("speed-up, with Z'A       %9.1fx\n", t_direct / total);
    std::printf("certified                %9.1f %% (%zu of %zu)\n",
                100.0 * double(certified.size()) / columns, certified.size(), columns);
    std::printf("largest relative difference, certified vs direct: %.2e\n", worst);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t k = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    return run(k, repetitions);
}
