#include <gtest/gtest.h>

#include <stdlib.h>

#include <mutex>
#include <set>
#include <thread>

#include <tbb/parallel_for.h>

#include "veltra/settings.hpp"
#include "test_support.hpp"

using namespace veltra;

namespace {

using test_support::message_of;

// Both settings for one scope.
struct Env {
    test_support::EnvGuard threads, budget;
    Env(const char* t, const char* b) : threads("VELTRA_NUM_THREADS", t), budget("VELTRA_MEMORY_BUDGET", b) {}
};

// Distinct threads that ran the iterations of a parallel loop, and the pool
// size seen from inside.
struct LoopSeen {
    std::size_t threads;
    int concurrency;
};

LoopSeen observe_parallel_loop() {
    std::mutex m;
    std::set<std::thread::id> ids;
    tbb::parallel_for(0, 256, [&](int) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard<std::mutex> g(m);
        ids.insert(std::this_thread::get_id());
    });
    return {ids.size(), tbb::this_task_arena::max_concurrency()};
}

}  // namespace

TEST(ParseNumThreads, AcceptsZeroAndPositiveCounts) {
    EXPECT_EQ(parse_num_threads("0").value(), std::nullopt);
    for (const auto& [text, n] : {std::pair<const char*, std::uint64_t>{"4", 4}, {"+4", 4},
                                  {"18446744073709551615", UINT64_MAX}})
        EXPECT_EQ(parse_num_threads(text).value(), n) << text;
}

TEST(ParseNumThreads, RefusesEverythingElseWithTheQuotedValue) {
    const std::string head = "VELTRA_NUM_THREADS must be a positive integer or 0, got ";
    for (const auto& [bad, quoted] : std::initializer_list<std::pair<const char*, const char*>>{
             {"00", "\"00\""}, {"+0", "\"+0\""}, {"-1", "\"-1\""}, {"", "\"\""},
             {" 4", "\" 4\""}, {"4 ", "\"4 \""}, {"+", "\"+\""}, {"-", "\"-\""},
             {"1.5", "\"1.5\""}, {"four", "\"four\""}, {"++4", "\"++4\""},
             {"18446744073709551616", "\"18446744073709551616\""},
             {"4\n", "\"4\\n\""}, {"\xff", "\"\\xff\""}}) {
        const auto r = parse_num_threads(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.error().code(), "invalid_argument");
        EXPECT_EQ(message_of(r.error()), head + quoted);
    }
}

TEST(ParseMemoryBudget, UnitsArePowersOfTwo) {
    for (const char* two_gib : {"2G", "2g", "2GB", "2GiB", "2gib", "2Gb", "2147483648"})
        EXPECT_EQ(parse_memory_budget(two_gib).value(), 2147483648ULL) << two_gib;
    for (const auto& [text, bytes] : std::initializer_list<std::pair<const char*, std::uint64_t>>{
             {"512", 512}, {"512B", 512}, {"512b", 512}, {"0", 0}, {"3k", 3072},
             {"1MiB", 1048576}, {"1T", 1ULL << 40}, {"16777215T", 16777215ULL << 40}})
        EXPECT_EQ(parse_memory_budget(text).value(), bytes) << text;
}

TEST(ParseMemoryBudget, RefusesMalformedValues) {
    for (const char* bad : {"+5", "5iB", "iB", "KB", "K", "1.5G", "5 K", "20000000000T", "", "B",
                            "-1", "16777216T", "5KK", "5BB", "18446744073709551616", "G5"}) {
        const auto r = parse_memory_budget(bad);
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(message_of(r.error()),
                  std::string("VELTRA_MEMORY_BUDGET must be a whole number of bytes with an "
                              "optional K, M, G or T and an optional B or iB (for example 2G), "
                              "got \"") +
                      bad + "\"");
    }
}

TEST(MemoryBudgetBytes, FallsBackToTwoGiB) {
    for (const auto& [budget, bytes] : std::initializer_list<std::pair<const char*, std::uint64_t>>{
             {nullptr, 2147483648ULL}, {"1.5G", 2147483648ULL}, {"3M", 3145728}}) {
        Env env(nullptr, budget);
        EXPECT_EQ(memory_budget_bytes(), bytes);
    }
}

TEST(RunEntry, ThreadSettingIsCheckedFirstThenTheBudget) {
    int ran = 0;
    auto body = [&]() -> Result<int> { return ++ran; };
    {
        Env env("00", "1.5G");
        const auto r = run_entry(body);
        ASSERT_FALSE(r);
        EXPECT_NE(message_of(r.error()).find("VELTRA_NUM_THREADS"), std::string::npos);
    }
    {
        // A malformed budget fails even an entry that never batches.
        Env env("0", "1.5G");
        const auto r = run_entry(body);
        ASSERT_FALSE(r);
        EXPECT_NE(message_of(r.error()).find("VELTRA_MEMORY_BUDGET"), std::string::npos);
    }
    EXPECT_EQ(ran, 0);
    {
        Env env(nullptr, "2G");
        EXPECT_EQ(run_entry(body).value(), 1);
    }
}

TEST(RunEntry, NoCapRunsOnTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    for (const char* setting : {static_cast<const char*>(nullptr), "0", "100000"}) {
        Env env(setting, nullptr);
        const auto before = detail::cached_pool();
        const auto where = run_entry([]() -> Result<std::thread::id> {
            return std::this_thread::get_id();
        });
        EXPECT_EQ(where.value(), caller);
        EXPECT_EQ(detail::cached_pool(), before);  // no pool built
    }
}

TEST(RunEntry, PoolIsReusedForTheSameCapAndReplacedForAnother) {
    if (available_threads() < 4) GTEST_SKIP() << "needs at least 4 threads";
    const auto pool_for = [](const char* cap) {
        Env env(cap, nullptr);
        const auto seen = run_entry([]() -> Result<LoopSeen> { return observe_parallel_loop(); });
        EXPECT_LE(seen->threads, static_cast<std::size_t>(std::stoul(cap)));
        EXPECT_EQ(seen->concurrency, std::stoi(cap));
        return detail::cached_pool();
    };
    const auto first = pool_for("2");
    EXPECT_EQ(pool_for("2"), first);
    const auto second = pool_for("3");
    EXPECT_NE(second, first);
    EXPECT_EQ(second->max_concurrency(), 3);
    const auto third = pool_for("2");
    EXPECT_NE(third, second);
    EXPECT_EQ(third->max_concurrency(), 2);
}

TEST(RunEntry, CappedCallInsideTheCappedPoolRunsDirectly) {
    if (available_threads() < 3) GTEST_SKIP() << "needs at least 3 threads";
    Env env("2", nullptr);
    const auto r = run_entry([]() -> Result<bool> {
        const auto outer_pool = detail::cached_pool();
        const auto outer_thread = std::this_thread::get_id();
        EXPECT_EQ(available_threads(), 2u);
        const auto inner = run_entry([&]() -> Result<bool> {
            return std::this_thread::get_id() == outer_thread &&
                   tbb::this_task_arena::max_concurrency() == 2;
        });
        return inner.value() && detail::cached_pool() == outer_pool;
    });
    EXPECT_TRUE(r.value());
}

TEST(RunEntry, InternalFailurePropagatesOutOfThePool) {
    if (available_threads() < 2) GTEST_SKIP() << "needs at least 2 threads";
    Env env("1", nullptr);
    testing::internal::CaptureStderr();
    EXPECT_THROW(run_entry([]() -> Result<int> { internal_failure("boom"); }), InternalFailure);
    testing::internal::GetCapturedStderr();
}
