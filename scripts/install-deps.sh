#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Tickerhall
# needs and that the machine lacks. Quiet and idempotent: a machine that has
# everything gets no apt call at all. Works as root or through sudo.
set -euo pipefail

packages=(
  cmake
  g++
  make
  pkg-config
  libssl-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  qt6-base-dev
  clang
  libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

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
