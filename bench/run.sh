#!/usr/bin/env bash
# Builds qzp (host-release preset), makes a corpus under bench/work/ from files found on this
# machine and times qzp against zlib alone, zip/unzip, bsdtar and pigz. Writes bench/RESULTS.md.
# Usage: bash bench/run.sh        (BENCH_RUNS=N for another number of runs per figure; default 5)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
source scripts/deps.sh
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}" zip unzip pigz libarchive-tools tar

# Warnings are the test builds' gate; a benchmark build should not stop at one.
cmake --preset host-release > /dev/null
cmake --build build/host-release -j2 --target qzp zlib_baseline

python3 bench/bench.py --bin build/host-release/bin --work bench/work \
    --runs "${BENCH_RUNS:-5}" --results bench/RESULTS.md
