#!/usr/bin/env bash
# The Windows package of the tools under Wine: makes qzp-<version>-win64.zip with cpack from the
# `windows` build, checks that it holds the programs, the README, the guides and the licences,
# unpacks it into a scratch folder and runs the walk-throughs of the README and docs/updates.md
# there with the zip's qzp.exe under Wine in place of qzp (manifest, pack, info, check, diff,
# patch, keygen, sign, verify, and check against the walk-through's device image), as
# scripts/test.sh does with the Debian package on Linux, then the failures that every command must
# word alike (tests/e2e/qzp_reasons.sh). The walk-throughs' qzpupdate, the device's own program,
# stays the host build's (QZP_HOST_BIN, default build/host-debug/bin), which stands in for the
# device.
# Usage: wine_zip_test.sh   (QZP_WINDOWS_BUILD as for wine_test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QZP_WINDOWS_BUILD:-build/windows}
export WINEPREFIX="$(cd "$build" && pwd)/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
source scripts/deps.sh
qzp_require_packages unzip

cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target qzp qzpupdate
rm -rf "$build/packages"
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(echo "$build"/packages/qzp-*-win64.zip)
[ -f "$zip" ] || { echo "FAIL: no qzp-*-win64.zip in $build/packages" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
unzip -q "$zip" -d "$scratch"
top="$scratch/$(basename "$zip" .zip)"
for file in qzp.exe qzpupdate.exe README.txt docs/updates.md docs/qzp.md licences/zlib.txt licences/libsodium.txt; do
    [ -s "$top/$file" ] || { echo "FAIL: $(basename "$zip") lacks $file" >&2; exit 1; }
done
echo "$(basename "$zip"): $(cd "$top" && find . -type f | sort | tr '\n' ' ')"

[ -d "$WINEPREFIX/drive_c" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }
wineserver -p  # one server for the whole walk-through
# A stand-in on the walk-through's PATH: qzp runs the zip's qzp.exe (its CR LF line ends made LF).
mkdir "$scratch/bin"
cat > "$scratch/bin/qzp" <<STANDIN
#!/usr/bin/env bash
out=\$(mktemp) err=\$(mktemp)
wine '$top/qzp.exe' "\$@" > "\$out" 2> "\$err" && status=0 || status=\$?
tr -d '\r' < "\$out"
tr -d '\r' < "\$err" >&2
rm -f "\$out" "\$err"
exit \$status
STANDIN
chmod +x "$scratch/bin/qzp"
ln -s "$(cd "${QZP_HOST_BIN:-build/host-debug/bin}" && pwd)/qzpupdate" "$scratch/bin/qzpupdate"
bash tests/e2e/walkthroughs.sh "$scratch/bin"
QZP_SYSTEM=windows bash tests/e2e/qzp_reasons.sh "$scratch/bin"
