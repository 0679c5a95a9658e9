#!/usr/bin/env bash
# tools/fuzz.sh [SECONDS]: builds the libFuzzer targets (clang, address and undefined-behaviour
# sanitizers) and runs each for SECONDS (default 60), one after the other. Runs where
# python3.15 and clang are on PATH (./dev fuzz provides both). Each target starts from its
# seed corpus under fuzz/corpus/ and keeps what it finds in the build tree; crashing
# inputs are written there too. Prints executions and seconds per target; exits non-zero
# when a target fails.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "usage: tools/fuzz.sh [SECONDS]" >&2; exit 2 ;; esac

build=${VORL_BUILD_DIR:-$top/build}/fuzz
targets=(parse stringify)

if ! log=$(cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
             -DCMAKE_CXX_COMPILER=clang++ -DVORL_FUZZ=ON -DVORL_SANITIZE=address,undefined \
             -DPython_EXECUTABLE="$(command -v python3.15)" 2>&1 &&
           cmake --build "$build" --target "${targets[@]/#/fuzz_}" 2>&1); then
  printf '%s\n' "$log" >&2
  echo "fuzz: building the targets failed" >&2
  exit 1
fi

# The interpreter's own allocations at exit are no concern here (tests/test_leaks.py).
symbolizer=$(command -v llvm-symbolizer || command -v addr2line || true)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:quarantine_size_mb=64${symbolizer:+:external_symbolizer_path=$symbolizer}}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# Each parse and each written text is also checked against the tests' plain-Python codec.
export VORL_FUZZ_REFERENCE="$top/tests"

status=0
summary=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  mkdir -p "$work" "$artifacts"
  out="$build/$t.log"
  start=$(date +%s.%N)
  rc=0
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" "fuzz/corpus/$t" >"$out" 2>&1 || rc=$?
  end=$(date +%s.%N)
  runs=$(awk -F: '/^stat::number_of_executed_units/ {gsub(/ /, "", $NF); print $NF}' "$out")
  elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}')
  line="fuzz_$t: ${runs:-?} executions in $elapsed s"
  if [ "$rc" -ne 0 ]; then
    status=1
    line+=" FAILED (exit $rc; log $out)"
    grep -A30 -E '==== broken invariant|ERROR: AddressSanitizer|runtime error|deadly signal' "$out" | head -60 >&2 || true
  fi
  summary+=("$line")
done
printf '%s\n' "${summary[@]}"
exit "$status"
