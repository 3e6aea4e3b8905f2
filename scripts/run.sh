#!/usr/bin/env bash
# Installs what is missing, builds, and runs Tickerhall.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
dir=$(scripts/build.sh normal | tail -n 1)
exec "$dir/app/tickerhall"
