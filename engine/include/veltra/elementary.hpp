// Every elementary function beyond + - * / and sqrt that the engine and the
// layers above it call. The C library picks, by processor, between versions
// of log, exp, sin and kin that differ in the last bit (with and without
// fused multiply-add), and its versions differ again between releases, so a
// seeded result that went through them would not be the same bits on every
// x86-64 machine. These go to SLEEF's deterministic scalar functions built
// without FMA (error bound 1 ulp), whose bits depend on the argument alone.
// sqrt, ldexp, frexp, ilogb, floor and ceil stay the C library's: they are
// exact everywhere.
#pragma once

#include <cstdint>

// Pure functions of their arguments (no errno, no state): declared so, the
// compiler keeps the caller's values in registers across the calls.
extern "C" {
struct Sleef_double_2 {
    double x, y;
};
[[gnu::const]] double Sleef_cinz_logd1_u10purec(double);
[[gnu::const]] double Sleef_cinz_log1pd1_u10purec(double);
[[gnu::const]] double Sleef_cinz_expd1_u10purec(double);
[[gnu::const]] double Sleef_cinz_powd1_u10purec(double, double);
[[gnu::const]] double Sleef_cinz_tanhd1_u10purec(double);
[[gnu::const]] double Sleef_cinz_sind1_u10purec(double);
[[gnu::const]] double Sleef_cinz_cosd1_u10purec(double);
[[gnu::const]] Sleef_double_2 Sleef_cinz_sincosd1_u10purec(double);
[[gnu::const]] double Sleef_cinz_atan2d1_u10purec(double, double);
}

namespace veltra::elementary {

inline double log(double x) { return Sleef_cinz_logd1_u10purec(x); }
inline double log1p(double x) { return Sleef_cinz_log1pd1_u10purec(x); }
inline double exp(double x) { return Sleef_cinz_expd1_u10purec(x); }
inline double pow(double x, double y) { return Sleef_cinz_powd1_u10purec(x, y); }
inline double tanh(double x) { return Sleef_cinz_tanhd1_u10purec(x); }
inline double sin(double x) { return Sleef_cinz_sind1_u10purec(x); }
inline double cos(double x) { return Sleef_cinz_cosd1_u10purec(x); }
inline double atan2(double y, double x) { return Sleef_cinz_atan2d1_u10purec(y, x); }

struct SinCos {
    double sin, cos;
};
// Both at the cost of about one.
inline SinCos sincos(double x) {
    const Sleef_double_2 r = Sleef_cinz_sincosd1_u10purec(x);
    return {r.x, r.y};
}

// ceil(n^r) as an exact integer, whatever the last bit of a double pow:
// an exact power gives its integer (100^0.5 is 10, never 11) and a power a
// few ulps from an integer falls on the side it really lies. Saturates at
// the largest count; NaN and negative powers give 0.
std::uint64_t ceil_pow(std::uint64_t n, double r);

}  // namespace veltra::elementary
