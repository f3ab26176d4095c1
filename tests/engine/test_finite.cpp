#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "veltra/finite.hpp"

using namespace veltra;

TEST(CheckFiniteMat, AnyLayout) {
    double data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(check_finite_mat(MatView::col_major(data, 2, 3)));
    EXPECT_TRUE(check_finite_mat(MatView::row_major(data, 2, 3)));
    data[4] = -INFINITY;
    const auto r = check_finite_mat(MatView::row_major(data, 3, 2));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code(), "non_finite_input");
    EXPECT_FALSE(check_finite_mat(MatView{data + 5, 3, 2, -1, -3}));
    EXPECT_TRUE(check_finite_mat(MatView::col_major(data, 0, 3)));
}

TEST(CheckFiniteMat, InPartsFindsEveryNonFiniteEntry) {
    // 37 x 23: lines of either storage order fall unevenly into the parts.
    std::vector<double> data(37 * 23);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = 1e300 * std::sin(double(i));
    const std::vector<MatView> views = {MatView::col_major(data.data(), 37, 23),
                                        MatView::row_major(data.data(), 37, 23),
                                        MatView{data.data(), 18, 23, 2, 37}};
    for (const MatView& v : views) {
        EXPECT_TRUE(check_finite_mat(v, par_parallel));
        EXPECT_TRUE(check_finite_mat(v, par_sequential));
    }
    for (const std::size_t at : {std::size_t{0}, std::size_t{400}, data.size() - 1}) {
        for (const double bad : {NAN, INFINITY, -INFINITY}) {
            std::vector<double> d = data;
            d[at] = bad;
            for (const MatView& v : {MatView::col_major(d.data(), 37, 23),
                                     MatView::row_major(d.data(), 37, 23)}) {
                for (const Par par : {par_sequential, par_parallel}) {
                    const auto r = check_finite_mat(v, par);
                    ASSERT_FALSE(r) << at;
                    EXPECT_EQ(r.error().code(), "non_finite_input");
                }
            }
        }
    }
    EXPECT_TRUE(check_finite_mat(MatView::row_major(data.data(), 0, 5), par_parallel));
}
