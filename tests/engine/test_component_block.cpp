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
    const Eigen::MatrixXd block = pls1_coef_prepared_block(xs, ys, k, keep, fro, lanes);
    ASSERT_EQ(block.cols(), to_index(ys.cols));
    for (std::size_t j = 0; j < ys.cols; ++j) {
        const Eigen::VectorXd y = c.ys.col(to_index(j));
        const PreparedFit alone =
            pls1_fit_prepared_fro(MatView::of(c.xs), view(y), k, keep, fro, par_sequential);
        EXPECT_TRUE(same_bits(block.col(to_index(j)), alone.coef)) << "response " << j;
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
    // X of rank 2: every response is exhausted after two components, the
    // zero response before the first; the others in the block go on.
    const Eigen::MatrixXd basis = random_matrix(24, 2, 5);
    Case c{basis * random_matrix(2, 7, 6), random_matrix(24, 5, 8)};
    c.ys.col(1) = c.xs.col(2);
    c.ys.col(3).setZero();
    const double fro = stable_norm(MatView::of(c.xs));
    std::vector<std::size_t> used;
    for (Eigen::Index j = 0; j < 5; ++j) {
        const Eigen::VectorXd y = c.ys.col(j);
        used.push_back(
            pls1_fit_prepared_fro(view(c.xs), view(y), 5, std::nullopt, fro, par_sequential).k_used);
    }
    EXPECT_EQ(used, (std::vector<std::size_t>{2, 2, 2, 0, 2}));
    EXPECT_TRUE(pls1_coef_prepared_block(view(c.xs), view(c.ys), 5, std::nullopt, fro)
                    .col(3)
                    .isZero(0.0));
    expect_each_fit_alone(c, view(c.xs), view(c.ys), 5, std::nullopt, 8);
    expect_each_fit_alone(c, view(c.xs), view(c.ys), 5, 1, 4);
}

TEST(ComponentBlock, MoreResponsesThanOneBlock) {
    // 40 responses: blocks of 16, 16 and 8 share one call's buffers.
    Case c = make_case(30, 45, 9);
    Eigen::MatrixXd ys(30, 40);
    for (Eigen::Index j = 0; j < 40; ++j) ys.col(j) = c.ys.col(j % 13) * (1.0 + 0.01 * double(j));
    c.ys = ys;
    expect_each_fit_alone(c, view(c.xs), view(c.ys), 3, std::nullopt, 8);
    expect_each_fit_alone(c, view(c.xs), view(c.ys), 3, 4, 2);
}

TEST(ComponentBlock, ByteEstimateCountsTheBlockAndSaturates) {
    // At least W, R and P of every component for a block of 16 lanes, and
    // the coefficients of every response.
    EXPECT_GE(prepared_block_fit_bytes(160, 5000, 3, 64), (3u * 3u * 5000u * 16u + 5000u * 64u) * 8u);
    EXPECT_GE(prepared_block_fit_bytes(160, 5000, 3, 1), 3u * 3u * 5000u * 8u * 8u);
    EXPECT_EQ(prepared_block_fit_bytes(std::uint64_t{1} << 60, std::uint64_t{1} << 60, 3, 64),
              std::numeric_limits<std::uint64_t>::max());
}

TEST(ComponentBlock, MatVecColumnsAreMatVecBitForBit) {
    // Rows around whole vectors and row parts of one row (where mat_vec
    // takes another order), columns below and above the blocked widths,
    // and a column stride long enough for the narrow blocks.
    struct Shape { Eigen::Index m, p, stride; };
    for (const Shape s : {Shape{40, 5000, 40}, Shape{7, 90, 7}, Shape{1, 300, 1}, Shape{9, 4000, 9},
                          Shape{33, 200, 4100}, Shape{2, 129, 2}, Shape{12, 110, 12},
                          Shape{300, 3, 300}}) {
        Eigen::MatrixXd storage = random_matrix(s.stride, s.p, unsigned(s.m + s.p));
        const MatView a{storage.data(), std::size_t(s.m), std::size_t(s.p), 1, s.stride};
        const Eigen::MatrixXd x = random_matrix(s.p, 21, 4);
        for (const std::size_t lanes : {2, 8}) {
            const Eigen::MatrixXd got = mat_vec_columns(a, view(x), lanes);
            for (Eigen::Index c = 0; c < 21; ++c) {
                const Eigen::VectorXd xc = x.col(c);
                EXPECT_TRUE(same_bits(got.col(c), mat_vec(a, view(xc), par_sequential)))
                    << s.m << " x " << s.p << " column " << c << " lanes " << lanes;
            }
        }
    }
}
