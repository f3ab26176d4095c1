// The engine's guarantees: unit order, seeds drawn up front, results that
// do not depend on threads or batches, ordered pending refill, lazy
// permutation columns and saturating sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "resample/resample_test_support.hpp"
#include "veltra/resample/resample.hpp"

using namespace veltra;
using namespace veltra::resample;
using resample_test::ScopedBudget;

namespace {

// Each unit's first draw, its index and a few more draws, so that any mix-up
// of generators or order shows.
std::uint64_t unit_work(std::size_t i, ChaCha8Rng& g) {
    std::uint64_t v = g.next_u64() ^ i;
    for (int k = 0; k < 50; ++k) v += g.next_u32();
    return v;
}

std::vector<std::uint64_t> run_units(std::size_t n, std::uint64_t bytes) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(42);
    auto rows = map_units_seeded(rng, n, bytes, unit_work);
    rows.push_back(rng.next_u64());  // what the call's generator has left
    return rows;
}

}  // namespace

TEST(Resample, UnitsAtOnceFollowsTheBudget) {
    struct Case { const char* budget; std::uint64_t units, bytes, want; };
    const Case cases[] = {{"1000", 0, 10, 0},  {"1000", 7, 0, 7},   {"1000", 7, 100, 7},
                          {"300", 7, 100, 3},  {"1", 7, 100, 1},    {"junk", 7, 1u << 30, 2},
                          {"0", 7, 1, 1}};
    for (const Case& c : cases) {
        ScopedBudget budget(c.budget);
        EXPECT_EQ(units_at_once(c.units, c.bytes), c.want) << c.budget;
    }
}

TEST(Resample, SeededUnitsAreTheSameForEveryThreadCountAndBatch) {
    std::vector<std::uint64_t> reference;
    {
        ScopedBudget budget(nullptr);
        reference = run_units(37, 100);
    }
    // The call's generator gave exactly one 64-bit seed per unit, in unit
    // order, before any unit ran.
    ChaCha8Rng fresh = ChaCha8Rng::seed_from_u64(42);
    const std::vector<std::uint64_t> seeds = child_seeds(fresh, 37);
    EXPECT_EQ(reference.back(), fresh.next_u64());
    ChaCha8Rng unit3 = ChaCha8Rng::seed_from_u64(seeds[3]);
    EXPECT_EQ(reference[3], unit_work(3, unit3));

    for (const char* b : {"100", "200", "300", "1"}) {  // batches of 1, 2, 3 and 1 (over budget)
        ScopedBudget budget(b);
        EXPECT_EQ(run_units(37, 100), reference) << b;
        EXPECT_EQ(resample_test::on_one_thread([] { return run_units(37, 100); }), reference);
    }
    EXPECT_EQ(run_units(37, 0), reference);  // one batch of all units
    EXPECT_EQ(run_units(0, 8), std::vector<std::uint64_t>{ChaCha8Rng::seed_from_u64(42).next_u64()});
}

TEST(Resample, SeededRowsAndEachSeedKeepTheirOrder) {
    const std::vector<std::uint64_t> seeds = {5, 6, 7};
    std::vector<double> rows(6);
    parallel_fill_rows_seeded(rows, 2, seeds, [](std::size_t i, ChaCha8Rng& g, std::span<double> row) {
        row[0] = static_cast<double>(i);
        row[1] = static_cast<double>(g.next_u32());
    });
    const auto each = parallel_for_each_seeded(seeds, [](std::size_t, ChaCha8Rng& g) { return g.next_u32(); });
    for (std::size_t i = 0; i < 3; ++i) {
        ChaCha8Rng g = ChaCha8Rng::seed_from_u64(seeds[i]);
        const double first = g.next_u32();
        EXPECT_EQ(rows[2 * i], static_cast<double>(i));
        EXPECT_EQ(rows[2 * i + 1], first);
        EXPECT_EQ(each[i], first);
    }
    const auto noop = [](std::size_t, ChaCha8Rng&, std::span<double>) {};
    EXPECT_THROW(parallel_fill_rows_seeded(rows, 0, seeds, noop), InternalFailure);
    EXPECT_THROW(parallel_fill_rows_seeded(std::span<double>(rows).first(4), 2, seeds, noop),
                 InternalFailure);
}

TEST(Resample, FillPendingMergesInUnitThenColumnOrder) {
    using Slot = std::optional<int>;
    PendingTable<int> table = {{1, Slot{}, 3, Slot{}}, {5, 6}, {Slot{}, 8}};
    std::vector<std::size_t> asked_units;
    for (const char* b : {"1", "100000"}) {
        ScopedBudget budget(b);
        const auto full = fill_pending(table, 16, [&](std::size_t u, std::span<const std::size_t> cols) {
            if (std::string(b) == "1") asked_units.push_back(u);
            std::vector<int> v;
            for (const std::size_t c : cols) v.push_back(100 * static_cast<int>(u) + static_cast<int>(c));
            return v;
        });
        const std::vector<std::vector<int>> want = {{1, 1, 3, 3}, {5, 6}, {200, 8}};
        EXPECT_EQ(full, want);
    }
    EXPECT_EQ(asked_units, (std::vector<std::size_t>{0, 2}));
    int calls = 0;
    const auto same = fill_pending(PendingTable<int>{{1, 2}}, 8, [&](std::size_t, auto) {
        ++calls;
        return std::vector<int>{};
    });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(same, (std::vector<std::vector<int>>{{1, 2}}));
    for (const std::size_t wrong : {0, 3})
        EXPECT_THROW(fill_pending(table, 8, [&](std::size_t, auto) { return std::vector<int>(wrong); }),
                     InternalFailure);
}

TEST(Resample, SplitsAndColumnsDependOnTheirSeedAlone) {
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(9);
    const SplitIdx all_train = one_split(10, 10, rng);
    EXPECT_TRUE(all_train.test.empty());
    std::vector<std::uint64_t> sorted = all_train.train;
    std::sort(sorted.begin(), sorted.end());
    for (std::uint64_t i = 0; i < 10; ++i) EXPECT_EQ(sorted[i], i);
    ChaCha8Rng single = ChaCha8Rng::seed_from_u64(3), untouched = ChaCha8Rng::seed_from_u64(3);
    EXPECT_EQ(one_split(1, 1, single).train.size(), 1u);
    EXPECT_EQ(single.next_u64(), untouched.next_u64());
    EXPECT_THROW(one_split(3, 4, rng), InternalFailure);

    const Eigen::VectorXd y = Eigen::VectorXd::LinSpaced(20, 1.0, 20.0);
    const Columns forward(VecView::of(y), {11, 12, 13});
    const Columns backward(VecView::of(y), {11, 12, 13});
    EXPECT_EQ(forward.column(0), y);
    const Eigen::VectorXd c3 = backward.column(3), c1 = backward.column(1);
    EXPECT_EQ(forward.column(1), c1);
    EXPECT_EQ(forward.column(3), c3);
    EXPECT_NE(c1, y);
    Eigen::VectorXd s = c3;
    std::sort(s.begin(), s.end());
    EXPECT_EQ(s, y);
    EXPECT_THROW(forward.column(4), InternalFailure);
}

TEST(Resample, SizesSaturateAndImpossibleAllocationsThrow) {
    EXPECT_EQ(ceil8(0), 0u);
    EXPECT_EQ(ceil8(9), 16u);
    EXPECT_EQ(ceil8(u64_max - 3), u64_max);
    const std::vector<std::vector<std::size_t>> folds = {{0, 1, 2}, {3}};
    EXPECT_EQ(fold_blocks_bytes(10, {}, 5), 0u);
    EXPECT_EQ(fold_blocks_bytes(10, folds, 5), (16u * 5 + 8u * 5) * 8);  // the fold of 1: ceil8(9), ceil8(1)
    EXPECT_EQ(fold_blocks_bytes(u64_max / 2, folds, u64_max / 3), u64_max);
    // A count no memory can hold fails as a thrown standard exception, which
    // the registry's guard reports as `internal`; it never wraps to a small size.
    ChaCha8Rng rng = ChaCha8Rng::seed_from_u64(0);
    EXPECT_THROW(map_units_seeded(rng, std::numeric_limits<std::size_t>::max(), 8,
                                  [](std::size_t, ChaCha8Rng&) { return 0; }),
                 std::exception);
}
