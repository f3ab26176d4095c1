// The two-block confirmatory test: is there shared signal between X and Y?
// On each of J random splits the first latent-variable pair is fitted on
// the training half and the statistic is the correlation of its X and Y
// scores on the test half. split_nb turns the J correlations into a
// corrected t; split_exact compares their mean Fisher z with the same mean
// for row permutations of Y.
//
// The correlations have several routes with one answer up to rounding: the
// primal route (a p x q cross covariance per split and column), a streamed
// primal route for split_nb that never holds a standardised X block whole,
// and for split_exact an n-space route that works with the m x m Gram
// matrix of each split's training rows. The fast routes leave a value
// pending wherever they cannot vouch for it, and the primal route decides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/resample/confirmatory.hpp"
#include "veltra/resample/confirmatory_method.hpp"
#include "veltra/resample/pls3_split.hpp"
#include "veltra/view.hpp"

namespace veltra::resample {

struct Pls3ConfirmatoryOpts {
    Pls3SplitSparse sparse;  // keep_X, keep_Y, max_iter, tol of the per-split fits
    std::optional<std::uint64_t> seed;
    ConfirmatoryArgs test;  // one of pls3_confirmatory_methods
};

// The methods the two-block test runs, in the order its refusals list them.
inline constexpr std::array pls3_confirmatory_methods = {
    ConfirmatoryMethod::split_exact, ConfirmatoryMethod::split_nb, ConfirmatoryMethod::auto_};

// The public test at k = 1, under the entry wrapper.
Result<ConfirmatoryTestOutput> pls3_confirmatory_test(MatView x, MatView y, std::uint64_t k,
                                                      const Pls3ConfirmatoryOpts& opts);

// The split_nb correlations, one per split in split order: the primal route,
// and the streamed route that fills its pending splits from the primal one.
std::vector<double> pls3_split_lv_correlations(MatView x, MatView y,
                                               std::span<const SplitIdx> splits,
                                               const Pls3SplitSparse& sparse);
std::vector<double> pls3_split_lv_correlations_streamed(MatView x, MatView y,
                                                        std::span<const SplitIdx> splits,
                                                        const Pls3SplitSparse& sparse);
// One split of the streamed route without sparsity; empty when pending.
std::optional<double> pls3_split_r_streamed(MatView x, MatView y, const SplitIdx& split);
// Peak bytes of one split of the streamed route: its standardised Y blocks,
// X'Y and the test scores through it, held while X is walked in blocks,
// then the first-pair workspace.
std::uint64_t streamed_split_unit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                        std::uint64_t q);

// The B + 1 mean Fisher z values of split_exact, the observed column first:
// the primal route and the n-space route (dense X weights only).
std::vector<double> pls3_split_zbars_columns_primal(MatView x, MatView y,
                                                    std::span<const SplitIdx> splits,
                                                    RowPerms perms, const Pls3SplitSparse& sparse);
std::vector<double> pls3_split_zbars_columns(MatView x, MatView y,
                                             std::span<const SplitIdx> splits, RowPerms perms,
                                             const Pls3SplitSparse& sparse);
// Peak bytes of one split of the n-space route on p columns of X for
// `columns` q-column response blocks (Y and its row permutations): its G and
// K with the blocks and the product that build them, or with the cells that
// run at once, one per thread at most.
std::uint64_t nspace_split_unit_bytes(std::span<const SplitIdx> splits, std::uint64_t p,
                                      std::uint64_t q, std::uint64_t columns);

// lambda1 / (lambda1 - lambda2) of M restricted to the support of v: the
// sweeps a power iteration on that support needs per digit. 0 for a support
// below two, +inf when the solve fails or lambda1 is not positive.
double restricted_sweeps(const Eigen::MatrixXd& m, const Eigen::VectorXd& v);

}  // namespace veltra::resample
