#!/usr/bin/env bash
# Installs what is missing, builds, and runs the churn soak for the given
# number of seconds (default 60), then waits for the server to free the
# parked connections and checks what came back.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
dir=$(scripts/build.sh normal | tail -n 1)
exec "$dir/tests/tickerhall_soak" "${1:-60}"
