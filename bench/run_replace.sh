#!/usr/bin/env bash
# run_replace.sh [WORK_DIR] [ROUNDS]: builds the project and times an update
# that replaces 2,000 files (about 200 MiB) against `cp` of the backups plus
# `bzip2 -dc` of each entry, printing the ratio (target: at most 1.2).
# WORK_DIR (default /tmp/bench-replace) needs about 700 MiB and is removed
# afterwards.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/build.sh build
work=${1:-/tmp/bench-replace}
build/bench/bench_replace "$top/build/driver/updater" "$work" "${2:-3}"
rm -rf "$work"
