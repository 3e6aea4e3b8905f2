#!/usr/bin/env bash
# Configures and builds one flavour of the tree:
#   scripts/build.sh           normal build in build/
#   scripts/build.sh asan      AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   scripts/build.sh tsan      ThreadSanitizer in build-tsan/
# Prints the build folder on the last line.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:-normal}
case "$flavour" in
  normal) dir=build; flags=() ;;
  asan)   dir=build-asan; flags=(-DTICKERHALL_SANITIZE=ON -DTICKERHALL_BENCH=OFF -DTICKERHALL_E2E=OFF -DTICKERHALL_SOAK=OFF) ;;
  tsan)   dir=build-tsan; flags=(-DTICKERHALL_TSAN=ON -DTICKERHALL_BENCH=OFF -DTICKERHALL_E2E=OFF -DTICKERHALL_SOAK=OFF -DTICKERHALL_CONFORMANCE=OFF) ;;
  *) echo "usage: scripts/build.sh [normal|asan|tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
