#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures and builds the project in DIR
# (only the targets in $BUILD_TARGETS when that is set).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j2 ${BUILD_TARGETS:+--target $BUILD_TARGETS}
