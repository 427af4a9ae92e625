#!/usr/bin/env bash
# run_durable.sh [WORK_DIR] [ROUNDS]: what durability costs. Times an update
# of 20,000 files (about 80 MiB) by this updater, by the updater as it was
# before its runs were made durable (built from commit $BEFORE, default
# e2143bf: copied backups, no flush), and `bzip2 -dc | tar x` of the new tree
# followed by `sync`. The durable run should stay within 1.15 of the one
# before. WORK_DIR (default /tmp/bench-durable) is removed afterwards.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/build.sh build > /dev/null
work=${1:-/tmp/bench-durable}
before=${BEFORE:-e2143bf}
old=$(mktemp -d)
trap 'rm -rf "$old" "$work"' EXIT
git archive "$before" | tar x -C "$old"
BUILD_TARGETS=updater bash "$old/scripts/build.sh" "$old/build" > /dev/null
build/bench/bench_replace "$work" "${2:-3}" 20000 80 tar "$top/build/driver/updater" "$old/build/driver/updater"
