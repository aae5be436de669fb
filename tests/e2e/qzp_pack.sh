#!/usr/bin/env bash
# qzp pack / list / verify / extract on a generated tree: the unpacked tree equals the source; a
# damaged copy is refused, naming the damage; the packaging slips qzp pack refuses; what extract
# does with links and with the package itself.
source "$(dirname "$0")/kit.sh" "$1"

# A tree with sizes around the 16,384-byte blocks, nested and non-ASCII names, an empty directory,
# and its manifest in another letter case, which is the manifest all the same.
mkdir -p src/VORIZ/sub "src/Ordner ä/日本" src/empty
"$QZP" manifest src --version 1.0 > /dev/null && mv src/VORIZ/INDEX.INI src/VORIZ/index.ini
head -c 16383 /dev/urandom > src/VORIZ/sub/a.bin
head -c 16384 /dev/urandom > src/VORIZ/sub/b.bin
head -c 16385 /dev/urandom > "src/Ordner ä/日本/c.bin"
seq 1 100000 > src/VORIZ/numbers.txt
printf 'x' > src/one

"$QZP" pack --jobs 2 src pkg.qzp > /dev/null
"$QZP" pack --jobs 1 --comment '\SDMMC\' src pkg1.qzp > /dev/null
cmp pkg.qzp pkg1.qzp || fail "package differs with the job count"

"$QZP" list pkg.qzp > list.txt
grep -q '^f      16385 .* Ordner ä\\日本\\c.bin$' list.txt || fail "c.bin line"

# JSON listing: the text listing's entries field by field, and the blocks only JSON shows.
"$QZP" list --json pkg.qzp | python3 -c 'import json, sys
doc = json.load(sys.stdin)
rows = [line.rstrip("\n").split(None, 4) for line in open("list.txt")]
assert doc["comment"] == "\\SDMMC\\" and len(rows) == len(doc["entries"]) == 11, doc
for e, row in zip(doc["entries"], rows):
    assert row == ["df"[not e["directory"]], str(e["size"]), str(e["compressedSize"]), e["crc"], e["name"]], e
assert [e["blocks"] for e in doc["entries"] if e["name"].endswith((".bin", "empty\\"))] == [2, 1, 1, 0]' \
    || fail "JSON listing"

"$QZP" verify pkg.qzp | grep '11 entries OK' > /dev/null || fail "verify"

# Extract everything into a relative directory (with a trailing slash) and an absolute one
# whose own path is longer than the device's limit: only the names count toward it.
"$QZP" extract pkg.qzp out/
diff -r src out || fail "relative extraction differs"
deep="abs/$(printf 'd%.0s' $(seq 200))/$(printf 'e%.0s' $(seq 100))"
"$QZP" extract pkg.qzp "$WORK/$deep"
diff -r src "$deep" || fail "absolute extraction differs"

# Extract by name, with `\` or `/`, in any letter case, a folder with its whole subtree (with or
# without the final slash), and nothing else: NAMES|THE FILES WRITTEN.
while IFS='|' read -r names files; do
    rm -rf part && eval "\"\$QZP\" extract pkg.qzp part $names"
    [ "$(cd part && find . -type f | LC_ALL=C sort | paste -sd' ')" = "$files" ] || fail "extract $names"
done <<'TABLE'
'voriz\INDEX.ini' 'ORDNER ä/日本/C.BIN'|./Ordner ä/日本/c.bin ./VORIZ/index.ini
'VORIZ/sub/'|./VORIZ/sub/a.bin ./VORIZ/sub/b.bin
'voriz\SUB'|./VORIZ/sub/a.bin ./VORIZ/sub/b.bin
TABLE

fails 1 '^qzp: pkg.qzp: VORIZ/missing.txt: not in the package$' "$QZP" extract pkg.qzp none VORIZ/missing.txt
[ ! -e none ] || fail "directory made for a failed extraction"

# A damaged package: extract and verify exit 1 and name the entry and the block, or both CRCs.
# The last block of numbers.txt, a few bytes before the end of its data, which follows the name's
# first occurrence: its first blocks are written before the damage shows, yet the failed entry
# leaves no file and nothing after it is extracted.
name='VORIZ\numbers.txt'
cp pkg.qzp data.qzp
flip data.qzp $(( $(offset_of data.qzp "$name") + ${#name} + $(field pkg.qzp "$name" compressedSize) - 10 ))
fails 1 "^qzp: data.qzp: VORIZ\\\\numbers.txt: .*block $(( $(field pkg.qzp "$name" blocks) - 1 ))" \
    "$QZP" extract data.qzp out1
[ ! -e out1/VORIZ/numbers.txt ] && [ ! -e out1/VORIZ/sub ] || fail "extracted at or after the damage"
# The CRC-32 in the directory record stands 10 bytes before the name's second occurrence.
stored=$(field pkg.qzp "$name" crc)
changed=$(printf %08x $(( 0x$stored ^ 0x1234 )))
cp pkg.qzp crc.qzp
printf "\\x${changed:6:2}\\x${changed:4:2}\\x${changed:2:2}\\x${changed:0:2}" |
    dd of=crc.qzp bs=1 seek=$(( $(offset_of crc.qzp "$name" 2) - 10 )) conv=notrunc status=none
fails 1 "^qzp: crc.qzp: VORIZ\\\\numbers.txt: CRC-32 mismatch: 0x$stored should be 0x$changed\$" \
    "$QZP" verify crc.qzp
fails 1 '^qzp: list.txt: not a package' "$QZP" list list.txt

# Packaging slips: each tree shape is refused with status 1 and one line naming the problem and
# the fix; nothing is written. TEXT|SETUP of a tree that holds VORIZ/app.bin alone.
while IFS='|' read -r text setup; do
    rm -rf slip out.qzp && mkdir -p slip/VORIZ && printf 'data' > slip/VORIZ/app.bin
    eval "$setup"
    fails 1 "" "$QZP" pack slip out.qzp
    grep -qF -- "$text" err.txt && [ ! -e out.qzp ] || fail "slip $setup: $(cat err.txt)"
done <<'TABLE'
qzp: slip: no manifest VORIZ/INDEX.INI|:
qzp: slip/INDEX.INI: the manifest must be stored as VORIZ/INDEX.INI, not as INDEX.INI|"$QZP" manifest slip --version 2 >/dev/null; mv slip/VORIZ/INDEX.INI slip/INDEX.INI
must be stored as VORIZ/INDEX.INI, not as APP/index.ini|mkdir slip/APP; "$QZP" ini set slip/APP/index.ini Config SoftwareVersion 2 >/dev/null
qzp: slip/VORIZ/INDEX.INI: the manifest cannot be read: not a UTF-16 INI file|printf '[Config]\r\nSoftwareVersion=2\r\n' > slip/VORIZ/INDEX.INI
qzp: slip/VORIZ/INDEX.INI: the manifest is a folder|mkdir -p slip/VORIZ/INDEX.INI; echo x > slip/VORIZ/INDEX.INI/x
qzp: slip/VORIZ/INDEX.INI: Config/SoftwareVersion is missing or empty|"$QZP" ini set slip/VORIZ/INDEX.INI UpdateInfo IsPatch 0 >/dev/null
updateinfo/IsPatch: a device reads no such key; did you mean UpdateInfo/IsPatch?|"$QZP" ini set slip/VORIZ/INDEX.INI Config SoftwareVersion 2 >/dev/null; "$QZP" ini set slip/VORIZ/INDEX.INI updateinfo IsPatch 1 >/dev/null
UpdateInfo/IsPatch is '1x', not a decimal integer|"$QZP" manifest slip --version 2 >/dev/null; "$QZP" ini set slip/VORIZ/INDEX.INI UpdateInfo IsPatch 1x >/dev/null
qzp: out.qzp: no device installs it: decision: package 2 (patch for (none)), installed undetected: patch for another version; shows "This Patch only for version:\n Update fail!"|"$QZP" manifest slip --version 2 >/dev/null; "$QZP" ini set slip/VORIZ/INDEX.INI UpdateInfo IsPatch 1 >/dev/null
UpdateInfo/OldVersion: a device reads no such key; did you mean UpdateInfo/oldVersion?|"$QZP" manifest slip --version 2 --patch-for 1 >/dev/null; "$QZP" ini set slip/VORIZ/INDEX.INI UpdateInfo OldVersion 1 >/dev/null; "$QZP" ini set slip/VORIZ/INDEX.INI Confg x 1 >/dev/null
TABLE
# --force packs the last one, warning of each spelling a device does not read.
"$QZP" pack --force slip out.qzp > /dev/null 2> err.txt && [ "$(grep -c 'did you mean' err.txt)" = 2 ] ||
    fail "pack --force: $(cat err.txt)"
# --no-manifest writes even a package no device installs, saying so; verify refuses it (and so
# does sign, which verifies first: qzp_signature.sh's refusals).
mkdir -p none && "$QZP" pack --no-manifest none none.qzp > /dev/null 2> err.txt || fail "pack none"
refused='no device installs it: check: no entries; shows "Invalid update File"'
grep -qxF "qzp: warning: none.qzp: $refused" err.txt && grep -q '^qzp: warning: none: no manifest' err.txt ||
    fail "pack none: $(cat err.txt)"
fails 1 "^qzp: none.qzp: $refused\$" "$QZP" verify none.qzp

# OUT is checked before anything is compressed: not inside SRC_DIR (by identity, through a
# link too), not an input file, writable (qzp_reasons.sh's rows).
fails 1 "^qzp: src/VORIZ/index.ini: lies inside src, one of the inputs" "$QZP" pack src src/VORIZ/index.ini
fails 1 "lies inside src" "$QZP" pack src src/inside.qzp
ln -s src alias
fails 1 "lies inside src" "$QZP" pack src alias/VORIZ/inside.qzp
"$QZP" diff src pkg.qzp > /dev/null || fail "an input was replaced or a package written in src"

# Host paths are the host's: another letter case is another file, and `..` goes where the OS
# says (through a link, to the link target's parent).
echo "victim" > victim.qzp
"$QZP" pack src VICTIM.QZP > /dev/null
[ "$(cat victim.qzp)" = "victim" ] || fail "VICTIM.QZP replaced victim.qzp"
mkdir -p deep/inner && ln -s deep/inner link
"$QZP" pack src link/../dotdot.qzp > /dev/null
[ -f deep/dotdot.qzp ] && [ ! -e dotdot.qzp ] || fail "link/.. was not resolved by the OS"

# extract never writes through a symbolic link in DIR: a link standing for a folder of the
# package, or planted as the scratch name, is refused and named; nothing reaches the outside.
mkdir -p elsewhere trap1 trap2/VORIZ
ln -s "$WORK/elsewhere" trap1/VORIZ
ln -s "$WORK/elsewhere/scratch" trap2/VORIZ/~qzpnew.tmp
echo old > trap2/VORIZ/numbers.txt
for dir in trap1 trap2; do
    fails 1 "^qzp: $dir/VORIZ.*: a symbolic link in the way" "$QZP" extract pkg.qzp $dir
done
[ -z "$(ls elsewhere)" ] || fail "package data went through a link: $(ls elsewhere)"

# extract never overwrites the package it reads, even when it lies where an entry goes.
mkdir -p self/VORIZ
cp pkg.qzp self/VORIZ/numbers.txt
fails 1 'is the package being extracted' "$QZP" extract self/VORIZ/numbers.txt self
cmp pkg.qzp self/VORIZ/numbers.txt || fail "the package was overwritten"

echo "qzp_pack: OK"
