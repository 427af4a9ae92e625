#!/usr/bin/env bash
# Quick loop for tuning the patch generator: rebuilds only the tools it
# runs, prints each pair's patch entry as make-update stores it against
# bsdiff's file and zqdiff's time, and checks that zqpatch rebuilds NEW
# from zqdiff's patch byte for byte.
# Uses the pairs bench/run_delta.sh leaves in out/bench-delta/pairs (or
# PAIRS_DIR); bsdiff's sizes are measured once and kept in out/tune-delta.
# PAIRS="a b" limits the pairs, NORT=1 skips the round trip.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
pairs_dir=${PAIRS_DIR:-out/bench-delta/pairs}
work=out/tune-delta
mkdir -p "$work"
tools=build/tools
. bench/stored_size.sh
cmake --build build --target zqdiff zqpatch make-update zav -j2 > "$work/build.log" 2>&1 || {
  tail -30 "$work/build.log"
  exit 1
}
for p in ${PAIRS:-updater libcrypto git libcurl libsystemd libxml2 sources pathological}; do
  [ -s "$work/$p.bsdiff" ] || bsdiff "$pairs_dir/$p.old" "$pairs_dir/$p.new" "$work/$p.bsdiff"
  ref=$(wc -c < "$work/$p.bsdiff")
  start=$(date +%s.%N)
  build/tools/zqdiff "$pairs_dir/$p.old" "$pairs_dir/$p.new" "$work/$p.patch"
  end=$(date +%s.%N)
  size=$(stored_size "$pairs_dir/$p.old" "$pairs_dir/$p.new")
  check=ok
  if [ -z "${NORT:-}" ]; then
    build/tools/zqpatch "$pairs_dir/$p.old" "$work/$p.new" "$work/$p.patch" > /dev/null 2>&1 \
      && cmp -s "$work/$p.new" "$pairs_dir/$p.new" || check=FAILED
    rm -f "$work/$p.new"
  fi
  printf '%-13s %9d  bsdiff %9d  ratio %.4f  %6.2f s  %s\n' "$p" "$size" "$ref" \
    "$(echo "$size / $ref" | bc -l)" "$(echo "$end - $start" | bc -l)" "$check"
done
