#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/pls_reference.hpp"
#include "veltra/fit.hpp"
#include "veltra/predict.hpp"
#include "test_support.hpp"

using namespace veltra;
using namespace test_support;
namespace ref = pls_reference;

namespace {

Pls1Model fitted(const ref::Data& d, std::size_t k) {
    auto m = pls1_fit(MatView::of(d.x), VecView::of(d.y), k, std::nullopt, strict_opts());
    EXPECT_TRUE(m);
    return *m;
}

}  // namespace

TEST(Pls1Predict, ShapeAndFinitenessChecks) {
    const auto d = ref::latent_data(30, 3, 1);
    const Pls1Model m = fitted(d, 2);
    const Eigen::MatrixXd none(0, 3);
    const auto empty = pls1_predict(m, MatView::of(none));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0);

    // A NaN anywhere fails, also where the coefficient is zero.
    Pls1Model zero_col = m;
    zero_col.beta[1] = 0.0;
    for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                       -std::numeric_limits<double>::infinity()}) {
        Eigen::MatrixXd x = d.x.topRows(5);
        x(4, 1) = bad;
        const auto r = pls1_predict(zero_col, MatView::of(x));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), "non-finite values in input");
    }
}
