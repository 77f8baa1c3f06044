#!/usr/bin/env bash
# Builds the bridge, its tests and its installer for Windows (mingw-w64) and
# runs them under Wine: the unit and in-process tests, the GUI binary driven
# from Linux like a page (LINUX_BUILD's app_tests, when given), then a silent
# per-user install, which starts the bridge, and a silent uninstall, which
# asks it to close.
# Usage: scripts/windows-test.sh [BUILD_DIR] [LINUX_BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
ORVEX_WINDOWS=1 scripts/install-deps.sh
dir=${1:-build-windows}
linux=${2:-}
started=$SECONDS
stage() { echo "== windows: $* ($((SECONDS - started)) s)"; }
fail() {
  echo "windows-test: $*" >&2
  exit 1
}

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
# Wine's display driver that needs no display: the bridge's hidden main
# window is then a top-level window, as on Windows.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1

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

stage "the GUI binary"
# A GUI program (nothing shows at log-on) and its console twin.
subsystem() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^Subsystem[[:space:]]*//p'; }
[[ "$(subsystem "$dir/orvex-bridge.exe")" == *"(Windows GUI)" ]] || fail "orvex-bridge.exe is no GUI program"
[[ "$(subsystem "$dir/orvex-bridge.com")" == *"(Windows CUI)" ]] || fail "orvex-bridge.com is no console program"
if [ -n "$linux" ]; then
  # Greeting, reports and removal texts as the Linux binary serves them,
  # Ctrl+C, the second instance, output through pipes, a held port.
  ORVEX_WINDOWS_BRIDGE="$dir/orvex-bridge.exe" GTEST_OUTPUT=${results:+xml:$results/} \
    "$linux/tests/app_tests" --gtest_filter='TheWindowsBridgeUnderWine.*' --gtest_brief=1
fi

stage "installer"
setup=$(ls "$dir"/orvex-bridge-setup-*.exe)
# Asks for no elevation: the manifest runs it as the user who starts it.
grep -aq 'level="asInvoker"' "$setup" || fail "the installer asks for elevation"
# Its output is the bridge's too, which it starts and which outlives it.
wine "$setup" /S </dev/null >"$dir/setup.log" 2>&1 || fail "the installer failed: $(cat "$dir/setup.log")"
local_data=$(wine cmd /c 'echo %LOCALAPPDATA%' </dev/null 2>/dev/null | tr -d '\r')
installed="$(winepath -u "$local_data" 2>/dev/null)/Programs/orvex-bridge"
for file in orvex-bridge.exe orvex-bridge.com uninstall.exe; do
  test -f "$installed/$file" || fail "$file is not in $installed"
done
test ! -e "$WINEPREFIX/drive_c/Program Files/orvex-bridge" || fail "the installer wrote to Program Files"
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\orvex-bridge'
run_entry=$(wine reg query "$run_key" /v orvex-bridge </dev/null 2>/dev/null | tr -d '\r')
[[ "$run_entry" == *'\AppData\Local\Programs\orvex-bridge\orvex-bridge.exe" --quiet --wait-for-port'* ]] ||
  fail "no per-user Run entry with --wait-for-port: $run_entry"
wine reg query "HKCU\\$uninstall_key" /v UninstallString </dev/null >/dev/null 2>&1 || fail "no uninstall entry in HKCU"
if wine reg query "HKLM\\$uninstall_key" </dev/null >/dev/null 2>&1; then fail "an uninstall entry in HKLM"; fi
[ -n "$(find "$WINEPREFIX/drive_c/users" -path '*Start Menu/Programs/orvex-bridge/orvex-bridge console.url')" ] ||
  fail "no console page in the Start menu"
# The installed GUI binary and its twin through a pipe; the bridge that the
# installer started holds the mutex.
version=$(wine "$installed/orvex-bridge.com" --version </dev/null)
[[ "$version" =~ ^orvex-bridge\ [0-9.]+$ ]] || fail "the installed twin's --version printed '$version'"
check=""
for _ in $(seq 100); do
  check=$(wine "$installed/orvex-bridge.exe" --check --json --port 0 </dev/null 2>/dev/null || true)
  [[ "$check" == *'"running": true'* ]] && break
  sleep 0.1
done
[[ "$check" == *'"running": true'* ]] || fail "the installer did not start the bridge: $check"

wine "$installed/uninstall.exe" /S </dev/null
# The uninstaller runs on from a copy of itself, asks the bridge to close
# through its hidden window, and deletes the folder once the bridge has gone.
# It would end a bridge that does not answer only after 10 s: gone sooner,
# the bridge closed when asked.
for _ in $(seq 80); do [ -e "$installed" ] || break; sleep 0.1; done
[ ! -e "$installed" ] || fail "the uninstaller left $installed (or the bridge did not close when asked)"
check=$(wine "$dir/orvex-bridge.exe" --check --json --port 0 </dev/null 2>/dev/null || true)
[[ "$check" == *'"running": false'* ]] || fail "the bridge still runs after the uninstall: $check"
if wine reg query "$run_key" /v orvex-bridge </dev/null >/dev/null 2>&1; then fail "the uninstaller left the Run entry"; fi
if wine reg query "HKCU\\$uninstall_key" </dev/null >/dev/null 2>&1; then fail "the uninstaller left its entry"; fi
stage "all Windows tests passed"
