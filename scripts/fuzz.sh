#!/usr/bin/env bash
# Runs every libFuzzer target of a build for the given time each, two at a
# time, starting from the seeds in fuzz/corpus/<target>/. Builds nothing:
# configure and build the targets first, for example
#   cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
#         -DORVEX_SANITIZE=address -DORVEX_FUZZ=ON -DORVEX_BUILD_BENCH=OFF
#   cmake --build build-fuzz -j2
# Usage: scripts/fuzz.sh BUILD_DIR [SECONDS]   (default 30 s per target)
# Fails when any target crashes, leaks or breaks an invariant; the input that
# did it is kept in fuzz-artifacts/ of the build directory. New inputs found
# go to a temporary directory, never into the seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/fuzz.sh BUILD_DIR [SECONDS]}
seconds=${2:-30}
shopt -s nullglob
targets=("$build"/fuzz/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets in $build/fuzz (configure with -DORVEX_FUZZ=ON and build first)" >&2
  exit 2
fi
artifacts="$build/fuzz-artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"
seeds=$PWD/fuzz/corpus

run_one() {
  local program=$1 name
  name=$(basename "$program")
  name=${name#fuzz_}
  mkdir -p "$work/$name"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$name-" "$work/$name" "$seeds/$name" >"$work/$name.log" 2>&1; then
    echo "fuzz: $name: $(grep -m1 '^Done' "$work/$name.log" || echo done)"
  else
    echo "fuzz: $name FAILED" >&2
    tail -n 60 "$work/$name.log" >&2
    return 1
  fi
}

failed=0
running=0
for program in "${targets[@]}"; do
  run_one "$program" &
  running=$((running + 1))
  if [ "$running" -ge 2 ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target failed; inputs in $artifacts" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds} s each without a crash"
