#!/usr/bin/env bash
# The main job: builds everything (release preset), makes a demo device image under out/device
# (version 1.0 installed, the vendor library stand-in, a trusted public key, a card with a version
# 2.0 package packed from samples/ and signed with that key, and a power-off logo), runs the
# installer on it and shows what changed and the log it left on the card; then puts a copy of the
# package with one byte changed on the card and shows the installer refuse it.
# Every run starts from a fresh image.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}"
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "$(nproc)" --target qzp qzpupdate velmorin_standin
bin=build/host-release/bin
qzp=$bin/qzp

device=out/device
rm -rf "$device" out/keys out/events.jsonl out/tree-before.txt out/tree-after.txt
mkdir -p "$device/SDMMC" "$device/ResidentFlash2/VORIZ/Maps" "$device/Windows" out/keys

# A demo key without a password, so that the demo asks nothing; a real one keeps its password.
echo "== signing key: out/keys/release.key; the device trusts out/keys/release.pub"
"$qzp" keygen --pubkey out/keys/release.pub --key out/keys/release.key --no-password
cp out/keys/release.pub "$device/Windows/qzpupdate.pub"

echo "== device image: version 1.0 installed on \\ResidentFlash2\\"
printf 'VORIZ 1.0\n' > "$device/ResidentFlash2/VORIZ/VORIZ.exe"
printf 'region data of 1.0\n' > "$device/ResidentFlash2/VORIZ/Maps/region01.dat"
printf 'only in 1.0: removed by the full update\n' > "$device/ResidentFlash2/VORIZ/notes-1.0.txt"
"$qzp" ini set "$device/ResidentFlash2/VORIZ/index.ini" Config SoftwareVersion 1.0 >/dev/null
cp "$bin/velmorin_standin.so" "$device/Windows/velmorin.dll"

echo "== card: \\SDMMC\\VORIZ.QZP (qzp pack --sign samples, manifest says 2.0), its signature and PowerOffLogo.bmp"
"$qzp" pack --sign out/keys/release.key samples "$device/SDMMC/VORIZ.QZP"
"$qzp" verify --pubkey out/keys/release.pub "$device/SDMMC/VORIZ.QZP"
cp samples/PowerOffLogo.bmp "$device/SDMMC/PowerOffLogo.bmp"

tree_of() { (cd "$1" && find . -mindepth 1 | sort | while read -r f; do
    if [ -d "$f" ]; then echo "$f/"; else echo "$f $(wc -c <"$f") bytes"; fi
done); }
tree_of "$device/ResidentFlash2" > out/tree-before.txt

if [ -t 0 ] && [ -t 1 ]; then
    echo "== qzpupdate (terminal: Enter = OK, Escape or c = Cancel; the question accepts by itself after 5 s)"
    ui=(--ui terminal)
else
    echo "== qzpupdate --ui headless --answer timeout --time-scale 0.05"
    ui=(--ui headless --answer timeout --time-scale 0.05)
fi
status=0
"$bin/qzpupdate" --device "$device" "${ui[@]}" --events out/events.jsonl || status=$?
echo "qzpupdate ended with status $status"

tree_of "$device/ResidentFlash2" > out/tree-after.txt
echo "== \\ResidentFlash2\\ before -> after"
diff -u out/tree-before.txt out/tree-after.txt || true
# The device matches names without regard to case; the new record is the package's INDEX.INI.
record=$(find "$device/ResidentFlash2/VORIZ" -maxdepth 1 -iname index.ini | head -n 1)
echo "== installed version now: $("$qzp" ini get "$record" Config SoftwareVersion)"
echo "== events (out/events.jsonl), progress lines folded"
grep -v '"event":"progress"' out/events.jsonl
echo "($(grep -c '"event":"progress"' out/events.jsonl) progress events)"
echo "== technician's log on the card (\\SDMMC\\qzpupdate.log)"
cat "$device/SDMMC/qzpupdate.log" 2>/dev/null || echo "(none written)"

echo "== a tampered card: the same package with one byte of its comment changed, the same signature"
package="$device/SDMMC/VORIZ.QZP"
offset=$(($(wc -c < "$package") - 3))  # the comment's last byte, before its 2-byte length
byte=$(od -An -tu1 -j "$offset" -N1 "$package" | tr -d ' ')
printf "\\$(printf '%03o' $(((byte + 1) % 256)))" |
    dd of="$package" bs=1 seek="$offset" conv=notrunc status=none
"$qzp" verify --pubkey out/keys/release.pub "$package" || true
lines=$(wc -l < "$device/SDMMC/qzpupdate.log")
status=0
"$bin/qzpupdate" --device "$device" --ui headless --time-scale 0 --events out/events-tampered.jsonl ||
    status=$?
echo "qzpupdate ended with status $status"
echo "== the installed version is still: $("$qzp" ini get "$record" Config SoftwareVersion)"
echo "== the log's lines of this run"
tail -n +$((lines + 1)) "$device/SDMMC/qzpupdate.log"
