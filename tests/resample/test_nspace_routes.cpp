#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/pls_reference.hpp"
#include "engine/test_support.hpp"
#include "veltra/resample/dual_route.hpp"
#include "veltra/standardize.hpp"

using namespace veltra;
using namespace veltra::resample;
using test_support::view;
namespace ref = pls_reference;

namespace {

// y, 9 permuted copies and a constant column.
Eigen::MatrixXd response_columns(const Eigen::VectorXd& y) {
    Eigen::MatrixXd out(y.size(), 11);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(3);
    out.col(0) = y;
    for (Eigen::Index c = 1; c < 10; ++c)
        out.col(c) = col_row_subset(view(y), shuffled_rows(y.size(), rng));
    out.col(10).setConstant(2.5);
    return out;
}

}  // namespace

// The fold and split routes are compared with refits end to end in the
// raw-permutation and split-exact route tests, on adversarial designs; here
// the constant responses the split kernel answers 0.
TEST(NspaceRoutes, SplitCorrelationsOfConstantResponsesAreZero) {
    const auto d = ref::latent_data(40, 300, 19);
    Eigen::MatrixXd Y = response_columns(d.y);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(5);
    const SplitIdx split = one_split(40, 20, rng);
    for (const std::uint64_t i : split.test) Y(Eigen::Index(i), 9) = 1.0;  // constant test response
    const PreparedSplit s = prepare_split(view(d.x), split, std::nullopt);
    const NspaceSplit ns(s, par_sequential);
    for (std::size_t k : {1, 2, 3}) {
        const auto r = split_columns_r_nspace(split, ns, view(Y), k);
        EXPECT_EQ(r[9], 0.0);
        EXPECT_EQ(r[10], 0.0);  // constant training part: the kernel's Zero
    }
}

TEST(NspaceRoutes, PermutationRowOfAZeroResponseIsZeroAndLargeKIsRefused) {
    const auto d = ref::latent_data(30, 200, 23);
    const Eigen::MatrixXd z = standardize_weighted(view(d.x)).x_std;
    const Eigen::VectorXd y = standardize1_weighted(view(d.y)).y_std;
    const NspaceGram g(view(z), par_sequential);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(9);
    std::vector<double> row(200, -1.0);
    const Eigen::VectorXd zero = Eigen::VectorXd::Zero(30);
    EXPECT_TRUE(nspace_perm_row(g, view(z), view(zero), shuffled_rows(30, rng), 2, row));
    EXPECT_EQ(Eigen::Map<Eigen::VectorXd>(row.data(), 200).cwiseAbs().maxCoeff(), 0.0);
    // k >= n cannot be vouched for: the row is left as it was.
    EXPECT_FALSE(nspace_perm_row(g, view(z), view(y), shuffled_rows(30, rng), 30, row));
}
