#!/usr/bin/env bash
# Prints the share of tests in the code: lines of .cpp/.h/.sh/.py under tests/ and fuzz/ against the
# product's (app package ini platform signature tools), as git tracks them.
# Usage: scripts/test_share.sh [LIMIT]   exits 1 when the share is over LIMIT (for example 0.40)
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { git ls-files -- "$@" | grep -E '\.(cpp|h|sh|py)$' | tr '\n' '\0' | xargs -0r cat | wc -l; }
tests=$(lines tests fuzz)
product=$(lines app package ini platform signature tools)
share=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.2f", t / p }')
echo "test share: $share ($tests lines of tests and fuzzers, $product of product code)"
[ -z "${1:-}" ] || awk -v s="$share" -v l="$1" 'BEGIN { exit !(s <= l) }' ||
    { echo "test share $share is over $1" >&2; exit 1; }
