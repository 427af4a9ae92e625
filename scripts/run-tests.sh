#!/usr/bin/env bash
# Builds the project twice, plain and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite on both; then runs
# the end-to-end tests against a ThreadSanitizer build of the updater, which
# must report nothing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh

bash scripts/build.sh build
(cd build && ctest --output-on-failure -j2)

# TUF's conformance suite, an outside check of the update client's TUF
# workflow, where the shared tools are at hand; the expected failures are
# build/tools/tuf-conformance-client.xfails (README "TUF conformance").
suite=$top/../shared/tools/tuf-conformance
if [ -e "$suite" ]; then
  bash "$suite" "$top/build/tools/tuf-conformance-client"
else
  echo "TUF conformance suite: skipped ($suite not found)"
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-asan -DUPDATER_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j2)

# The ThreadSanitizer updater stands in for the plain one in the plain build's
# end-to-end tests; any report fails the run.
BUILD_TARGETS=updater bash scripts/build.sh build-tsan -DUPDATER_TSAN=ON
reports=$(mktemp -d)
(cd build && UPDATER_BIN_UNDER_TEST="$top/build-tsan/driver/updater" \
  TSAN_OPTIONS="halt_on_error=1 exitcode=66 log_path=$reports/report suppressions=$top/tests/tsan.supp" \
  ctest --output-on-failure -j2 -L e2e)
if ls "$reports"/report* > /dev/null 2>&1; then
  cat "$reports"/report*
  echo "ThreadSanitizer reported the races above"
  exit 1
fi
rm -rf "$reports"
echo "ThreadSanitizer: no report"
