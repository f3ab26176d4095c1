// Log-gamma, the regularized incomplete beta and upper incomplete gamma
// functions, and the standard normal quantile. The constants and the order
// of operations below fix the bits of every p-value and interval built on
// them: change nothing without re-deriving the reference values.
#pragma once

namespace veltra {

// ln Γ(x) by the Lanczos approximation (g = 7, nine terms), with reflection
// below 0.5. NaN in, NaN out.
double lanczos_lgamma(double x);

// I_x(a, b) by the modified Lentz continued fraction (at most 200 steps).
// x <= 0 gives 0, x >= 1 gives 1, NaN x gives NaN.
double betainc(double a, double b, double x);

// Q(a, x), the regularised upper incomplete gamma function, by the series
// below a + 1 and the modified Lentz continued fraction from there on (at
// most 199 steps each).
double upper_gamma_q(double a, double x);

// The standard normal quantile by Wichura's AS 241 (PPND16); -inf at 0,
// +inf at 1, NaN outside [0, 1].
double standard_normal_inv(double p);

}  // namespace veltra
