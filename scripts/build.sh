#!/usr/bin/env bash
# Configures and builds one flavour of the tree:
#   scripts/build.sh           normal build in build/: the program, its tests and benchmarks
#   scripts/build.sh program   the program alone (the window and the headless front end) in build/
#   scripts/build.sh asan      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/build.sh tsan      ThreadSanitizer in build-tsan/
# Further arguments name the targets to build (default: all of the flavour).
# Prints the build folder on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-normal}
shift || true
case "$flavour" in
  # Both share build/: the library's objects built for the program serve the tests.
  normal) dir=build; flags=(-DTICKERHALL_TESTS=ON -DTICKERHALL_BENCH=ON) ;;
  program) dir=build; flags=(-DTICKERHALL_TESTS=OFF -DTICKERHALL_BENCH=OFF) ;;
  asan)   dir=build-asan; flags=(-DTICKERHALL_SANITIZE=ON -DTICKERHALL_BENCH=OFF -DTICKERHALL_E2E=OFF -DTICKERHALL_SOAK=OFF) ;;
  tsan)   dir=build-tsan; flags=(-DTICKERHALL_TSAN=ON -DTICKERHALL_BENCH=OFF -DTICKERHALL_E2E=OFF -DTICKERHALL_SOAK=OFF -DTICKERHALL_CONFORMANCE=OFF) ;;
  *) echo "usage: scripts/build.sh [normal|program|asan|tsan] [TARGET...]" >&2; exit 2 ;;
esac

targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
echo "$dir"
