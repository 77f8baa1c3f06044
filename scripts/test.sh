#!/usr/bin/env bash
# Installs what the build and the tests need, builds and runs every test:
# a plain build, the real-kernel suite against it, then
# AddressSanitizer+UndefinedBehaviorSanitizer, then the threaded tests under
# ThreadSanitizer.
# Usage: scripts/test.sh [--quick]   (--quick: the plain build only)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh

jobs=$(nproc)
run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 "$@")
}

echo "== plain build"
scripts/build.sh build-test -DORVEX_BUILD_BENCH=ON
run_ctest build-test -LE kernel

# One QEMU guest for the whole suite; it skips where QEMU cannot run.
echo "== real kernel (QEMU)"
run_ctest build-test -L kernel

if [ "$quick" -eq 0 ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  scripts/build.sh build-asan -DORVEX_SANITIZE=address -DORVEX_BUILD_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan -LE kernel

  echo "== ThreadSanitizer (threaded tests)"
  scripts/build.sh build-tsan -DORVEX_SANITIZE=thread -DORVEX_BUILD_BENCH=OFF
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    run_ctest build-tsan -L threaded
fi
echo "== all tests passed"
