#!/usr/bin/env bash
# fuzz.sh [SECONDS] [TARGET...]: builds the libFuzzer targets with clang and
# runs each for SECONDS (default 600) on its corpus in fuzz/corpus/<target>,
# adding what it finds there. Crashes are written to out/fuzz/<target>/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-600}
shift || true
bash scripts/install-deps.sh
command -v clang++ > /dev/null || { apt-get update -qq; apt-get install -y -qq clang libclang-rt-14-dev; }
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=($(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//'))
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_FUZZ=ON > /dev/null
cmake --build build-fuzz -j2 --target "${targets[@]}" > /dev/null
for t in "${targets[@]}"; do
  mkdir -p "out/fuzz/$t" "fuzz/corpus/$t"
  echo "== $t for $seconds s"
  build-fuzz/fuzz/$t -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="out/fuzz/$t/" "fuzz/corpus/$t" 2>&1 | grep -E "^#[0-9]+.*(DONE|pulse)|ERROR|SUMMARY|Done" | tail -3
done
