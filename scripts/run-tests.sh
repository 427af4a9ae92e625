#!/usr/bin/env bash
# Builds the project twice, plain and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite on both.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh

bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-asan -DUPDATER_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j2)
