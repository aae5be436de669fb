#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz for a share of SECONDS (default 60), starting from its seed
# corpus in fuzz/corpus/<target>/. A finding fails the script and leaves the crash file in
# build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
targets=(build/fuzz/bin/fuzz_*)
[ -e "${targets[0]}" ] || { echo "no fuzz targets built"; exit 1; }
each=$(( total / ${#targets[@]} ))
[ "$each" -ge 5 ] || each=5
mkdir -p build/fuzz/findings
for t in "${targets[@]}"; do
    name=$(basename "$t")
    work=build/fuzz/corpus/$name
    mkdir -p "$work"
    seeds=()
    [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
    echo "-- $name for ${each}s"
    (cd build/fuzz && "$OLDPWD/$t" -max_total_time="$each" -rss_limit_mb=2048 \
        -artifact_prefix=findings/"$name"- "$OLDPWD/$work" "${seeds[@]/#/$OLDPWD/}" 2>&1 | tail -n 3)
done
echo "fuzz: no findings"
