// The block fit of many responses on one prepared X: each response's fit is
// the bits of its own single-response fit, whatever the block around it,
// the layouts, the vector width, selection and early stops.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "engine/pls_reference.hpp"
#include "veltra/component_block.hpp"
#include "veltra/fit_x.hpp"
#include "veltra/linalg.hpp"
#include "veltra/standardize.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;
namespace ref = pls_reference;

namespace {

// A standardised X and responses of every kind a permutation test meets:
// the signal, its permutations, noise, a zero column and one that X cannot
// explain past its first component.
struct Case {
    Eigen::MatrixXd xs;
    Eigen::MatrixXd ys;
};

Case make_case(Eigen::Index n, Eigen::Index p, unsigned seed) {
    const ref::Data d = ref::latent_data(n, p, seed);
    const FitX fx = fit_x_moments(view(d.x), std::nullopt, std::nullopt, par_sequential);
    Case c{fx.materialize(view(d.x)), Eigen::MatrixXd(n, 13)};
    const Eigen::VectorXd y = standardize1_weighted(view(d.y)).y_std;
    const Eigen::MatrixXd noise = random_matrix(n, 13, seed + 1);
    for (Eigen::Index j = 0; j < 13; ++j) {
        for (Eigen::Index i = 0; i < n; ++i) c.ys(i, j) = y[(i * (j + 1) + j) % n];
        if (j % 4 == 3) c.ys.col(j) = noise.col(j);
    }
    c.ys.col(5).setZero();
    c.ys.col(9) = c.xs.col(0);
    return c;
}

void expect_each_fit_alone(const Case& c, MatView xs, MatView ys, std::size_t k,
                           std::optional<std::size_t> keep, std::size_t lanes) {
    const double fro = stable_norm(MatView::of(c.xs));
    const auto block = pls1_fit_prepared_block(xs, ys, k, keep, fro, lanes);
    ASSERT_EQ(block.size(), ys.cols);
    for (std::size_t j = 0; j < ys.cols; ++j) {
        const Eigen::VectorXd y = c.ys.col(to_index(j));
        const PreparedFit alone =
            pls1_fit_prepared_fro(MatView::of(c.xs), view(y), k, keep, fro, par_sequential);
        SCOPED_TRACE("response " + std::to_string(j));
        expect_same_fit(block[j], alone);
    }
}

}  // namespace

TEST(ComponentBlock, EachResponseGetsTheBitsOfItsOwnFit) {
    // Few and many columns (one and several column parts of X v), few and
    // many rows (odd and even row parts of X'z), both sides of the column
    // count at which X'z streams whole columns.
    struct Shape { Eigen::Index n, p; };
    for (const Shape s : {Shape{40, 12}, Shape{37, 300}, Shape{161, 700}, Shape{9, 40}}) {
        const Case c = make_case(s.n, s.p, 7 + unsigned(s.p));
        for (const std::size_t lanes : {2, 4, 8})
            for (const std::optional<std::size_t> keep : {std::optional<std::size_t>{},
                                                          std::optional<std::size_t>{3}}) {
                SCOPED_TRACE(std::to_string(s.n) + " x " + std::to_string(s.p) + " lanes " +
                             std::to_string(lanes) + (keep ? " keep 3" : ""));
                expect_each_fit_alone(c, view(c.xs), view(c.ys), 4, keep, lanes);
            }
    }
}

TEST(ComponentBlock, LayoutsAndBlockWidthsDoNotMatter) {
    const Case c = make_case(53, 290, 3);
    for (const Layout layout : all_layouts) {
        const Stored xs = store(c.xs, layout);
        const Stored ys = store(c.ys, layout);
        expect_each_fit_alone(c, xs.view, ys.view, 3, std::nullopt, 8);
    }
    // Blocks of one, of a vector's width and past it, cut from the same
    // responses.
    for (const std::size_t w : {1, 8, 9}) {
        const MatView ys{c.ys.data(), 53, w, 1, 53};
        expect_each_fit_alone(c, view(c.xs), ys, 3, std::nullopt, 8);
    }
}

TEST(ComponentBlock, ResponsesStopOnTheirOwn) {
    // X of rank 2: every response is exhausted after at most two
    // components, a response in the span of one column after one, the zero
    // response before the first; the others in the block go on.
    const Eigen::MatrixXd basis = random_matrix(24, 2, 5);
    Case c{basis * random_matrix(2, 7, 6), random_matrix(24, 5, 8)};
    c.ys.col(1) = c.xs.col(2);
    c.ys.col(3).setZero();
    const double fro = stable_norm(MatView::of(c.xs));
    const auto block = pls1_fit_prepared_block(view(c.xs), view(c.ys), 5, std::nullopt, fro);
    EXPECT_EQ(block[3].k_used, 0u);
    EXPECT_LE(block[1].k_used, 2u);
    EXPECT_EQ(block[0].k_used, 2u);
    expect_each_fit_alone(c, view(c.xs), view(c.ys), 5, std::nullopt, 8);
    expect_each_fit_alone(c, view(c.xs), view(c.ys), 5, 1, 4);
}

TEST(ComponentBlock, ByteEstimateCountsEveryResponseAndSaturates) {
    const std::uint64_t one = prepared_block_fit_bytes(160, 5000, 3, 1);
    const std::uint64_t many = prepared_block_fit_bytes(160, 5000, 3, 32);
    // Per response at least its p x k weights, rotations and loadings.
    EXPECT_GE(many, 32u * 3u * 5000u * 3u * 8u);
    EXPECT_GE(one, 3u * 5000u * 3u * 8u + (160u + 5000u) * 8u * 8u);
    EXPECT_EQ(prepared_block_fit_bytes(std::uint64_t{1} << 60, std::uint64_t{1} << 60, 3, 64),
              std::numeric_limits<std::uint64_t>::max());
}
