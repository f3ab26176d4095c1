// Seeds and the random streams every resampling procedure draws from.
//
// The streams must match, bit for bit, those of the ChaCha8 generator,
// uniform range draws and slice shuffles of the Rust `rand` ecosystem (0.10,
// default features, 64-bit target), so that a seed reproduces the same splits
// and permutations everywhere. The known-answer vectors in
// tests/data/rng-vectors.json pin every detail below.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "veltra/error.hpp"

namespace veltra {

static_assert(sizeof(std::size_t) == 8, "the usize range rules assume a 64-bit target");

// ChaCha key words 0..7, as filled by `seed_from_u64`.
using ChaChaKey = std::array<std::uint32_t, 8>;

// The 64-bit seed expansion: eight outputs of a PCG32 variant (state
// advanced before each output) started from the seed itself.
ChaChaKey chacha_key_from_u64(std::uint64_t seed);

// ChaCha with 8 rounds, 64-bit block counter, stream 0, read as one flat
// stream of 32-bit keystream words. No word is ever skipped: a 64-bit output
// is the next two words, the first as the low half, even when they straddle
// two refills.
class ChaCha8Rng {
  public:
    explicit ChaCha8Rng(const ChaChaKey& key) : key_(key) {}
    static ChaCha8Rng seed_from_u64(std::uint64_t seed) {
        return ChaCha8Rng(chacha_key_from_u64(seed));
    }

    std::uint32_t next_u32() {
        if (index_ >= buffer_words) refill();
        return buffer_[index_++];
    }

    std::uint64_t next_u64() {
        if (index_ + 2 <= buffer_words) {
            const std::uint64_t lo = buffer_[index_];
            const std::uint64_t hi = buffer_[index_ + 1];
            index_ += 2;
            return (hi << 32) | lo;
        }
        const std::uint64_t lo = next_u32();
        return (std::uint64_t{next_u32()} << 32) | lo;
    }

  private:
    // Four blocks per refill: the block function then runs on four counters
    // side by side, which is where the time goes in permutation loops.
    static constexpr unsigned blocks_per_refill = 4;
    static constexpr unsigned buffer_words = 16 * blocks_per_refill;

    void refill();

    ChaChaKey key_;
    std::uint64_t counter_ = 0;  // block counter of the next refill
    unsigned index_ = buffer_words;  // empty until the first draw
    std::array<std::uint32_t, buffer_words> buffer_{};
};

// What the range draws and shuffles need of a generator; a test can wrap the
// generator to count its draws.
template <class R>
concept WordSource = requires(R& r) {
    { r.next_u32() } -> std::same_as<std::uint32_t>;
    { r.next_u64() } -> std::same_as<std::uint64_t>;
};

namespace detail {

// One uniform value in [low, high) from a W-bit draw by widening multiply,
// with at most one extra draw to settle the carry (a tiny residual bias is
// accepted instead of a rejection loop, as the reference streams do).
template <class U, class Wide, class Draw>
U widening_range(Draw&& draw, U low, U high) {
    constexpr unsigned width = sizeof(U) * 8;
    internal_check(low < high, "cannot sample empty range");
    const U range = high - low;
    const Wide m = Wide{draw()} * range;
    U hi = static_cast<U>(m >> width);
    const U lo = static_cast<U>(m);
    if (lo > static_cast<U>(0 - range)) {
        const U hi2 = static_cast<U>((Wide{draw()} * range) >> width);
        if (static_cast<U>(lo + hi2) < lo) ++hi;  // the W-bit sum overflowed
    }
    return low + hi;
}

}  // namespace detail

template <WordSource Rng>
std::uint32_t random_range_u32(Rng& rng, std::uint32_t low, std::uint32_t high) {
    return detail::widening_range<std::uint32_t, std::uint64_t>([&] { return rng.next_u32(); },
                                                                low, high);
}

template <WordSource Rng>
std::uint64_t random_range_u64(Rng& rng, std::uint64_t low, std::uint64_t high) {
    return detail::widening_range<std::uint64_t, unsigned __int128>(
        [&] { return rng.next_u64(); }, low, high);
}

// The draw width follows the exclusive upper bound alone: 32-bit draws up to
// 2^32 - 1, 64-bit draws from 2^32 on.
template <WordSource Rng>
std::size_t random_range_usize(Rng& rng, std::size_t low, std::size_t high) {
    constexpr std::size_t u32_max = 0xFFFFFFFFu;
    if (high <= u32_max)
        return random_range_u32(rng, static_cast<std::uint32_t>(low),
                                static_cast<std::uint32_t>(high));
    return random_range_u64(rng, low, high);
}

struct ChunkBound {
    std::uint32_t bound;  // m (m+1) ... (m+count-1)
    std::uint32_t count;
};

// The longest run of consecutive range sizes m, m+1, ... whose product still
// fits in 32 bits (m >= 1).
constexpr ChunkBound bound_for(std::uint32_t m) {
    std::uint64_t product = m;
    std::uint64_t k = std::uint64_t{m} + 1;
    while (product * k <= 0xFFFFFFFFu) {
        product *= k;
        ++k;
    }
    return {static_cast<std::uint32_t>(product), static_cast<std::uint32_t>(k - m)};
}

// Hands out uniform indices in [0, n], then [0, n+1], ... One 32-bit draw
// covers a whole run of sizes; the indices are peeled off by div/mod,
// smallest size first.
template <WordSource Rng>
class IncreasingUniform {
  public:
    IncreasingUniform(Rng& rng, std::uint32_t n)
        : rng_(rng), n_(n), chunk_remaining_(n == 0 ? 1 : 0) {}

    std::uint32_t next_index() {
        const std::uint32_t next_n = n_ + 1;
        std::uint32_t rem;
        if (chunk_remaining_ == 0) {
            const ChunkBound b = bound_for(next_n);
            chunk_ = random_range_u32(rng_, 0, b.bound);
            rem = b.count - 1;
        } else {
            rem = chunk_remaining_ - 1;
        }
        std::uint32_t result;
        if (rem == 0) {
            result = chunk_;
        } else {
            result = chunk_ % next_n;
            chunk_ /= next_n;
        }
        chunk_remaining_ = rem;
        n_ = next_n;
        return result;
    }

  private:
    Rng& rng_;
    std::uint32_t n_;
    std::uint32_t chunk_ = 0;
    std::uint32_t chunk_remaining_;
};

// Fisher-Yates over the last min(amount, len) positions, ascending. Returns
// (the shuffled tail, the rest at the front in whatever order the swaps left).
template <class T, WordSource Rng>
std::pair<std::span<T>, std::span<T>> partial_shuffle(std::span<T> slice, Rng& rng,
                                                      std::size_t amount) {
    using std::swap;
    const std::size_t len = slice.size();
    const std::size_t m = amount >= len ? 0 : len - amount;
    if (len < 0xFFFFFFFFu) {
        IncreasingUniform<Rng> chooser(rng, static_cast<std::uint32_t>(m));
        for (std::size_t i = m; i < len; ++i) swap(slice[i], slice[chooser.next_index()]);
    } else {
        // Slices this long cannot use the 32-bit chunked chooser.
        for (std::size_t i = m; i < len; ++i)
            swap(slice[i], slice[random_range_usize(rng, 0, i + 1)]);
    }
    return {slice.subspan(m), slice.first(m)};
}

template <class T, WordSource Rng>
void shuffle(std::span<T> slice, Rng& rng) {
    if (slice.size() <= 1) return;
    partial_shuffle(slice, rng, slice.size());
}

struct ResolvedSeed {
    std::uint64_t seed;  // the seed to report back
    ChaCha8Rng rng;      // fresh generator seeded from it
};

// The given seed, or 8 bytes of operating-system entropy read little-endian.
Result<ResolvedSeed> resolve_seed(std::optional<std::uint64_t> seed);

// The generator's next n 64-bit outputs, one seed per resampling unit.
std::vector<std::uint64_t> child_seeds(ChaCha8Rng& rng, std::size_t n);

}  // namespace veltra
