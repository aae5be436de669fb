#!/usr/bin/env bash
# Builds qzp, qzpupdate and the zlib floors (host-release preset), makes corpora under bench/work/
# from files found on this machine and times extraction on tmpfs and on disk against the decode
# limit, a plain extractor, unzip, bsdtar and 7z; verification, the installer on a device image,
# INI loading and packing. Writes bench/RESULTS.md.
# Usage: bash bench/run.sh   (BENCH_RUNS=N runs per figure, default 3; BENCH_TMPFS=DIR, default
#                             /dev/shm; BENCH_FLAT_TIMEOUT=S stops qzp on the one-folder tree
#                             after S seconds, default 90; BENCH_CASES=small,flat runs only those
#                             of pack, large, small, spread, flat, installer, ini; BENCH_RESULTS=FILE
#                             writes there instead of bench/RESULTS.md)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
source scripts/deps.sh
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}" zip unzip pigz libarchive-tools tar 7zip

# Warnings are the test builds' gate; a benchmark build should not stop at one.
cmake --preset host-release > /dev/null
cmake --build build/host-release -j2 --target qzp qzpupdate velmorin_standin zlib_baseline \
    ini_load_bench

crc=zlib
grep -q '^QZP_LIBDEFLATE:BOOL=ON' build/host-release/CMakeCache.txt && crc=libdeflate
python3 bench/bench.py --bin build/host-release/bin --work bench/work \
    --tmpfs "${BENCH_TMPFS:-/dev/shm}" --crc "$crc" \
    --flat-timeout "${BENCH_FLAT_TIMEOUT:-90}" --runs "${BENCH_RUNS:-3}" \
    --cases "${BENCH_CASES:-pack,large,small,spread,flat,installer,ini}" \
    --results "${BENCH_RESULTS:-bench/RESULTS.md}"
