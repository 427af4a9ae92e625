# Sourced by the delta benchmarks; needs $work (a scratch folder) and $tools
# (the make-update to measure) set, and $p (the pair's name, for messages).
#
# The size of the patch entry make-update writes for OLD -> NEW, with
# --patch-format FORMAT when given; the entry, unpacked by the package
# reader, must rebuild NEW through zqpatch. The package and the entry stay
# in $work/tree (out/update.zav, f.patch) until the next call.
stored_size() {  # old new [format]
  local t=$work/tree
  rm -rf "$t" && mkdir -p "$t/old" "$t/new"
  cp "$1" "$t/old/f" && cp "$2" "$t/new/f"
  "$tools/make-update" ${3:+--patch-format "$3"} "$t/old" "$t/new" "$t/out" > /dev/null 2>&1
  build/tools/zav extract "$t/out/update.zav" f.patch "$t/f.patch" > /dev/null
  build/tools/zqpatch "$1" "$t/f.result" "$t/f.patch" > /dev/null 2>&1
  cmp -s "$t/f.result" "$2" || echo "!! the stored patch does not rebuild NEW for $p" >&2
  build/tools/zav list "$t/out/update.zav" | awk '$1 == "f.patch" {print $4}'
}

# The format of the entry stored_size left: "1", or "2/T" with transform T.
stored_format() {
  local patch=$work/tree/f.patch
  if [ "$(head -c 8 "$patch")" = ZQDIFF20 ]; then
    echo "2/$(od -A n -t u1 -j 39 -N 1 "$patch" | tr -d ' ')"
  else
    echo 1
  fi
}
