#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "veltra/error.hpp"
#include "veltra/fold_split.hpp"

using namespace veltra;

TEST(FoldSplit, SizesAndContiguousSlices) {
    const std::vector<std::size_t> order = {7, 2, 9, 0, 4, 1, 8, 3, 6, 5};
    const auto folds = fold_split(order, 3);
    ASSERT_EQ(folds.size(), 3u);
    EXPECT_EQ(folds[0], (std::vector<std::size_t>{7, 2, 9, 0}));
    EXPECT_EQ(folds[1], (std::vector<std::size_t>{4, 1, 8}));
    EXPECT_EQ(folds[2], (std::vector<std::size_t>{3, 6, 5}));

    const auto small = fold_split(std::vector<std::size_t>{1, 0}, 3);
    ASSERT_EQ(small.size(), 3u);
    EXPECT_EQ(small[0], std::vector<std::size_t>{1});
    EXPECT_EQ(small[1], std::vector<std::size_t>{0});
    EXPECT_TRUE(small[2].empty());

    // Concatenated in fold order, the folds give back the order.
    std::vector<std::size_t> many(103);
    std::iota(many.begin(), many.end(), std::size_t{0});
    std::vector<std::size_t> joined;
    for (const auto& f : fold_split(many, 10)) {
        EXPECT_EQ(f.size(), joined.size() < 30 ? 11u : 10u);
        joined.insert(joined.end(), f.begin(), f.end());
    }
    EXPECT_EQ(joined, many);
}

TEST(FoldSplit, ZeroFoldsIsAnInternalFailure) {
    const std::vector<std::size_t> order = {0, 1};
    EXPECT_THROW(fold_split(order, 0), InternalFailure);
}
