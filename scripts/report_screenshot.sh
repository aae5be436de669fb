#!/usr/bin/env bash
# The sample report page of docs/qzp.md: a device image whose card holds a signed package and a
# log with a refused, a cut and a completed run, reported by `qzp report -o` and photographed by
# headless Chromium at a phone's width (docs/report.png). QZP_BIN sets the host build's bin
# directory (default build/host-debug/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qzp_require_packages chromium minisign
bin="$(cd "${QZP_BIN:-build/host-debug/bin}" && pwd)"
out="$PWD/docs/report.png"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

minisign -G -W -p release.pub -s release.sec > /dev/null
mkdir -p img/SDMMC img/ResidentFlash2/VORIZ img/Windows src
cp -r "$OLDPWD/samples/VORIZ" src/
"$bin/qzp" manifest src --version 2.0 > /dev/null
"$bin/qzp" ini set img/ResidentFlash2/VORIZ/index.ini Config SoftwareVersion 1.0 > /dev/null
"$bin/qzp" pack src img/SDMMC/VORIZ.QZP > /dev/null
cp release.pub img/Windows/qzpupdate.pub
printf '%s\r\n' '2026-12-01 09:12:40 package: \SDMMC\VORIZ.QZP found' \
    '2026-12-01 09:12:41 check: VORIZ\Maps\region.dat: CRC-32 mismatch; shows "Invalid update File"' \
    '2026-12-03 16:40:02 +0100 run: qzpupdate 1.0.0, code page 65001; package \SDMMC\VORIZ.QZP, 4096 bytes, SHA-256 unknown' \
    '2026-12-03 16:40:02 +0100 package: \SDMMC\VORIZ.QZP found' \
    '2026-12-03 16:40:09 +0100 purge: \ResidentFlash2 emptied' > img/SDMMC/qzpupdate.log
minisign -S -s release.sec -m img/SDMMC/VORIZ.QZP -x img/SDMMC/VORIZ.QZP.minisig -t 'release 2.0' > /dev/null
"$bin/qzpupdate" --device img --ui headless --answer ok --time-scale 0 > /dev/null
"$bin/qzp" report img -o report.html
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=420,1900 \
    --screenshot="$out" "file://$work/report.html" 2> /dev/null
echo "wrote $out"
