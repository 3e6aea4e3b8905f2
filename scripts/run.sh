#!/usr/bin/env bash
# Installs what is missing, builds, and runs Tickerhall on port 5413: the
# window where a display exists, the headless front end (log on standard
# output, Ctrl+C to stop) otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
dir=$(scripts/build.sh normal | tail -n 1)
echo "Dataset test page: http://localhost:5413/dataset.tvq.tickerhall.html"
echo "Live quotes page:  $(pwd)/$dir/app/wsquotes.html"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$dir/app/tickerhall"
fi
exec "$dir/app/tickerhall-headless"
