#!/usr/bin/env bash
# Patch generator benchmark: zqdiff against bsdiff 4.3 and xdelta3 -9 on the
# same file pairs in one run, and zqpatch against bspatch. Prints one table:
# patch size (the patch entry as make-update stores it in a package, against
# the other tools' files), generation time and peak memory, apply time, and zqdiff's ratios to bsdiff.
# Not part of ctest: it takes minutes (bsdiff needs about one on the
# pathological pair).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
for tool in bsdiff xdelta3; do
  command -v "$tool" > /dev/null || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$tool"
  }
done
bash scripts/build.sh build > /dev/null

work=out/bench-delta
mkdir -p "$work/pairs"
pairs=()

# This project's updater built at its first commit and now.
first=$(git rev-list --max-parents=0 HEAD | tail -1)
if [ ! -s "$work/pairs/updater.old" ]; then
  rm -rf "$work/src-old" && mkdir -p "$work/src-old"
  git archive "$first" | tar -x -C "$work/src-old"
  bash "$work/src-old/scripts/build.sh" "$work/build-old" > /dev/null
  cp "$work/build-old/driver/updater" "$work/pairs/updater.old"
fi
cp build/driver/updater "$work/pairs/updater.new"
pairs+=(updater)

# Two Debian releases of the same programs.
deb_pair() {  # name package old-version new-version path-in-package
  local name=$1 pkg=$2 v1=$3 v2=$4 path=$5
  if [ ! -s "$work/pairs/$name.new" ]; then
    (cd "$work" && apt-get download -qq "$pkg=$v1" "$pkg=$v2")
    for side in old new; do
      local v=$v1; [ $side = new ] && v=$v2
      local deb; deb=$(ls "$work/${pkg}_${v/:/%3a}_"*.deb)
      rm -rf "$work/x" && mkdir -p "$work/x" && dpkg-deb -x "$deb" "$work/x"
      cp "$work/x/$path" "$work/pairs/$name.$side"
    done
  fi
  pairs+=("$name")
}
deb_pair libcrypto libssl3 3.0.17-1~deb12u2 3.0.22-1~deb12u2 usr/lib/x86_64-linux-gnu/libcrypto.so.3
deb_pair git git 1:2.39.5-0+deb12u2 1:2.39.5-0+deb12u3 usr/bin/git
deb_pair libcurl libcurl4 7.88.1-10+deb12u5 7.88.1-10+deb12u15 usr/lib/x86_64-linux-gnu/libcurl.so.4.8.0
deb_pair libsystemd libsystemd0 252.38-1~deb12u1 252.39-1~deb12u2 usr/lib/x86_64-linux-gnu/libsystemd.so.0.35.0
deb_pair libxml2 libxml2 2.9.14+dfsg-1.3~deb12u4 2.9.14+dfsg-1.3~deb12u6 usr/lib/x86_64-linux-gnu/libxml2.so.2.9.14

# Text: this project's sources at its first commit and now.
git archive "$first" | tar -xO > "$work/pairs/sources.old"
git archive HEAD | tar -xO > "$work/pairs/sources.new"
pairs+=(sources)

# Pathological: 50 MiB of random bytes; NEW changes every 7th byte over
# 20 MiB and cuts 20 MiB out of the middle.
if [ ! -s "$work/pairs/pathological.new" ]; then
  python3 - "$work/pairs" <<'PY'
import random, sys
rng = random.Random(7)
old = bytearray(rng.randbytes(50 << 20))
new = bytearray(old)
for i in range(1 << 20, 21 << 20, 7):
    new[i] ^= 0x5A
new = new[:25 << 20] + new[45 << 20:]
open(sys.argv[1] + "/pathological.old", "wb").write(old)
open(sys.argv[1] + "/pathological.new", "wb").write(new)
PY
fi
pairs+=(pathological)

# TOOLS=dir/tools measures another build's make-update (say, an older one).
tools=${TOOLS:-build/tools}
. bench/stored_size.sh

# Runs "$@" once with the stopwatch built with the project (bench/timed.cpp)
# and keeps its elapsed seconds and peak KiB in the variables named by $1 and
# $2 when it is the fastest run so far.
keep_best() {
  local -n best_t=$1 best_m=$2
  shift 2
  local t m
  read -r t m < <(build/bench/timed "$@" 2> /dev/null || true)
  if [ -z "$best_t" ] || awk "BEGIN{exit !($t < $best_t)}"; then best_t=$t; best_m=$m; fi
}

printf "%-13s %9s | %9s %9s %9s | %7s %7s %7s | %7s %7s %7s | %6s %6s | %5s %5s %5s\n" \
  pair "new" "zq.bz2" bsdiff "xd3 -9" "zq s" "bs s" "xd s" "zq MiB" "bs MiB" "xd MiB" \
  "zqp s" "bsp s" size time mem
native=()
for p in "${pairs[@]}"; do
  old=$work/pairs/$p.old new=$work/pairs/$p.new
  # Best of several runs: on a shared machine one run of a small pair is
  # mostly noise.
  reps=5; [ "$(stat -c %s "$new")" -gt 20000000 ] && reps=1
  # The tools take turns, round after round, so that a machine that slows
  # down or speeds up meanwhile weighs on each alike.
  zt="" bt="" xt="" zpt="" bpt=""
  for _ in $(seq "$reps"); do
    keep_best zt zm "$tools/zqdiff" "$old" "$new" "$work/p.zq"
    keep_best bt bm bsdiff "$old" "$new" "$work/p.bs"
    keep_best xt xm xdelta3 -9 -f -e -s "$old" "$new" "$work/p.xd"
    keep_best zpt zpm build/tools/zqpatch "$old" "$work/r.zq" "$work/p.zq"
    keep_best bpt bpm bspatch "$old" "$work/r.bs" "$work/p.bs"
  done
  zs=$(stored_size "$old" "$new")
  bs=$(stat -c %s "$work/p.bs")
  xs=$(stat -c %s "$work/p.xd")
  cmp -s "$work/r.zq" "$new" || echo "!! zqpatch result differs from NEW for $p"
  cmp -s "$work/r.bs" "$new" || echo "!! bspatch result differs from NEW for $p"
  printf "%-13s %9d | %9d %9d %9d | %7.3f %7.3f %7.3f | %7.1f %7.1f %7.1f | %6.3f %6.3f | %5.3f %5.2f %5.2f\n" \
    "$p" "$(stat -c %s "$new")" "$zs" "$bs" "$xs" "$zt" "$bt" "$xt" \
    "$(awk "BEGIN{print $zm/1024}")" "$(awk "BEGIN{print $bm/1024}")" "$(awk "BEGIN{print $xm/1024}")" \
    "$zpt" "$bpt" \
    "$(awk "BEGIN{print $zs/$bs}")" "$(awk "BEGIN{print ($bt>0)?$zt/$bt:0}")" "$(awk "BEGIN{print $zm/$bm}")"
  case $p in sources | pathological) ;; *) native+=("$(awk "BEGIN{print $zs/$bs}")") ;; esac
done
printf "%s\n" "${native[@]}" |
  awk '{s += $1; if ($1 > m) m = $1} END {printf "native binaries: size %.3f on average, %.3f at most\n", s / NR, m}'
echo "size, time, mem: zqdiff / bsdiff (compressed patch size, generation time, peak memory)"
