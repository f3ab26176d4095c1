#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/fold_split.hpp"

using namespace veltra;

TEST(FoldSplit, SizesAndContiguousSlices) {
    const std::vector<std::size_t> order = {7, 2, 9, 0, 4, 1, 8, 3, 6, 5};
    using Folds = std::vector<std::vector<std::size_t>>;
    EXPECT_EQ(fold_split(order, 3), (Folds{{7, 2, 9, 0}, {4, 1, 8}, {3, 6, 5}}));
    EXPECT_EQ(fold_split(std::vector<std::size_t>{1, 0}, 3), (Folds{{1}, {0}, {}}));
    // Concatenated in fold order, the folds give back the order.
    std::vector<std::size_t> many(103), joined;
    std::iota(many.begin(), many.end(), std::size_t{0});
    for (const auto& f : fold_split(many, 10)) {
        EXPECT_EQ(f.size(), joined.size() < 30 ? 11u : 10u);
        joined.insert(joined.end(), f.begin(), f.end());
    }
    EXPECT_EQ(joined, many);
    testing::internal::CaptureStderr();
    EXPECT_THROW(fold_split(order, 0), InternalFailure);
    testing::internal::GetCapturedStderr();
}
