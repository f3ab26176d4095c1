// Run settings of a public entry: the thread cap (VELTRA_NUM_THREADS), the
// memory budget (VELTRA_MEMORY_BUDGET), and the cached capped pool a capped
// call runs in.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include <tbb/task_arena.h>

#include "veltra/error.hpp"

namespace veltra {

inline constexpr std::string_view num_threads_var = "VELTRA_NUM_THREADS";
inline constexpr std::string_view memory_budget_var = "VELTRA_MEMORY_BUDGET";
inline constexpr std::uint64_t default_memory_budget = 2147483648ULL;  // 2 GiB

// "0" is no cap (nullopt); otherwise an optional "+" and digits, at least 1.
Result<std::optional<std::uint64_t>> parse_num_threads(std::string_view text);

// Digits, then an optional K/M/G/T (powers of two) and an optional B or iB.
Result<std::uint64_t> parse_memory_budget(std::string_view text);

// The budget the resampling loops size their batches by: the variable read
// afresh, 2 GiB when it is unset or does not parse (the wrapped entries have
// refused a malformed value before any work).
std::uint64_t memory_budget_bytes();

// Threads the calling thread may use: its pool's size when it runs inside a
// pool, else the online processors (1 when that cannot be read).
std::uint64_t available_threads();

namespace detail {
// Validates both settings; returns the capped pool to run in, or null to run
// on the calling thread.
Result<std::shared_ptr<tbb::task_arena>> enter_settings();
// The pool the process-wide slot holds now (null when empty).
std::shared_ptr<tbb::task_arena> cached_pool();
}  // namespace detail

// The entry wrapper of every public operation that runs parallel work: checks
// the settings, then runs the body on the calling thread or inside the capped
// pool while the calling thread waits. The body returns a Result.
template <class Body>
auto run_entry(Body&& body) -> std::invoke_result_t<Body&> {
    using R = std::invoke_result_t<Body&>;
    VELTRA_TRY(pool, detail::enter_settings());
    if (!*pool) return body();
    std::optional<R> out;
    // The call's reference keeps the pool alive even if another call replaces
    // the cached one meanwhile.
    std::shared_ptr<tbb::task_arena> arena = std::move(*pool);
    arena->execute([&] { out.emplace(body()); });
    return std::move(*out);
}

}  // namespace veltra
