#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building, testing and the demo.
# Idempotent: installs only packages that are missing, and runs apt-get update only then.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev llvm
  clang-format clang-tidy python3-yaml
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 libwine-dev
  xvfb xauth x11-apps imagemagick
  googletest
  fp-utils
  python3
  libsqlite3-dev libcpp-httplib-dev libsodium-dev libssl-dev
  postgresql-15 postgresql-client libpq-dev nginx-light
  wrk
  squidguard
  msitools wixl
  nlohmann-json3-dev libjs-chart.js
  chromium chromium-driver python3-selenium
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
