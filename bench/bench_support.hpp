// What the engine benchmarks share: storage on huge pages as NumPy arranges
// for large arrays, the plain read of X every ratio is measured against, and
// a stopwatch.
#pragma once

#include <sys/mman.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <vector>

#include "veltra/parallel.hpp"

namespace bench {

// Storage for `count` doubles on transparent huge pages where the kernel
// offers them, so that reads see the TLB behaviour of a NumPy array.
struct HugePageBuffer {
    double* data;
    std::size_t bytes;
    explicit HugePageBuffer(std::size_t count) : bytes(count * sizeof(double)) {
        void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) throw std::bad_alloc();
        madvise(m, bytes, MADV_HUGEPAGE);
        data = static_cast<double*>(m);
    }
    ~HugePageBuffer() { munmap(data, bytes); }
    HugePageBuffer(const HugePageBuffer&) = delete;
    HugePageBuffer& operator=(const HugePageBuffer&) = delete;
    double& operator[](std::size_t i) { return data[i]; }
};

// One parallel read of `size` contiguous doubles: 64 parts so that every
// thread has work, each summed contiguously.
inline double plain_read(const double* x, std::size_t size) {
    std::vector<double> parts(64);
    veltra::for_each_part(
        veltra::par_parallel, size,
        [&](std::size_t i, veltra::IndexSpan s) {
            double a0 = 0, a1 = 0, a2 = 0, a3 = 0;
            std::size_t j = s.begin;
            for (; j + 4 <= s.end; j += 4) {
                a0 += x[j];
                a1 += x[j + 1];
                a2 += x[j + 2];
                a3 += x[j + 3];
            }
            for (; j < s.end; ++j) a0 += x[j];
            parts[i] = (a0 + a1) + (a2 + a3);
        },
        parts.size());
    double t = 0;
    for (double v : parts) t += v;
    return t;
}

template <class F>
double seconds(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Command line `[repetitions] [a b c]`: run(a, b, c, repetitions) for the one
// shape given, else each of the default shapes. Returns main's exit code.
template <class Run>
int run_shapes(int argc, char** argv, int default_repetitions,
               std::initializer_list<std::array<std::size_t, 3>> defaults, Run&& run) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : default_repetitions;
    const auto arg = [&](int i) { return std::size_t(std::strtoul(argv[i], nullptr, 10)); };
    if (argc > 4) {
        run(arg(2), arg(3), arg(4), repetitions);
        return 0;
    }
    for (const auto& [a, b, c] : defaults) run(a, b, c, repetitions);
    return 0;
}

}  // namespace bench
