#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the fuzzers, the
# benchmarks and the Debian package need, but only those that are missing.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev clang clang-format libclang-rt-14-dev python3
  libssl-dev nlohmann-json3-dev
  openjdk-17-jdk-headless junit5 nginx time curl
  # man pages, the Debian package and its checks
  scdoc man-db groff-base dpkg-dev file lintian systemd)
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages and not root: run as root or install them first." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
