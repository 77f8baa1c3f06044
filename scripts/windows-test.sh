#!/usr/bin/env bash
# Builds the bridge, its tests and its installer for Windows (mingw-w64) and
# runs them under Wine: the unit and in-process tests, then a silent install,
# the installed binary driven from Linux like a page (LINUX_BUILD's app_tests,
# when given), and a silent uninstall.
# Usage: scripts/windows-test.sh [BUILD_DIR] [LINUX_BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
ORVEX_WINDOWS=1 scripts/install-deps.sh
dir=${1:-build-windows}
linux=${2:-}
started=$SECONDS
stage() { echo "== windows: $* ($((SECONDS - started)) s)"; }

# One prefix for the run. Its server and services start before any test:
# the services inherit the output of the first Wine process, so a test that
# reads a child's output to its end would otherwise wait for them.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/orvex-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1

stage "build"
# -O0 -g0 and a unity build: the tests wait on pages and devices, and this
# compiles fastest.
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g0" -DORVEX_WERROR=ON -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target orvex-bridge windows_tests installer

stage "tests under Wine"
# Reports for scripts/skips.py; the Windows programs take a Windows path.
results=${ORVEX_TEST_RESULTS:-}
win_results=""
if [ -n "$results" ]; then
  mkdir -p "$results"
  win_results="xml:$(winepath -w "$results" 2>/dev/null)\\"
fi
(cd "$dir" && GTEST_OUTPUT=$win_results ctest --output-on-failure --timeout 300)

stage "installer"
setup=$(ls "$dir"/orvex-bridge-setup-*.exe)
wine "$setup" /S
installed="$WINEPREFIX/drive_c/Program Files/orvex-bridge"
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
test -f "$installed/orvex-bridge.exe" && test -f "$installed/uninstall.exe"
wine reg query "$run_key" /v orvex-bridge | tr -d '\r' | grep -q 'orvex-bridge.exe" --quiet'
find "$WINEPREFIX/drive_c/users" -path '*Start Menu/Programs/orvex-bridge/orvex-bridge console.url' | grep -q .
if [ -n "$linux" ]; then
  # The installed binary: greeting, reports and removal texts as the Linux
  # binary serves them, Ctrl+C, the second instance.
  ORVEX_WINDOWS_BRIDGE="$installed/orvex-bridge.exe" GTEST_OUTPUT=${results:+xml:$results/} \
    "$linux/tests/app_tests" --gtest_filter='TheWindowsBridgeUnderWine.*' --gtest_brief=1
fi
wine "$installed/uninstall.exe" /S
# The uninstaller runs on from a copy of itself and deletes the folder after
# the first returned (the server stays up: wineserver -w would not return).
for _ in $(seq 200); do [ -e "$installed" ] || break; sleep 0.1; done
if [ -e "$installed" ]; then echo "windows-test: the uninstaller left $installed" >&2; exit 1; fi
if wine reg query "$run_key" /v orvex-bridge >/dev/null 2>&1; then
  echo "windows-test: the uninstaller left the Run entry" >&2
  exit 1
fi
stage "all Windows tests passed"
