#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each over its seed
# corpus for the given number of seconds (default 60): the JSON reader, the
# frame reader, the handshake parser and the dataset record reader. Fails on
# any finding.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTICKERHALL_FUZZ=ON -DTICKERHALL_TESTS=OFF -DTICKERHALL_BENCH=OFF -DTICKERHALL_E2E=OFF \
  -DTICKERHALL_SANITIZE=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_json fuzz_frames fuzz_handshake fuzz_dataset >&2

run() {
  local target=$1 corpus=$2 work rc=0
  work=$(mktemp -d)
  cp -r "tests/fuzz/corpus/$corpus/." "$work/"
  echo "fuzz: $target for ${seconds}s" >&2
  # A finding fails the pipeline (pipefail); the corpus copy goes either way.
  "build-fuzz/tests/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work" 2>&1 | tail -n 12 || rc=$?
  rm -rf "$work"
  return "$rc"
}

run fuzz_json json
run fuzz_frames frames
run fuzz_handshake handshake
run fuzz_dataset dataset
