#!/usr/bin/env bash
# Installs the Debian packages the build, the example and the tests need,
# only those that are missing. Run as root on Debian 12.
set -euo pipefail

# bzip2 and time are the benchmarks' yardstick and stopwatch (bench/); xvfb
# is the progress window tests' X server; fuse3 mounts the power-cut tests'
# file system.
packages=(
  cmake g++ make pkg-config bzip2 time
  libbz2-dev libgtk2.0-dev libgtest-dev
  libsodium-dev libdivsufsort-dev libxxhash-dev libcurl4-openssl-dev libssl-dev nlohmann-json3-dev nginx python3
  xvfb libfuse3-dev fuse3
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
