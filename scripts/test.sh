#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: in the normal
# build (with the browser tests and the churn soak), in the AddressSanitizer
# + UndefinedBehaviorSanitizer build, and in the ThreadSanitizer build (all
# but the Qt window's test, label "qt"); then runs the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

run_ctest() {
  local dir=$1; shift
  echo "== tests: $dir $*"
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@"
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

run_ctest "$(scripts/build.sh normal | tail -n 1)"
run_ctest "$(scripts/build.sh asan | tail -n 1)"
run_ctest "$(scripts/build.sh tsan | tail -n 1)" -LE qt

# The fuzz targets, briefly, over their seed corpora (longer runs:
# scripts/fuzz.sh SECONDS).
echo "== fuzz"
scripts/fuzz.sh "${TICKERHALL_FUZZ_SECONDS:-60}"
