#!/usr/bin/env bash
# Patch generator benchmark: zqdiff against bsdiff 4.3 and xdelta3 -9 on the
# same file pairs in one run, and zqpatch against bspatch. Prints two tables.
# The first: patch size (the patch entry as make-update stores it in a
# package, against the other tools' files), generation time and peak memory,
# apply time, and zqdiff's ratios to bsdiff. The second, for the x86-64
# programs: the entry of format 1 and of --patch-format 2 against bsdiff,
# zqdiff --patch-format 2's time and memory against bsdiff, and applying the
# format 2 entry against the format 1 one, by zqpatch and by the real
# updater (which must rebuild NEW byte for byte).
# Not part of ctest: it takes a quarter of an hour (bsdiff needs about a
# minute on the pathological pair, make-update --patch-format 2 several on
# the largest programs).
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
deb_pair python python3.11-minimal 3.11.2-6+deb12u8 3.11.2-6+deb12u9 usr/bin/python3.11
deb_pair libc libc6 2.36-9+deb12u7 2.36-9+deb12u14 lib/x86_64-linux-gnu/libc.so.6
deb_pair ssh openssh-client 1:9.2p1-2+deb12u7 1:9.2p1-2+deb12u10 usr/bin/ssh
deb_pair systemctl systemd 252.38-1~deb12u1 252.39-1~deb12u2 bin/systemctl
deb_pair libglib libglib2.0-0 2.74.6-2+deb12u2 2.74.6-2+deb12u9 usr/lib/x86_64-linux-gnu/libglib-2.0.so.0.7400.6
deb_pair libnss3 libnss3 2:3.87.1-1+deb12u2 2:3.87.1-1+deb12u4 usr/lib/x86_64-linux-gnu/libnss3.so

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

# PAIRS="a b" limits the pairs; TOOLS=dir/tools measures another build's
# make-update (say, an older one).
[ -n "${PAIRS:-}" ] && read -r -a pairs <<< "$PAIRS"
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

# The real updater applies the package in $1 to a fresh copy of OLD ($2);
# its time and memory are kept as keep_best does in the variables named by
# $3 and $4, and it must leave NEW ($5) byte for byte.
updater_best() {
  local inst=$top/$work/inst updates=$top/$work/updates
  rm -rf "$inst" "$updates" && mkdir -p "$inst" && cp "$2" "$inst/f" && cp -r "$1" "$updates"
  keep_best "$3" "$4" sh -c 'cd "$1" && exec "$2" "$3" 0' sh "$inst" "$top/build/driver/updater" "$updates"
  [ "$(cat "$updates/update.status")" = succeeded ] && cmp -s "$inst/f" "$5" ||
    echo "!! the updater did not rebuild NEW for $p from $1"
}
unset DISPLAY  # no progress window

ratio() { awk "BEGIN{print ($2 > 0) ? $1 / $2 : 0}"; }

printf "%-13s %9s | %9s %9s %9s | %7s %7s %7s | %7s %7s %7s | %6s %6s | %5s %5s %5s\n" \
  pair "new" "zq.bz2" bsdiff "xd3 -9" "zq s" "bs s" "xd s" "zq MiB" "bs MiB" "xd MiB" \
  "zqp s" "bsp s" size time mem
native=() second=()
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
    "$(ratio "$zs" "$bs")" "$(ratio "$zt" "$bt")" "$(ratio "$zm" "$bm")"
  case $p in sources | pathological) continue ;; esac
  native+=("$(ratio "$zs" "$bs")")

  # Format 2 of the same pair: the package of each format, applied by
  # zqpatch (its entry) and by the updater, turn about.
  rm -rf "$work/pkg1" "$work/pkg2"
  cp -r "$work/tree/out" "$work/pkg1" && cp "$work/tree/f.patch" "$work/p1.patch"
  z2=$(stored_size "$old" "$new" 2)
  f2=$(stored_format)
  cp -r "$work/tree/out" "$work/pkg2" && cp "$work/tree/f.patch" "$work/p2.patch"
  zt2="" a1t="" a2t="" u1t="" u2t=""
  for _ in $(seq "$reps"); do
    keep_best zt2 zm2 "$tools/zqdiff" --patch-format 2 "$old" "$new" "$work/p.zq2"
    keep_best a1t a1m build/tools/zqpatch "$old" "$work/r1" "$work/p1.patch"
    keep_best a2t a2m build/tools/zqpatch "$old" "$work/r2" "$work/p2.patch"
    updater_best "$work/pkg1" "$old" u1t u1m "$new"
    updater_best "$work/pkg2" "$old" u2t u2m "$new"
  done
  build/tools/zqpatch "$old" "$work/r.zq2" "$work/p.zq2" > /dev/null 2>&1
  for r in "$work/r1" "$work/r2" "$work/r.zq2"; do
    cmp -s "$r" "$new" || echo "!! zqpatch result $r differs from NEW for $p"
  done
  second+=("$(printf "%-13s %9d | %9d %9d %-4s | %5.3f %5.3f %5.3f | %6.3f %5.2f %5.2f | %6.3f %6.3f %5.2f %5.2f | %6.3f %6.3f %5.2f %5.2f" \
    "$p" "$(stat -c %s "$new")" "$zs" "$z2" "$f2" "$(ratio "$zs" "$bs")" "$(ratio "$z2" "$bs")" \
    "$(ratio "$z2" "$zs")" "$zt2" "$(ratio "$zt2" "$bt")" "$(ratio "$zm2" "$bm")" "$a1t" "$a2t" \
    "$(ratio "$a2t" "$a1t")" "$(ratio "$a2m" "$a1m")" "$u1t" "$u2t" "$(ratio "$u2t" "$u1t")" \
    "$(ratio "$u2m" "$u1m")")")
done
printf "%s\n" "${native[@]}" |
  awk '{s += $1; if ($1 > m) m = $1} END {printf "native binaries: size %.3f on average, %.3f at most\n", s / NR, m}'
echo "size, time, mem: zqdiff / bsdiff (compressed patch size, generation time, peak memory)"
echo
printf "%-13s %9s | %9s %9s %-4s | %5s %5s %5s | %6s %5s %5s | %6s %6s %5s %5s | %6s %6s %5s %5s\n" \
  pair "new" "fmt 1" "fmt 2" form "1/bs" "2/bs" "2/1" "zq2 s" time mem "zqp1 s" "zqp2 s" time mem \
  "upd1 s" "upd2 s" time mem
printf "%s\n" "${second[@]}"
printf "%s\n" "${second[@]}" | awk '{
    n++; a += log($8); b += log($9); if ($10 > w) w = $10
    if ($2 >= 2097152) { if ($13 > t) t = $13; if ($14 > m) m = $14 }
    if ($18 > zt) zt = $18; if ($19 > zm) zm = $19; if ($23 > ut) ut = $23; if ($24 > um) um = $24
  } END {
    printf "x86-64 programs: format 1 %.3f, format 2 %.3f of bsdiff (geometric mean); format 2 / 1 at most %.3f\n", exp(a / n), exp(b / n), w
    printf "zqdiff --patch-format 2 on files of 2 MiB or more: time %.2f, memory %.2f of bsdiff at most\n", t, m
    printf "applying format 2 / format 1 at most: zqpatch time %.2f, memory %.2f; updater time %.2f, memory %.2f\n", zt, zm, ut, um
  }'
echo "form: the format make-update kept (2/1 absolute addresses, 2/2 indexed); 1/bs, 2/bs, 2/1: stored sizes"
echo "time, mem: zqdiff --patch-format 2 / bsdiff; zqpatch and the updater: format 2 / format 1 entry"
