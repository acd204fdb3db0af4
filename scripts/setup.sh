#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the
# demo need. Idempotent: does nothing when everything is present.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libpoco-dev libssl-dev
  libboost-filesystem-dev libboost-system-dev
  libjsoncpp-dev
  lzma-dev lzma xz-utils
  xdelta3
  libconcurrentqueue-dev
  libgtest-dev libgmock-dev googletest
  nginx python3 openssl curl aria2 rsync
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The distribution's nginx service is not ours; the tests start their own.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true; fi
