#!/usr/bin/env bash
# Installs what is missing, builds, and runs the side-by-side benchmark of
# Tickerhall's server against the reference server on Node ws (bench/run.mjs);
# extra arguments go to it (--rounds R, --quick).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
dir=$(scripts/build.sh normal | tail -n 1)
exec node bench/run.mjs "$dir" "$@"
