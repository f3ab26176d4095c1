#include "veltra/settings.hpp"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "veltra/text.hpp"

namespace veltra {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits only, fitting in 64 bits.
std::optional<std::uint64_t> parse_digits(std::string_view s) {
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (!is_digit(c)) return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

bool is_char(char c, char upper) { return c == upper || c == upper - 'A' + 'a'; }

int unit_shift(char c) {
    if (is_char(c, 'K')) return 10;
    if (is_char(c, 'M')) return 20;
    if (is_char(c, 'G')) return 30;
    if (is_char(c, 'T')) return 40;
    return -1;
}

VeltraError num_threads_error(std::string_view text) {
    return VeltraError::InvalidArgument{std::string(num_threads_var) +
                                        " must be a positive integer or 0, got " +
                                        debug_quoted(text)};
}

VeltraError memory_budget_error(std::string_view text) {
    return VeltraError::InvalidArgument{
        std::string(memory_budget_var) +
        " must be a whole number of bytes with an optional K, M, G or T and an optional B or "
        "iB (for example 2G), got " +
        debug_quoted(text)};
}

std::optional<std::string_view> env(std::string_view name) {
    const char* v = std::getenv(std::string(name).c_str());
    if (v == nullptr) return std::nullopt;
    return std::string_view(v);
}

std::uint64_t online_processors() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::uint64_t>(n) : 1;
}

struct PoolSlot {
    std::mutex lock;
    std::uint64_t threads = 0;
    std::shared_ptr<tbb::task_arena> pool;
};

PoolSlot& num_threads_pool() {
    static PoolSlot slot;
    return slot;
}

Result<std::shared_ptr<tbb::task_arena>> capped_pool(std::uint64_t n) {
    PoolSlot& slot = num_threads_pool();
    std::lock_guard<std::mutex> guard(slot.lock);
    if (slot.pool && slot.threads == n) return slot.pool;
    std::shared_ptr<tbb::task_arena> fresh;
    try {
        fresh = std::make_shared<tbb::task_arena>(static_cast<int>(n));
        fresh->initialize();
    } catch (const std::exception& e) {
        return fail(VeltraError::Internal{"could not start a " + format_count(n) +
                                          "-thread pool for " + std::string(num_threads_var) +
                                          ": " + e.what()});
    }
    slot.threads = n;
    slot.pool = fresh;
    return fresh;
}

}  // namespace

Result<std::optional<std::uint64_t>> parse_num_threads(std::string_view text) {
    if (text == "0") return std::optional<std::uint64_t>{};
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    const auto v = parse_digits(digits);
    if (!v || *v == 0) return std::unexpected(num_threads_error(text));
    return std::optional<std::uint64_t>{*v};
}

Result<std::uint64_t> parse_memory_budget(std::string_view text) {
    std::string_view s = text;
    const auto bad = [&] { return std::unexpected(memory_budget_error(text)); };
    if (s.size() >= 2 && is_char(s[s.size() - 2], 'I') && is_char(s.back(), 'B')) {
        if (s.size() <= 2 || unit_shift(s[s.size() - 3]) < 0) return bad();
        s.remove_suffix(2);
    } else if (!s.empty() && is_char(s.back(), 'B')) {
        s.remove_suffix(1);
        if (s.empty()) return bad();
    }
    int shift = 0;
    if (!s.empty() && unit_shift(s.back()) >= 0) {
        shift = unit_shift(s.back());
        s.remove_suffix(1);
        if (s.empty()) return bad();
    }
    const auto v = parse_digits(s);
    if (!v) return bad();
    if (shift > 0 && *v > (UINT64_MAX >> shift)) return bad();
    return *v << shift;
}

std::uint64_t memory_budget_bytes() {
    const auto text = env(memory_budget_var);
    if (!text) return default_memory_budget;
    const auto v = parse_memory_budget(*text);
    return v ? *v : default_memory_budget;
}

std::uint64_t available_threads() {
    if (tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized) {
        const int n = tbb::this_task_arena::max_concurrency();
        return n > 0 ? static_cast<std::uint64_t>(n) : 1;
    }
    return online_processors();
}

namespace detail {

Result<std::shared_ptr<tbb::task_arena>> enter_settings() {
    std::optional<std::uint64_t> cap;
    if (const auto text = env(num_threads_var)) {
        VELTRA_TRY(parsed, parse_num_threads(*text));
        cap = *parsed;
    }
    if (const auto text = env(memory_budget_var)) {
        VELTRA_CHECK(parse_memory_budget(*text));
    }
    if (!cap || *cap >= available_threads()) return std::shared_ptr<tbb::task_arena>{};
    return capped_pool(*cap);
}

std::shared_ptr<tbb::task_arena> cached_pool() {
    PoolSlot& slot = num_threads_pool();
    std::lock_guard<std::mutex> guard(slot.lock);
    return slot.pool;
}

}  // namespace detail

}  // namespace veltra
