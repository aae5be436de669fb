#!/usr/bin/env bash
# Builds and runs every test: a format check, the debug preset, the same tests under ASan+UBSan,
# the Windows build under Wine, the Windows zip of the tools (unpacked, the walk-throughs run
# with its qzp.exe under Wine), the 32-bit Windows build and its zip, the ARM build (tests under
# qemu), the Debian package of the host tools (unpacked and run), and each fuzz target for a short
# while.
# Installs what it needs on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}"

echo "== format check"
git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

echo "== include check: no circle between modules (a header with its source), none up a layer"
git ls-files '*.cpp' '*.h' | xargs grep -H '^#include "' |
    sed -n 's/^\(.*\)\.[ch]p*:#include "\(.*\)\.h".*$/\1 \2/p' |
    awk 'function layer(p) { return p ~ /^platform\// ? 0 : p ~ /^(package|signature|ini)\// ? 1 : p ~ /^app\// ? 2 : 3 }
         $1 != $2 { print } layer($2) > layer($1) { print "up a layer: " $0 >"/dev/stderr"; bad = 1 }
         END { exit bad }' | tsort >/dev/null

jobs=$(nproc)
for preset in host-debug host-asan; do
    echo "== build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

echo "== windows build under wine"
bash scripts/wine_test.sh

echo "== windows zip of the tools: the walk-throughs with its qzp.exe under wine"
bash scripts/wine_zip_test.sh

echo "== 32-bit windows build (warnings are errors)"
qzp_require_packages g++-mingw-w64-i686-posix libz-mingw-w64-dev
bash scripts/mingw_libsodium.sh i686-w64-mingw32
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$jobs"
rm -rf build/windows-x86/packages
(cd build/windows-x86 && cpack -G ZIP >/dev/null)
unzip -l build/windows-x86/packages/qzp-*-win32.zip | grep -E 'qzp\.exe|qzpupdate\.exe|README\.txt|licences/'

echo "== the device's API: imports of both Windows builds against its export lists"
bash scripts/device_exports.sh --check
bash scripts/check_imports.sh
bash scripts/device_headers_check.sh

echo "== 32-bit ARM: unit tests under qemu-arm, packages crossing host and ARM"
bash scripts/arm_test.sh

echo "== Debian package of the host tools: built from the release preset, run from a scratch root"
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "$jobs" --target qzp qzpupdate velmorin_standin man_pages
rm -rf build/host-release/packages
(cd build/host-release && cpack -G DEB >/dev/null)
deb_root=$(mktemp -d)
dpkg -x build/host-release/packages/qzp-tools_*.deb "$deb_root"
"$deb_root/usr/bin/qzp" --version
"$deb_root/usr/bin/qzpupdate" --version
rm -rf "$deb_root"

echo "== fuzz (about 60 s in all)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
bash scripts/fuzz.sh 60

echo "== share of tests in the code"
bash scripts/test_share.sh 0.40
