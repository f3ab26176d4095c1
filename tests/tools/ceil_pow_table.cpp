// Prints ceil(n^r) as the engine counts it, for n = 1 .. N and each rate r
// given, one line per rate: for check_ceil_pow.py, which holds the exact
// reference. Usage: ceil_pow_table N RATE...
#include <cstdio>
#include <cstdlib>

#include "veltra/elementary.hpp"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const unsigned long long n_max = std::strtoull(argv[1], nullptr, 10);
    for (int a = 2; a < argc; ++a) {
        const double r = std::strtod(argv[a], nullptr);
        for (unsigned long long n = 1; n <= n_max; ++n)
            std::printf("%llu%c", static_cast<unsigned long long>(veltra::elementary::ceil_pow(n, r)),
                        n == n_max ? '\n' : ' ');
    }
    return 0;
}
