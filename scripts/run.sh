#!/usr/bin/env bash
# Installs what building the program needs, builds the program alone, and
# runs Tickerhall on port 5413: the window where a display exists, the
# headless front end (log on standard output, Ctrl+C to stop) otherwise.
# Arguments go to the program (--help lists them), e.g.
#   scripts/run.sh --port 8080 --listen 127.0.0.1
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh program
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  dir=$(scripts/build.sh program tickerhall | tail -n 1)
  exec "$dir/app/tickerhall" "$@"
fi
dir=$(scripts/build.sh program tickerhall-headless | tail -n 1)
exec "$dir/app/tickerhall-headless" "$@"
