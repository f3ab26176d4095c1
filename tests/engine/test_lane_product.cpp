// The product with responses as vector lanes: every entry is its running
// sum in index order, the same bits at every vector width and in every
// layout of A, and within rounding of a long-double product.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "veltra/lane_product.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;

namespace {

struct Shape {
    std::size_t rows, indices, columns;
};

// out(r, c) summed one index at a time from `start`, and the long-double
// sum with the sum of the terms' magnitudes.
struct Reference {
    double ordered;
    long double exact, magnitude;
};

Reference reference(const Eigen::MatrixXd& a, const std::vector<double>& b, std::size_t ld,
                    std::size_t r, std::size_t c, double start) {
    Reference ref{start, start, std::fabs(start)};
    for (Eigen::Index t = 0; t < a.cols(); ++t) {
        const double at = a(to_index(r), t), bt = b[static_cast<std::size_t>(t) * ld + c];
        const double term = at * bt;
        ref.ordered += term;
        ref.exact += static_cast<long double>(at) * bt;
        ref.magnitude += std::fabs(static_cast<long double>(term));
    }
    return ref;
}

}  // namespace

TEST(LaneProduct, EachEntryIsItsOrderedSumAtEveryWidthAndLayout) {
    // Shapes across the tile edges and the blocks of rows and of indices
    // (128 each), and lane counts that leave single vectors over.
    for (const Shape s : {Shape{1, 1, 1}, Shape{3, 5, 9}, Shape{7, 300, 24}, Shape{130, 513, 75},
                          Shape{5, 0, 16}}) {
        const std::size_t ld = lane_ld(s.columns);
        const Eigen::MatrixXd a = random_matrix(to_index(s.rows), to_index(s.indices), 3, 2.0);
        const Eigen::MatrixXd bm = random_matrix(to_index(s.indices), to_index(ld), 4);
        const Eigen::MatrixXd start = random_matrix(to_index(s.rows), to_index(ld), 5);
        std::vector<double> b(bm.size()), first;
        for (std::size_t t = 0; t < s.indices; ++t)
            for (std::size_t c = 0; c < ld; ++c) b[t * ld + c] = bm(to_index(t), to_index(c));
        for (const bool add : {false, true})
            for (const Layout layout : all_layouts)
                for (const std::size_t lanes : {2, 4, 8}) {
                    SCOPED_TRACE(::testing::Message() << s.rows << " x " << s.indices << " x "
                                                      << s.columns << " layout " << int(layout)
                                                      << " lanes " << lanes << " add " << add);
                    const Stored sa = store(a, layout);
                    std::vector<double> out(s.rows * ld);
                    for (std::size_t r = 0; r < s.rows; ++r)
                        for (std::size_t c = 0; c < ld; ++c)
                            out[r * ld + c] = add ? start(to_index(r), to_index(c))
                                                  : std::numeric_limits<double>::quiet_NaN();
                    lane_product(sa.view, b.data(), ld, out.data(), add, lanes);
                    if (first.empty()) first = out;
                    if (!add) {
                        EXPECT_EQ(std::memcmp(out.data(), first.data(), 8 * out.size()), 0);
                    }
                    for (std::size_t r = 0; r < s.rows; ++r)
                        for (std::size_t c = 0; c < ld; ++c) {
                            const Reference ref = reference(
                                a, b, ld, r, c, add ? start(to_index(r), to_index(c)) : 0.0);
                            const double got = out[r * ld + c];
                            ASSERT_TRUE(same_bits(got, ref.ordered)) << r << ", " << c;
                            const long double bound = (s.indices + 1) *
                                                      std::numeric_limits<double>::epsilon() *
                                                      ref.magnitude;
                            ASSERT_LE(std::fabs(got - ref.exact), bound) << r << ", " << c;
                        }
                }
    }
}
