#!/usr/bin/env bash
# Fails when numeric code reaches an elementary function (log, exp, pow,
# sin, tanh and kin) other than through veltra/elementary.hpp, whose
# functions give the same bits on every processor: in the sources of every
# layer (comments aside), and as an undefined symbol of the built libraries,
# which also catches a call made inside a header of another library.
# Usage: check_elementary.sh SOURCE_ROOT LIBRARY...
set -euo pipefail
root="$1"; shift
names='exp|exp2|exp10|expm1|log|log2|log10|log1p|pow|sin|cos|tan|sincos|asin|acos|atan|atan2|sinh|cosh|tanh|asinh|acosh|atanh|erf|erfc|lgamma|lgamma_r|tgamma|cbrt|hypot'
status=0

calls=$(cd "$root" && grep -rnE --include='*.cpp' --include='*.hpp' --include='*.h' --exclude=elementary.hpp \
  "(^|[^A-Za-z0-9_.:>])(std::|::)?($names)[fl]?\(" engine resample select procrustes bind python \
  | sed -E 's#//.*##' | grep -E "(^|[^A-Za-z0-9_.:>])(std::|::)?($names)[fl]?\(" || true)
if [ -n "$calls" ]; then
  echo "direct calls of elementary functions (use veltra/elementary.hpp):"
  echo "$calls"
  status=1
fi

for lib in "$@"; do
  symbols=$(nm -u "$lib" | awk '{print $2}' | sed 's/@.*//' | sort -u \
    | grep -xE "(__)?($names)[fl]?(_finite)?" || true)
  if [ -n "$symbols" ]; then
    echo "$lib calls the C library's $(echo $symbols | tr ' ' ',')"
    status=1
  fi
done
[ $status -eq 0 ] && echo "elementary functions: only the deterministic ones, in $# libraries"
exit $status
