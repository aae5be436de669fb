#!/usr/bin/env bash
# qzp manifest, info, diff and patch; a patch made by qzp, applied by qzpupdate to a device with
# the old version installed, gives the new version's tree.
# Usage: qzp_patch.sh BIN_DIR
source "$(dirname "$0")/kit.sh" "$1"
utf8() { tail -c +3 "$1" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r'; }

# manifest: the device path on the comment line (in any folder: qzp_ini.sh's comment rows). What
# manifest, info, patch and check print for such packages is held by the walk-throughs.
"$QZP" manifest old --version 1.0 > /dev/null
[ "$(utf8 old/VORIZ/INDEX.INI)" = "$(printf '# \\VORIZ\\INDEX.INI\n\n\n[Config]\nSoftwareVersion = 1.0\n\n[UpdateInfo]\nIsPatch = 0')" ] \
    || fail "manifest text: $(utf8 old/VORIZ/INDEX.INI)"

# Version 1.0 and version 2.0: one file changed, one added (with a new folder), one unchanged.
mkdir -p old/VORIZ/Maps
seq 1 30000 > old/VORIZ/Maps/region.dat
echo "same" > old/VORIZ/same.txt
echo "one" > old/VORIZ/app.txt
cp -r old new
"$QZP" manifest new --version 2.0 > /dev/null
echo "two" > new/VORIZ/app.txt
mkdir -p new/VORIZ/Lang
echo "hallo" > new/VORIZ/Lang/de.txt
"$QZP" pack old old.qzp > /dev/null
"$QZP" pack new new.qzp > /dev/null

# info --json: totals, version, kind and the SHA-256 of the file.
"$QZP" info --json old.qzp | python3 -c 'import json, sys; d = json.load(sys.stdin)
assert [d[k] for k in ("version", "patch", "oldVersion", "entries", "files", "comment", "sha256")] \
    == ["1.0", False, None, 6, 4, "\\SDMMC\\", sys.argv[1]], d' "$(sha256sum old.qzp | cut -c1-64)" || fail "info --json"

# diff: a package against its own tree is equal; 1.0 against 2.0 lists each difference.
"$QZP" diff old old.qzp > diff.txt || fail "package and its tree differ: $(cat diff.txt)"
"$QZP" diff old.qzp new > diff.txt && status=0 || status=$?
[ $status -eq 1 ] || fail "diff exit $status"
cmp - diff.txt <<'TXT' || fail "diff: $(cat diff.txt)"
version: 1.0 -> 2.0
changed: VORIZ\INDEX.INI (174 bytes, CRC ba0621d2 -> 174 bytes, CRC 154089b4)
added:   VORIZ\Lang\ (directory)
added:   VORIZ\Lang\de.txt (6 bytes, CRC c3ba96e0)
changed: VORIZ\app.txt (4 bytes, CRC f817a89f -> 4 bytes, CRC 96170874)
TXT
rm old/VORIZ/same.txt
"$QZP" diff old.qzp old > diff.txt && fail "diff exit 0 for a removed file"
grep -qx 'removed: VORIZ\\same.txt (5 bytes, CRC [0-9a-f]*)' diff.txt || fail "removed: $(cat diff.txt)"
echo "same" > old/VORIZ/same.txt

# patch: from packages and from trees alike, only what changed plus the patch manifest.
"$QZP" patch old.qzp new.qzp patch.qzp > /dev/null
"$QZP" patch old new patch2.qzp > /dev/null
cmp patch.qzp patch2.qzp || fail "patch differs between packages and trees"
"$QZP" list patch.qzp | awk '{print $5}' > names.txt
printf '%s\n' 'VORIZ\INDEX.INI' 'VORIZ\Lang\' 'VORIZ\Lang\de.txt' 'VORIZ\app.txt' | cmp - names.txt \
    || fail "patch entries: $(cat names.txt)"

# A file that NEW lacks is named: a patch cannot delete it.
mkdir -p shrunk && cp -r new/VORIZ shrunk/ && rm shrunk/VORIZ/same.txt
"$QZP" patch old.qzp shrunk shrunk.qzp 2> err.txt > /dev/null
grep -qx 'qzp: warning: VORIZ\\same.txt: in OLD but not in NEW; a patch cannot delete it, so it stays on the device' err.txt \
    || fail "warning: $(cat err.txt)"

# Round trip on the host installer: 1.0 installed by a full update, then the patch.
device dev
cp old.qzp dev/SDMMC/VORIZ.QZP && install dev --answer ok
diff -r old dev/ResidentFlash2 > /dev/null || fail "1.0 not installed as packed"
cp patch.qzp dev/SDMMC/VORIZ.QZP && install dev --answer ok
diff -r -x INDEX.INI new dev/ResidentFlash2 || fail "the patched device differs from 2.0"
[ "$("$QZP" ini get dev/ResidentFlash2/VORIZ/INDEX.INI Config SoftwareVersion)" = 2.0 ] \
    || fail "installed version after the patch"
echo "qzp_patch: OK"
