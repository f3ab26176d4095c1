#include "veltra/rng.hpp"

#include <cerrno>
#include <string>
#include <system_error>

#if defined(__APPLE__)
#include <unistd.h>  // getentropy
#else
#include <sys/random.h>
#endif

namespace veltra {

namespace {

// One state word of four blocks at once; the compiler maps it onto one SIMD
// register (SSE2, NEON), so a refill costs about as much as one scalar block.
using Lanes = std::uint32_t __attribute__((vector_size(16)));

inline Lanes rotl(Lanes v, int r) { return (v << r) | (v >> (32 - r)); }

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

std::uint32_t load_le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Fills `bytes` from the operating system in one request; an error text on failure.
std::optional<std::string> os_entropy(unsigned char (&bytes)[8]) {
#if defined(__APPLE__)
    if (getentropy(bytes, sizeof bytes) != 0) return std::generic_category().message(errno);
#else
    ssize_t got;
    do {
        got = getrandom(bytes, sizeof bytes, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return std::generic_category().message(errno);
    if (got != static_cast<ssize_t>(sizeof bytes))
        return "getrandom returned " + std::to_string(got) + " of 8 bytes";
#endif
    return std::nullopt;
}

}  // namespace

ChaChaKey chacha_key_from_u64(std::uint64_t seed) {
    constexpr std::uint64_t mul = 6364136223846793005u;
    constexpr std::uint64_t inc = 11634580027462260723u;
    ChaChaKey key;
    std::uint64_t s = seed;
    for (auto& word : key) {
        s = s * mul + inc;
        const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto rot = static_cast<unsigned>(s >> 59);
        word = (x >> rot) | (x << ((32 - rot) & 31));
    }
    return key;
}

void ChaCha8Rng::refill() {
    static constexpr std::uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    static_assert(blocks_per_refill == sizeof(Lanes) / sizeof(std::uint32_t));
    Lanes input[16];
    for (int i = 0; i < 4; ++i) input[i] = Lanes{} + sigma[i];
    for (int i = 0; i < 8; ++i) input[4 + i] = Lanes{} + key_[i];
    for (unsigned j = 0; j < blocks_per_refill; ++j) {
        const std::uint64_t block = counter_ + j;  // wraps after 2^64 - 1 like the counter words
        input[12][j] = static_cast<std::uint32_t>(block);
        input[13][j] = static_cast<std::uint32_t>(block >> 32);
    }
    input[14] = Lanes{};
    input[15] = Lanes{};

    Lanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int round = 0; round < 4; ++round) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) {
        const Lanes out = x[i] + input[i];
        for (unsigned j = 0; j < blocks_per_refill; ++j) buffer_[16 * j + i] = out[j];
    }
    counter_ += blocks_per_refill;
    index_ = 0;
}

Result<ResolvedSeed> resolve_seed(std::optional<std::uint64_t> seed) {
    if (!seed) {
        unsigned char bytes[8];
        if (auto error = os_entropy(bytes))
            return fail(VeltraError::Internal{"OS entropy unavailable: " + *error});
        seed = std::uint64_t{load_le32(bytes)} | std::uint64_t{load_le32(bytes + 4)} << 32;
    }
    return ResolvedSeed{*seed, ChaCha8Rng::seed_from_u64(*seed)};
}

std::vector<std::uint64_t> child_seeds(ChaCha8Rng& rng, std::size_t n) {
    std::vector<std::uint64_t> seeds(n);
    for (auto& s : seeds) s = rng.next_u64();
    return seeds;
}

}  // namespace veltra
