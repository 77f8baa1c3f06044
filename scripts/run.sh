#!/usr/bin/env bash
# Installs what the bridge needs, builds it and runs it in the foreground.
# Arguments are passed to orvex-bridge (see --help). Stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=OFF
exec build/orvex-bridge "$@"
