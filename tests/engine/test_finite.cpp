#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "veltra/finite.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;

TEST(CheckFiniteMat, InPartsFindsEveryNonFiniteEntryInAnyLayout) {
    // 37 x 23: lines of either storage order fall unevenly into the parts.
    Eigen::MatrixXd x(37, 23);
    for (Eigen::Index i = 0; i < x.size(); ++i) x.data()[i] = 1e300 * std::sin(double(i));
    for (const Layout l : all_layouts)
        for (const Par par : {par_sequential, par_parallel}) EXPECT_TRUE(check_finite_mat(store(x, l).view, par));
    for (const Eigen::Index at : {Eigen::Index{0}, Eigen::Index{400}, x.size() - 1}) {
        for (const double bad : {NAN, INFINITY, -INFINITY}) {
            Eigen::MatrixXd d = x;
            d.data()[at] = bad;
            for (const Layout l : all_layouts) {
                for (const Par par : {par_sequential, par_parallel}) {
                    const auto r = check_finite_mat(store(d, l).view, par);
                    ASSERT_FALSE(r) << at;
                    EXPECT_EQ(r.error().code(), "non_finite_input");
                }
            }
        }
    }
    const Eigen::MatrixXd none(0, 5);
    EXPECT_TRUE(check_finite_mat(store(none, Layout::row_major).view, par_parallel));
    EXPECT_TRUE(check_finite_mat(view(none)));
}
