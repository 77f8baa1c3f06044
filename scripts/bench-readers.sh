#!/usr/bin/env bash
# Builds the reader benchmarks with optimisation and runs them: report
# latency (20 devices at 50 Hz), an idle bridge, a 1,000 reports/s device and
# 1,000 reader stops. Each prints its figures and fails when a bound is broken;
# this script fails when any did. About a minute of running on two cores.
# Usage: scripts/bench-readers.sh [build-dir]   (default build-bench)
set -uo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
benches=(report_latency idle_wakeups report_burst reader_stop)

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_BENCH=ON >/dev/null &&
  cmake --build "$dir" -j "$(nproc)" --target orvex-bridge "${benches[@]/#/bench_}" || exit 1

failed=0
for b in "${benches[@]}"; do
  echo "== bench_$b"
  # The bridge's and the pages' connection log lines are not figures.
  "$dir/bench/bench_$b" | grep -v -e '^\[20[0-9-]* [0-9:]*\] ' -e '^Connection \(opened\|closed\)$'
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
done
exit $failed
