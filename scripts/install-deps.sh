#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Tickerhall
# needs and that the machine lacks. Quiet and idempotent: a machine that has
# everything gets no apt call at all. Works as root or through sudo.
#   scripts/install-deps.sh           everything (the tests and benchmarks too)
#   scripts/install-deps.sh program   only what building the program needs
set -euo pipefail

what=${1:-all}
case "$what" in
  all|program) ;;
  *) echo "usage: scripts/install-deps.sh [all|program]" >&2; exit 2 ;;
esac

# What building and running the program needs ...
packages=(
  cmake
  g++
  make
  pkg-config
  libssl-dev
  qt6-base-dev
  libcli11-dev
  libtomlplusplus-dev
  libcrypt-dev
)
# ... and what building and running the tests and benchmarks needs too.
if [ "$what" = all ]; then
  packages+=(
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    clang
    libclang-rt-14-dev
    chromium
    python3
  )
  # Node.js and npm: the machine's own when it has them (a newer build than
  # Debian's may be installed), Debian's otherwise.
  command -v node >/dev/null 2>&1 || packages+=(nodejs)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
    exit 1
  fi

  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ "$what" = all ] || exit 0

# The npm packages of the browser tests and of the benchmark's reference
# server, as their package-lock.json pin them; installed again only when a
# lock file changed.
root="$(cd "$(dirname "$0")/.." && pwd)"
for folder in tests/e2e bench/reference; do
  dir="$root/$folder"
  if ! cmp -s "$dir/package-lock.json" "$dir/node_modules/.installed-lock.json" 2>/dev/null; then
    echo "install-deps: installing the npm packages of $folder" >&2
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    cp "$dir/package-lock.json" "$dir/node_modules/.installed-lock.json"
  fi
done
