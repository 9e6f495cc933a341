#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test, demo and benchmark.
# Idempotent: only packages that are missing are installed.
set -euo pipefail
[ "${SKIP_DEPS:-0}" = 1 ] && exit 0

PACKAGES=(
  build-essential cmake pkg-config git
  libssl-dev openssl zlib1g-dev libtinyxml-dev
  libgtest-dev
  nginx-light python3 python3-pyftpdlib tinyproxy
  curl time minisign
  clang libclang-rt-14-dev clang-format
  libdivsufsort-dev libzstd-dev
  bsdiff xdelta3 zstd rsync
  scdoc dpkg-dev file
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
