#!/usr/bin/env bash
# Builds and runs every test: the debug preset, the same tests under ASan+UBSan, a format check,
# and each fuzz target for a short while. Installs what it needs on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}"

echo "== format check"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

jobs=$(nproc)
for preset in host-debug host-asan; do
    echo "== build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

echo "== fuzz (about 60 s in all)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
bash scripts/fuzz.sh 60
