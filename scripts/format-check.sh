#!/usr/bin/env bash
# Checks that every C and C++ file of the tree is laid out as .clang-format
# says; with --fix, lays them out. Debian 12's clang-format (14) is the
# reference: another version may place a few lines differently.
# Usage: scripts/format-check.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/orvex-format.$$; then
  grep -E '^[^ ].*: (error|warning):' /tmp/orvex-format.$$ | cut -d: -f1 | sort -u | sed 's/^/format: not laid out: /' >&2
  rm -f /tmp/orvex-format.$$
  echo "format: run scripts/format-check.sh --fix" >&2
  exit 1
fi
rm -f /tmp/orvex-format.$$
echo "format: ${#files[@]} files laid out as .clang-format says"
