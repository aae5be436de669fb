#!/usr/bin/env bash
# The main job: builds the release preset, packs the bundled sample tree, lists, verifies and
# extracts it into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}"
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "$(nproc)"
qzp=build/host-release/bin/qzp
mkdir -p out
echo "== qzp pack samples out/VORIZ.QZP"
"$qzp" pack samples out/VORIZ.QZP
echo "== qzp list out/VORIZ.QZP"
"$qzp" list out/VORIZ.QZP
echo "== qzp verify out/VORIZ.QZP"
"$qzp" verify out/VORIZ.QZP
echo "== qzp extract out/VORIZ.QZP out/extracted"
rm -rf out/extracted
"$qzp" extract out/VORIZ.QZP out/extracted
diff -r samples out/extracted && echo "extracted tree matches samples/"
