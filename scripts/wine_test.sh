#!/usr/bin/env bash
# The Windows build under Wine: cross-builds the `windows` preset (qzpupdate.exe, qzp.exe and the
# suite's velmorin.dll and driver.exe), makes a fresh Wine prefix and runs tests/wine/suite.sh
# under Xvfb. Installs what it needs on a fresh Debian 12 machine.
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

echo "== wine suite"
xvfb-run -a -s "-screen 0 800x480x24" bash tests/wine/suite.sh "$BIN" "$WINEPREFIX"
