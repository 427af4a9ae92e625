#!/usr/bin/env bash
# run_replace.sh [WORK_DIR] [ROUNDS]: builds the project and times an update
# that replaces 2,000 files (about 200 MiB) against `cp` of the backups plus
# `bzip2 -dc` of each entry (target: at most 1.2), and against `bzip2 -dc |
# tar x` of the new tree followed by `sync`. WORK_DIR (default
# /tmp/bench-replace) needs about 700 MiB and is removed afterwards.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/build.sh build
work=${1:-/tmp/bench-replace}
build/bench/bench_replace "$work" "${2:-3}" 2000 200 cp,tar "$top/build/driver/updater"
rm -rf "$work"
