#include "veltra/resample/splits.hpp"

#include <algorithm>
#include <string>

#include "veltra/component_loop.hpp"
#include "veltra/correlation.hpp"
#include "veltra/fit.hpp"
#include "veltra/linalg.hpp"
#include "veltra/numeric.hpp"
#include "veltra/resample/resample.hpp"

namespace veltra::resample {

VeltraError every_split_failed() {
    return VeltraError::InvalidInput{
        "every split failed to fit: the test has no evidence either way (check k against the "
        "training size and the weights)"};
}

std::size_t split_train_size(std::size_t n, std::size_t k) {
    return std::min(std::max(k + 2, n / 2), n - 3);
}

Result<std::vector<SplitIdx>> draw_splits(std::size_t n, std::size_t k, std::size_t n_splits,
                                          ChaCha8Rng& rng) {
    if (n < sat_add(k, 5))
        return fail(VeltraError::InvalidArgument{"n=" + std::to_string(n) + " too small for k=" +
                                                 std::to_string(k) +
                                                 " under split methods (need n ≥ k+5)"});
    const std::size_t m = split_train_size(n, k);
    const std::vector<std::uint64_t> seeds = child_seeds(rng, n_splits);
    return parallel_for_each_seeded(
        seeds, [&](std::size_t, ChaCha8Rng& unit_rng) { return one_split(n, m, unit_rng); });
}

SplitR split_column_r(const PreparedSplit& s, const SplitIdx& split, VecView y, std::size_t k,
                      std::optional<std::size_t> keep) {
    if (!s.fittable()) return {};
    const Eigen::VectorXd y_train = split_train_target(s.w_train, split.train, y);
    const auto p = static_cast<std::size_t>(s.train.cols());
    if (!check_fit_y_and_k(p, VecView::of(y_train), k, keep)) return {};
    const PreparedFit fit = pls1_fit_prepared_fro(MatView::of(s.train), VecView::of(y_train), k,
                                                  keep, s.fro, par_sequential);
    const Eigen::VectorXd prediction =
        mat_vec(MatView::of(s.test), VecView::of(fit.coef), par_sequential);
    const Eigen::VectorXd y_test = split_test_target(s.w_test, split.test, y);
    return {guarded_pearson(VecView::of(prediction), VecView::of(y_test)), true};
}

SplitR split_half_r(MatView x, VecView y, std::size_t k, const SplitIdx& split,
                    std::optional<VecView> weights, std::optional<std::size_t> keep) {
    return split_column_r(prepare_split(x, split, weights), split, y, k, keep);
}

}  // namespace veltra::resample
