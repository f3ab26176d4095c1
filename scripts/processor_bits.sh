#!/usr/bin/env bash
# Runs a seeded call of every registered function (tests/bind/
# test_processor_bits.cpp) natively and on emulated x86-64 processors
# (qemu-user): Nehalem (SSE only: the 2-lane kernels, no FMA), SandyBridge
# (AVX without FMA: 4 lanes) and Haswell (AVX2 and FMA: 4 lanes), and fails
# unless every call gives the same bits on each of them as natively.
# Usage: processor_bits.sh [BIND_TESTS_BINARY]
set -euo pipefail
binary="${1:-build/tests/bind_tests}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

run() {  # name, then the command that runs the binary
  local name="$1"; shift
  if ! VELTRA_BITS_OUT="$out/$name.txt" "$@" "$binary" --gtest_filter='ProcessorBits.*' \
      >"$out/$name.log" 2>&1; then
    echo "processor bits: the run on $name failed:"
    grep -v 'TCG doesn.t support' "$out/$name.log"
    return 1
  fi
}

run native
models=(Nehalem SandyBridge Haswell)
for cpu in "${models[@]}"; do run "$cpu" qemu-x86_64 -cpu "$cpu"; done

# One line per call: its hash natively, then "=" where a processor gives
# the same bits and its own hash where it does not.
status=0
printf '%3s %-24s %-16s' '#' function native
printf ' %-16s' "${models[@]}"; echo
while read -r index function hash; do
  printf '%3s %-24s %-16s' "$index" "$function" "$hash"
  for cpu in "${models[@]}"; do
    theirs=$(awk -v i="$index" '$1 == i {print $3}' "$out/$cpu.txt")
    if [ "$theirs" = "$hash" ]; then printf ' %-16s' '='; else printf ' %-16s' "${theirs:-missing}"; status=1; fi
  done
  echo
done <"$out/native.txt"
calls=$(grep -vc ' elementary::' "$out/native.txt")
functions=$(grep -v ' elementary::' "$out/native.txt" | awk '{print $2}' | sort -u | wc -l)
sweeps=$(grep -c ' elementary::' "$out/native.txt")
if [ $status -eq 0 ]; then
  echo "processor bits: $calls calls of $functions registered functions and $sweeps elementary" \
    "functions, the same bits natively and on ${models[*]}"
else
  echo "processor bits: results differ between processors (above)"
fi
exit $status
