#!/usr/bin/env bash
# Installs what the build and the tests need, builds and runs every test:
#  1. AddressSanitizer + UndefinedBehaviorSanitizer (clang): every test
#     program, then every libFuzzer target for 30 s (fuzz/);
#  2. the Debian package and its checks (lintian, unit, autostart entry,
#     files, dependencies, --check); the packaged binary also runs in a QEMU
#     guest against emulated devices (the real-kernel suite, alongside the
#     tests of step 1) and under the console's browser tests;
#  3. ThreadSanitizer (gcc): every test program that starts threads.
# The sanitizer builds skip optimisation: the tests wait on devices and pages,
# not on the processor, and an unoptimised build compiles in a third of the
# time. Warnings in our code fail every build.
# Usage: scripts/test.sh [--quick]   (--quick: one plain build and its tests)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh

jobs=$(nproc)
started=$SECONDS
stage() { echo "== $* ($((SECONDS - started)) s)"; }
configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DORVEX_WERROR=ON "$@" \
    >/dev/null
}
run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 900 "$@")
}

if [ "$quick" -eq 1 ]; then
  stage "plain build"
  configure build-test
  cmake --build build-test -j "$jobs"
  run_ctest build-test -LE kernel
  stage "all tests passed"
  exit 0
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
CXX=clang++ configure build-asan -DORVEX_SANITIZE=address -DORVEX_FUZZ=ON
cmake --build build-asan -j "$jobs"

stage "Debian package"
scripts/package.sh
bridge=$PWD/build-package/root/usr/bin/orvex-bridge
if grep -E '^/[^ ]*: warning: ' build-package/build.log; then
  echo "test.sh: the package build warned (build-package/build.log)" >&2
  exit 1
fi

# The real-kernel suite boots one guest for all its cases, with the packaged
# binary in it, while the other programs run; it says so and skips where QEMU
# cannot run.
stage "AddressSanitizer + UndefinedBehaviorSanitizer tests, and the real kernel (QEMU)"
ORVEX_KERNEL_BRIDGE=$bridge \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan

stage "fuzzing, 30 s a target"
scripts/fuzz.sh build-asan 30

stage "package checks"
scripts/check-package.sh

stage "console in headless Chromium"
scripts/console-test.sh "$bridge"

stage "ThreadSanitizer build (threaded tests)"
CXX=g++ configure build-tsan -DORVEX_SANITIZE=thread -DORVEX_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target threaded_tests
stage "ThreadSanitizer tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest build-tsan -L threaded

stage "all tests passed"
