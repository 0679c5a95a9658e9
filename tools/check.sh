#!/usr/bin/env bash
# tools/check.sh [--quick] [FUZZ_SECONDS]: the robustness gate. Runs where python3.15,
# python3.15d, clang and valgrind are on PATH (./dev check provides them):
#   1. the whole test suite against an address+undefined-behaviour-sanitized module;
#   2. the allocation-failure tests under the debug interpreter;
#   3. the leak tests (tracemalloc; references and blocks under the debug interpreter);
#   4. each libFuzzer target for FUZZ_SECONDS (default 60, --quick 30);
#   5. the stress tests under the debug interpreter;
#   6. valgrind memcheck over the codec's tests, failing on errors in the module.
# --quick leaves the suite's packaging tests and the generic-path sanitizer run out and
# shortens the fuzzing. Exits non-zero when any step fails; prints a summary with figures.
set -uo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
quick=0
fuzz_seconds=
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *[!0-9]*|'') echo "usage: tools/check.sh [--quick] [FUZZ_SECONDS]" >&2; exit 2 ;;
    *) fuzz_seconds=$arg ;;
  esac
done
[ -n "$fuzz_seconds" ] || fuzz_seconds=$([ "$quick" = 1 ] && echo 30 || echo 60)

builds=${VORL_BUILD_DIR:-$top/build}
export VORL_BUILD_DIR=$builds
work="$builds/check"
rm -rf "$work"
mkdir -p "$work"
report="$work/figures.jsonl"
python=python3.15
debug_python=$(command -v python3.15d || command -v python3.15-dbg)
failed=()
summary=()
started=$(date +%s)

step_started=$started
step() { printf '\n==== %s\n' "$*"; step_started=$(date +%s); }
took() { echo "$(( $(date +%s) - step_started )) s"; }
note() { summary+=("$1 [$(took)]"); }
fail() { failed+=("$1"); summary+=("$1: FAILED${2:+ ($2)} [$(took)]"); }
pytest_tally() {  # the last pytest summary line of a log, e.g. "312 passed, 1 skipped"
  grep -E '^[0-9]+ (passed|failed)|^=+ .*(passed|failed)' "$1" | tail -n 1 | sed -E 's/=+//g; s/ in [0-9.]+s.*//; s/^ +//'
}
figure() {  # figure FILE KIND EXPR: a sum over the figure records of one kind in FILE
  "$python" - "$@" <<'EOF'
import json, sys
path, kind, expr = sys.argv[1:]
try:
    records = [json.loads(line) for line in open(path, encoding="utf-8")]
except FileNotFoundError:
    records = []
print(sum(eval(expr, {}, r) for r in records if r.get("kind") == kind))
EOF
}
build() {
  local log
  if ! log=$("$top/dev" _inner build "$1" 2>&1); then
    printf '%s\n' "$log"
    return 1
  fi
}

step "building the module: release, v316, asan, dbg, debug"
for kind in release v316 asan dbg debug; do
  build "$kind" || { fail "build $kind"; printf '%s\n' "${summary[@]}"; exit 1; }
done
release_dir="$builds/release"
export VORL_BUILD_V316="$builds/v316"

# ---- 1. the test suite against the sanitized module ------------------------------------
asan_runtime=$(gcc -print-file-name=libasan.so)
sanitized_suite() {  # sanitized_suite NUMBER LABEL ENV... : one pytest run, reports logged to files
  local number=$1 label=$2; shift 2
  local logs="$work/sanitizer-$label"
  mkdir -p "$logs"
  local args=(tests -q -p no:cacheprovider)
  [ "$quick" = 1 ] && args+=(--ignore=tests/test_packaging.py)
  env "$@" PYTHONPATH="$builds/asan" PYTHONMALLOC=malloc LD_PRELOAD="$asan_runtime" \
      ASAN_OPTIONS="detect_leaks=0:log_path=$logs/asan:halt_on_error=1" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
      VORL_GATE_REPORT="$work/sanitized-$label.jsonl" \
      "$python" -m pytest "${args[@]}" >"$work/suite-$label.log" 2>&1
  local rc=$?
  local reports
  reports=$(find "$logs" -type f | wc -l)
  local tally
  tally=$(pytest_tally "$work/suite-$label.log")
  if [ "$rc" -ne 0 ] || [ "$reports" -ne 0 ]; then
    tail -n 30 "$work/suite-$label.log"
    find "$logs" -type f -exec head -n 40 {} \;
    fail "$number. sanitizers ($label)" "pytest exit $rc, $reports sanitizer reports; $tally"
  else
    note "$number. sanitizers ($label): $tally, 0 sanitizer reports; within it $(figure "$work/sanitized-$label.jsonl" nomemory points) allocation-failure points, $(figure "$work/sanitized-$label.jsonl" stress iterations) stress iterations"
  fi
}
step "1. the test suite, address and undefined-behaviour sanitizers"
sanitized_suite 1 default
if [ "$quick" = 0 ]; then
  step "1b. the test suite, sanitizers, general paths forced"
  sanitized_suite 1b generic VORL_FORCE_GENERIC=1
fi

# ---- 2. allocation failures under the debug interpreter -------------------------------
# Runs one test file under the debug interpreter and notes its tally and one figure.
# Args: label, log name, test file, figure kind, figure expression, words after the figure.
debug_step() {
  local label=$1 log="$work/$2.log" file=$3 kind=$4 expr=$5 words=$6
  if PYTHONPATH="$builds/dbg" VORL_GATE_REPORT="$report" \
      "$debug_python" -m pytest -q -p no:cacheprovider "$file" >"$log" 2>&1; then
    note "$label: $(pytest_tally "$log"), $(figure "$report" "$kind" "$expr") $words"
  else
    tail -n 40 "$log"
    fail "$label" "$(pytest_tally "$log")"
  fi
}

step "2. allocation failures (python3.15d)"
debug_step "2. allocation failures" nomemory tests/test_nomemory.py nomemory points "failure points tried"

# ---- 3. leaks -------------------------------------------------------------------------
step "3. leaks (tracemalloc; gettotalrefcount and getallocatedblocks under python3.15d)"
if PYTHONPATH="$release_dir" VORL_BUILD_DBG="$builds/dbg" VORL_GATE_REPORT="$report" \
    "$python" -m pytest -q -p no:cacheprovider -rs tests/test_leaks.py >"$work/leaks.log" 2>&1 &&
   ! grep -q SKIPPED "$work/leaks.log"; then
  note "3. leaks: $(pytest_tally "$work/leaks.log"), $(figure "$report" leaks "calls if measure == 'debug' else 0") calls under python3.15d, $(figure "$report" leaks "calls if measure == 'tracemalloc' else 0") under tracemalloc"
else
  tail -n 40 "$work/leaks.log"
  fail "3. leaks" "$(pytest_tally "$work/leaks.log")"
fi

# ---- 4. fuzzing -----------------------------------------------------------------------
step "4. fuzzing, $fuzz_seconds s per target"
if tools/fuzz.sh "$fuzz_seconds" >"$work/fuzz.log" 2>&1; then
  note "4. fuzzing: $(grep -E '^fuzz_' "$work/fuzz.log" | paste -sd ';' | sed 's/;/; /g')"
else
  tail -n 60 "$work/fuzz.log"
  fail "4. fuzzing" "$(grep -E '^fuzz_' "$work/fuzz.log" | paste -sd ';' | sed 's/;/; /g')"
fi

# ---- 5. stress ------------------------------------------------------------------------
step "5. stress (python3.15d)"
debug_step "5. stress" stress tests/test_stress.py stress iterations iterations

# ---- 6. valgrind ----------------------------------------------------------------------
step "6. valgrind memcheck (codec tests, module built for debugging)"
# In the suite's own order.
valgrind_tests=(tests/test_arguments.py)
[ "$quick" = 0 ] && valgrind_tests+=(tests/test_module.py)
valgrind_tests+=(tests/test_parse_errors.py tests/test_parser_narrow.py tests/test_parser_wide.py)
[ "$quick" = 0 ] && valgrind_tests+=(tests/test_roundtrip.py)
valgrind_tests+=(tests/test_serializer.py)
existing=()
for t in "${valgrind_tests[@]}"; do [ -f "$t" ] && existing+=("$t"); done
PYTHONPATH="$builds/debug" PYTHONMALLOC=malloc \
  valgrind --tool=memcheck --xml=yes --xml-file="$work/valgrind.xml" --errors-for-leak-kinds=none \
    --leak-check=no --num-callers=30 \
  "$python" -m pytest -q -p no:cacheprovider "${existing[@]}" >"$work/valgrind.log" 2>&1
valgrind_rc=$?
module_errors=$("$python" - "$work/valgrind.xml" <<'EOF'
# Errors of every kind whose stack passes through the module; the interpreter's own are
# counted apart and do not fail the step.
import sys
import xml.etree.ElementTree as ET
ours = others = 0
for error in ET.parse(sys.argv[1]).getroot().iter("error"):
    objs = [f.findtext("obj") or "" for f in error.iter("frame")]
    if any("/vorl." in o for o in objs):
        ours += 1
        frames = [(f.findtext("fn") or "?") + " " + (f.findtext("file") or "") + ":" + (f.findtext("line") or "")
                  for f in error.iter("frame")][:8]
        print(error.findtext("kind"), *frames, sep="\n    ", file=sys.stderr)
    else:
        others += 1
print(ours, others)
EOF
)
read -r ours others <<<"${module_errors:-x x}"
tally=$(pytest_tally "$work/valgrind.log")
if [ "$valgrind_rc" -ne 0 ] || [ "$ours" != 0 ]; then
  tail -n 30 "$work/valgrind.log"
  fail "6. valgrind" "pytest exit $valgrind_rc; $tally; $ours errors in the module"
else
  note "6. valgrind: $tally, $ours errors in the module ($others elsewhere)"
fi

# ---- summary --------------------------------------------------------------------------
elapsed=$(( $(date +%s) - started ))
printf '\n==== summary (%s, %d s)\n' "$([ "$quick" = 1 ] && echo quick || echo full)" "$elapsed"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -ne 0 ]; then
  printf 'FAILED: %s\n' "${failed[*]}"
  exit 1
fi
echo "all steps passed"
