#!/usr/bin/env bash
# Runs every benchmark and prints its figures. Builds first when needed.
# The machine may be shared: each benchmark compares against a reference tool
# in the same run and reports the ratio.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
bash scripts/build.sh build > /dev/null
build/bench/bench_extract 256
build/bench/bench_crc
build/bench/bench_patch_action
bash bench/run_replace.sh
bash bench/run_durable.sh
