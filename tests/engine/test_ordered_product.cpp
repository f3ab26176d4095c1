#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include <tbb/task_arena.h>

#include "veltra/fit_x.hpp"
#include "veltra/ordered_product.hpp"
#include "veltra/parallel.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;

namespace {

// The textbook sums in the documented order: over each fixed part of the
// indices (or all of them) a running sum from zero, the parts added in order.
Eigen::MatrixXd reference_product(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
    const std::size_t rows = a.rows(), k = a.cols(), cols = b.cols();
    const bool split = splits_sum(rows, k, cols);
    Eigen::MatrixXd out(a.rows(), b.cols());
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            double total = 0.0;
            const std::size_t parts = split ? fixed_parts : 1;
            for (std::size_t i = 0; i < parts; ++i) {
                const IndexSpan s = split ? part_span(k, i) : IndexSpan{0, k};
                double part = 0.0;
                for (std::size_t t = s.begin; t < s.end; ++t) part += a(r, t) * b(t, c);
                total = i == 0 ? part : total + part;
            }
            out(r, c) = total;
        }
    }
    return out;
}

// Every storage of A and B, sequential, parallel and on one thread, against
// the reference sums.
void expect_exact(Eigen::Index rows, Eigen::Index k, Eigen::Index cols, unsigned seed) {
    const Eigen::MatrixXd a = random_matrix(rows, k, seed, 0.5), b = random_matrix(k, cols, seed + 1, 0.5);
    const Eigen::MatrixXd ref = reference_product(a, b);
    const RowMajor ar = a, br = b;
    // A stored with gaps between its entries in both directions.
    Eigen::MatrixXd wide = Eigen::MatrixXd::Constant(2 * rows + 1, 3 * k + 1, 7.0);
    for (Eigen::Index t = 0; t < k; ++t)
        for (Eigen::Index r = 0; r < rows; ++r) wide(2 * r, 3 * t) = a(r, t);
    const MatView a_strided{wide.data(), static_cast<std::size_t>(rows),
                            static_cast<std::size_t>(k), 2, 3 * wide.rows()};
    const Eigen::MatrixXd at = a.transpose();
    const std::vector<MatView> as = {view(a), view(ar), a_strided, view(at).transposed()};
    const std::vector<MatView> bs = {MatView::of(b), view(br)};
    for (const MatView& av : as) {
        for (const MatView& bv : bs) {
            EXPECT_TRUE(same_bits(ordered_product(av, bv, par_sequential), ref))
                << rows << "x" << k << "x" << cols;
            EXPECT_TRUE(same_bits(ordered_product(av, bv, par_parallel), ref));
            EXPECT_TRUE(same_bits(ordered_product(av, bv, par_parallel, false), ref));
        }
    }
    EXPECT_TRUE(same_bits(in_one_thread([&] { return ordered_product(view(ar), MatView::of(b), par_parallel); }), ref));
}

}  // namespace

TEST(OrderedProduct, SumsInTheDocumentedOrderWhateverTheLayout) {
    expect_exact(1, 1, 1, 1);
    expect_exact(3, 5, 2, 2);
    expect_exact(37, 29, 11, 3);      // every tile width and panel tail
    expect_exact(130, 70, 7, 4);      // several blocks of indices
    expect_exact(2, 700, 3, 5);       // sums split: few rows, long sums
    expect_exact(45, 3000, 20, 6);    // split, rows past a panel, long stretches
    expect_exact(600, 90, 1, 7);      // one column of B, rows in two blocks
    expect_exact(1100, 33, 10, 8);    // many row blocks
}

TEST(OrderedProduct, SplitsOnlyLongSumsWithSmallOutputs) {
    EXPECT_TRUE(splits_sum(2000, 20000, 20));
    EXPECT_FALSE(splits_sum(20000, 2000, 10));  // X W: one task per row band
    EXPECT_FALSE(splits_sum(20000, 20000, 10));
    EXPECT_FALSE(splits_sum(10, 1000, 16));     // 64 columns need 1024 indices
    EXPECT_TRUE(splits_sum(10, 1024, 16));
}

TEST(OrderedProduct, EmptyShapes) {
    const Eigen::MatrixXd a(4, 0), b(0, 3);
    const Eigen::MatrixXd z = ordered_product(MatView::of(a), MatView::of(b), par_parallel);
    EXPECT_TRUE(z.rows() == 4 && z.cols() == 3 && (z.array() == 0.0).all());
    const Eigen::MatrixXd c(0, 5), d(5, 2);
    EXPECT_EQ(ordered_product(MatView::of(c), MatView::of(d), par_sequential).rows(), 0);
}

TEST(OrderedProduct, CrossProductAlongTheMomentsHasTheProductsBits) {
    // X'B formed by the moment pass, block by block of X's columns, against
    // the documented sums of X'B; the moments themselves must not move. A
    // row-major X past 1024 rows is streamed in strips, other layouts take
    // the column path; split and unsplit sums, B widths off the lanes.
    const std::vector<std::array<Eigen::Index, 3>> shapes = {
        {1, 1, 1}, {7, 3, 2}, {40, 21, 9}, {1030, 13, 20}, {2100, 70, 4}, {3000, 11, 17},
        {300, 300, 20}, {90, 2000, 20}};
    for (const auto& [n, p, q] : shapes) {
        Eigen::MatrixXd x = random_matrix(n, p, 21, 2.0);
        for (Eigen::Index j = 0; j < p; ++j) x.col(j).array() += double(j % 5);
        const Eigen::MatrixXd b = random_matrix(n, q, 22, 0.5);
        const Eigen::MatrixXd ref = reference_product(x.transpose(), b);
        const FitX plain = fit_x_moments(view(x), std::nullopt, std::nullopt, par_sequential);
        const RowMajor br = b;
        for (Layout layout : all_layouts)
            for (Par par : {par_sequential, par_parallel})
                for (const std::size_t lanes : {8, 4, 2}) {
                    const Stored s = store(x, layout);
                    const MatView bv = lanes == 4 ? view(br) : MatView::of(b);
                    const OrderedXt xt(bv, std::size_t(p), par, lanes);
                    std::vector<double> g(std::size_t(p) * xt.ld(), 9.0);
                    const FitX fx = fit_x_moments_with_product(s.view, xt, g.data(), par);
                    EXPECT_TRUE(same_bits(fx.mean, plain.mean) && same_bits(fx.scale, plain.scale) &&
                                same_bits(fx.fro, plain.fro));
                    Eigen::MatrixXd got(p, q);
                    for (Eigen::Index j = 0; j < p; ++j)
                        for (Eigen::Index c = 0; c < q; ++c) got(j, c) = g[j * xt.ld() + c];
                    EXPECT_TRUE(same_bits(got, ref)) << n << " x " << p << " x " << q;
                }
        // Sums in long double: the order itself may not move them.
        const Eigen::MatrixXd exact =
            (x.cast<long double>().transpose() * b.cast<long double>()).cast<double>();
        EXPECT_LT((ref - exact).cwiseAbs().maxCoeff(), 1e-12 * (1 + exact.cwiseAbs().maxCoeff()));
    }
}

TEST(OrderedProduct, LeftProductWithoutPanelsHasTheProductsBits) {
    // A B through OrderedXt::left_product (bands of rows, B's columns in the
    // lanes) against the documented sums, whatever A's layout.
    const std::vector<std::array<Eigen::Index, 3>> shapes = {
        {1, 1, 1}, {9, 5, 3}, {130, 70, 10}, {45, 3000, 20}, {2, 700, 3}, {300, 1100, 16}};
    for (const auto& [rows, k, cols] : shapes) {
        const Eigen::MatrixXd a = random_matrix(rows, k, 31, 0.5), b = random_matrix(k, cols, 32, 0.5);
        const Eigen::MatrixXd ref = reference_product(a, b);
        for (Layout layout : all_layouts)
            for (Par par : {par_sequential, par_parallel})
                for (const std::size_t lanes : {8, 4, 2}) {
                    const Stored s = store(a, layout);
                    const OrderedXt xt(MatView::of(b), std::size_t(rows), par, lanes);
                    EXPECT_TRUE(same_bits(xt.left_product(s.view, par), ref))
                        << rows << " x " << k << " x " << cols;
                }
    }
}
