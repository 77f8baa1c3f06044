#!/usr/bin/env bash
# Runs the console's browser tests: Debian's headless Chromium against the
# given bridge binary with simulated devices. Installs playwright-core from
# the lockfile (npm ci; no browser is downloaded).
# Usage: scripts/console-test.sh BRIDGE_BINARY
# Skips (exit 0, says why) without node and npm; the browser tests skip
# themselves without /usr/bin/chromium.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BRIDGE_BINARY" >&2
  exit 2
fi
binary=$(realpath "$1")
[ -x "$binary" ] || { echo "console-test: $1 is not an executable" >&2; exit 2; }
cd "$(dirname "$0")/../tests/console"

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "console-test: SKIPPED: node and npm are needed (scripts/install-deps.sh installs them)"
  exit 0
fi
# Without Chromium the browser tests skip themselves, saying why; the page's
# decoder tests still run.
chromium=${ORVEX_CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || echo "console-test: no Chromium at $chromium: the browser tests will be skipped"

export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
npm ci --no-audit --no-fund --loglevel=error
out=${ORVEX_SCREENSHOT_DIR:-$(dirname "$binary")/console-shots}
mkdir -p "$out"
rm -f "$out/console.png"
ORVEX_BRIDGE="$binary" ORVEX_CHROMIUM="$chromium" ORVEX_SCREENSHOT_DIR="$out" \
  node --test --test-concurrency=1 protocol.test.mjs console.test.mjs
if [ -f "$out/console.png" ]; then echo "console-test: screenshot in $out/console.png"; fi
