// The no-refit split correlations: every value they certify is the refit's
// value to rounding, on ordinary and adversarial designs, and what they
// cannot certify is left to the refit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "resample/resample_test_support.hpp"
#include "veltra/resample/nr_split.hpp"
#include "veltra/resample/splits.hpp"

using namespace veltra;
using namespace veltra::resample;

namespace {

using resample_test::Design;

std::vector<Design> designs() {
    using resample_test::random_matrix;
    using resample_test::signal_response;
    std::vector<Design> out;
    Eigen::MatrixXd x = random_matrix(60, 8, 1);
    Eigen::MatrixXd shifted = x;
    shifted.col(0).array() += 1e9;
    shifted.col(1).array() = shifted.col(1).array() * 1e-6 - 3e7;
    out.push_back({"huge column means", shifted, signal_response(x, 3), std::nullopt});
    Eigen::MatrixXd flat = x;
    flat.col(2).setConstant(4.0);
    flat.col(3) = Eigen::VectorXd::Constant(60, 1.0) + 1e-15 * x.col(3);
    out.push_back({"near-constant columns", flat, signal_response(x, 4), std::nullopt});
    const Eigen::MatrixXd wide = random_matrix(24, 600, 5);
    out.push_back({"p >> n", wide, signal_response(wide, 6, 0.3), std::nullopt});
    const Eigen::MatrixXd tall = random_matrix(900, 3, 7);
    out.push_back({"n >> p", tall, signal_response(tall, 8, 4.0), std::nullopt});
    Eigen::VectorXd w = (random_matrix(60, 1, 9).col(0).array() + 1.5).matrix();
    w[5] = 0.0;
    out.push_back({"weights", x, signal_response(x, 10), w});
    out.push_back({"huge response mean", x, (signal_response(x, 12).array() + 1e12).matrix(), std::nullopt});
    return out;
}

}  // namespace

TEST(NrSplit, CertifiedValuesEqualTheRefitAndTheRestIsRefitted) {
    for (const Design& d : designs()) {
        const auto n = static_cast<std::size_t>(d.x.rows());
        ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(17);
        const auto splits = draw_splits(n, 1, 40, rng);
        ASSERT_TRUE(splits.has_value());
        const Eigen::MatrixXd outcomes = nr_outcome_matrix(VecView::of(d.y), {});
        const auto combined = split_nb_correlations_nr(MatView::of(d.x), VecView::of(d.y), *splits, d.weights());
        std::size_t certified = 0;
        for (std::size_t j = 0; j < splits->size(); ++j) {
            const SplitR refit = split_half_r(MatView::of(d.x), VecView::of(d.y), 1, (*splits)[j], d.weights(), std::nullopt);
            for (const bool gram : {false, true}) {
                const auto nr = nr_split_r(MatView::of(d.x), outcomes, (*splits)[j], d.weights(), gram);
                if (!nr[0]) continue;
                certified += gram;
                EXPECT_NEAR(*nr[0], refit.r, 1e-12) << d.name << " split " << j;
            }
            EXPECT_NEAR(combined[j].r, refit.r, 1e-12) << d.name << " split " << j;
        }
        // The uncertain ones are left to the refit, the clear ones are not.
        if (std::string(d.name) == "huge response mean")
            EXPECT_LT(certified, splits->size()) << d.name;
        else
            EXPECT_EQ(certified, splits->size()) << d.name;
    }
}

TEST(NrSplit, PowersOfTwoOfYAndUnitWeightsChangeNothing) {
    const Eigen::MatrixXd x = resample_test::random_matrix(40, 6, 21);
    const Eigen::VectorXd y = resample_test::signal_response(x, 22);
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(23);
    const SplitIdx split = one_split(40, 20, rng);
    const Eigen::VectorXd y_big = y * 0x1p40, ones = Eigen::VectorXd::Ones(40);
    const auto base = nr_split_r(MatView::of(x), nr_outcome_matrix(VecView::of(y), {}), split, std::nullopt, false);
    const auto scaled = nr_split_r(MatView::of(x), nr_outcome_matrix(VecView::of(y_big), {}), split, std::nullopt, false);
    const auto unit = nr_split_r(MatView::of(x), nr_outcome_matrix(VecView::of(y), {}), split, VecView::of(ones), false);
    ASSERT_TRUE(base[0].has_value());
    EXPECT_EQ(base, scaled);
    EXPECT_EQ(base, unit);
    // No test rows, or a response constant on the test half: 0 without a refit.
    const SplitIdx no_test{split.train, {}};
    EXPECT_EQ(nr_split_r(MatView::of(x), nr_outcome_matrix(VecView::of(y), {}), no_test, std::nullopt, false)[0], 0.0);
    Eigen::VectorXd flat_test = y;
    for (const std::uint64_t i : split.test) flat_test[static_cast<Eigen::Index>(i)] = 2.5;
    EXPECT_EQ(nr_split_r(MatView::of(x), nr_outcome_matrix(VecView::of(flat_test), {}), split, std::nullopt, true)[0], 0.0);
}

// A split holds its training and test response blocks and its prediction
// block whole, a double per row of the half and response column; the
// estimate that sizes the batches counts at least these, and the
// test-by-training Gram matrix besides when it is used.
TEST(NrSplit, EstimateCoversTheResponseAndPredictionBlocks) {
    using Sizes = std::pair<std::uint64_t, std::uint64_t>;
    for (const auto& [n, B] : {Sizes{20000, 999}, Sizes{200, 9}, Sizes{7, 1}}) {
        const std::uint64_t m = n / 2, nt = n - m, C = B + 1;
        const std::uint64_t blocks = 8 * (m * C + nt * C + nt * C);
        EXPECT_GE(nr_split_bytes(m, nt, C, false), blocks) << n;
        EXPECT_GE(nr_split_bytes(m, nt, C, true), blocks + 8 * nt * m) << n;
    }
}
