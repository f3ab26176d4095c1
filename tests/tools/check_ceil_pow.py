"""The subsample size ceil(n^r) of the engine against an exact reference, for
every n up to 10^5, at the rates the tests and examples use and at rates
whose powers land on integers (r = a / 2^K: n^r is an integer exactly when n
is a perfect 2^K-th power).

The reference: where a double n**r lies farther than 1e-6 (relative) from
every integer, its ceiling is certain (the error of pow is far below that);
otherwise n^r is taken to 50 digits with decimal, and an integer c is n^r
exactly when c^b == n^a in integers (r = a/b; for n > 1 a b above 64 gives
no integer power below 2^64). Usage: check_ceil_pow.py CEIL_POW_TABLE
"""
import decimal
import math
import subprocess
import sys
from fractions import Fraction

N = 100_000
RATES = [0.7, 0.9, 0.6, 0.8, 0.51, 0.94, 2 / 3, 0.5, 0.75, 0.625, 0.875, 0.5625]


def exact_ceil_pow(n, r, ctx):
    y = float(n) ** r
    if abs(y - round(y)) > 1e-6 * y:
        return math.ceil(y)
    frac = Fraction(r)
    a, b = frac.numerator, frac.denominator
    near = ctx.exp(ctx.multiply(ctx.ln(decimal.Decimal(n)), decimal.Decimal(r)))
    c = int(near.to_integral_value(rounding=decimal.ROUND_HALF_EVEN))
    if n == 1 or (b <= 64 and c ** b == n ** a):
        return c
    if abs(near - c) < decimal.Decimal("1e-40"):
        raise AssertionError(f"n={n} r={r!r}: n^r too close to {c} for 50 digits")
    return math.ceil(near)


def main():
    rates = [repr(r) for r in RATES]
    out = subprocess.run([sys.argv[1], str(N), *rates], capture_output=True, text=True, check=True)
    ctx = decimal.Context(prec=50)
    bad, near_integer = [], 0
    for r, line in zip(RATES, out.stdout.splitlines()):
        got = line.split()
        assert len(got) == N, (r, len(got))
        for n in range(1, N + 1):
            want = exact_ceil_pow(n, r, ctx)
            y = float(n) ** r
            near_integer += abs(y - round(y)) <= 1e-6 * y
            if int(got[n - 1]) != want:
                bad.append((n, r, int(got[n - 1]), want, math.ceil(y)))
    for n, r, got, want, naive in bad[:20]:
        print(f"n={n} r={r!r}: ceil_pow {got}, exact {want} (ceil of a double pow: {naive})")
    print(f"ceil_pow: {len(RATES)} rates x {N} counts, {near_integer} near an integer, {len(bad)} wrong")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
