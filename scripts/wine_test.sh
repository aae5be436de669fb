#!/usr/bin/env bash
# The Windows build under Wine: cross-builds the `windows` preset (qzpupdate.exe, qzp.exe, the unit
# test programs *_tests.exe and the suite's velmorin.dll and driver.exe), makes a fresh Wine
# prefix, runs every *_tests.exe from drive C: (the platform contract tests make their folders
# there), then tests/wine/suite.sh under Xvfb and tests/wine/codepage.sh against the host build.
# Fails when any of them fails. Installs what it needs on a fresh Debian 12 machine.
# Usage: wine_test.sh [CASE...]   only these cases of the suite (after the unit tests)
# QZP_WINDOWS_BUILD sets the build directory (default build/windows).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QZP_WINDOWS_BUILD:-build/windows}
mkdir -p "$build"
export BIN="$build/bin"
export WINEPREFIX="$(cd "$build" && pwd)/wine-prefix"
source scripts/deps.sh
source tests/wine/lib.sh
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}" "${QZP_WINDOWS_PACKAGES[@]}"
bash scripts/mingw_libsodium.sh x86_64-w64-mingw32

echo "== build: windows ($build)"
cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)"

echo "== wine prefix"
wine_prefix_fresh

echo "== unit tests under wine"
status=0
bin=$(cd "$BIN" && pwd)
if ! compgen -G "$bin/*_tests.exe" > /dev/null; then
    echo "no unit tests in $bin (is QZP_TESTS off in $build?)" >&2
    exit 1
fi
xvfb-run -a -s "-screen 0 800x480x24" bash -c 'cd "$1/drive_c" && for program in "$2"/*_tests.exe; do
    echo "== $(basename "$program")" && wine "$program" --gtest_brief=1 || failed=1; done
    exit ${failed:-0}' - "$WINEPREFIX" "$bin" || status=1

echo "== wine suite"
xvfb-run -a -s "-screen 0 800x480x24" bash tests/wine/suite.sh "$BIN" "$WINEPREFIX" "$@" || status=1
# Names in code pages, against the host build's qzp and qzpupdate (scripts/test.sh builds them
# first; QZP_HOST_BIN names another bin directory).
host_bin=${QZP_HOST_BIN:-build/host-debug/bin}
if [ $# -eq 0 ]; then
    echo "== code pages against $host_bin"
    if [ -x "$host_bin/qzp" ] && [ -x "$host_bin/qzpupdate" ]; then
        xvfb-run -a -s "-screen 0 800x480x24" bash tests/wine/codepage.sh "$host_bin" "$BIN" "$WINEPREFIX" || status=1
    else
        echo "no host build in $host_bin: build the host-debug preset first" >&2
        status=1
    fi
fi
exit $status
