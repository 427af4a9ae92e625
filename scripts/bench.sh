#!/usr/bin/env bash
# Builds the plain build in build/ and runs the benchmarks. Each one measures
# against its reference in the same run and prints the ratio.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/build.sh build
build/bench/bench_crc
build/bench/bench_patch_action "$@"
