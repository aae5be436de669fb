#!/usr/bin/env bash
# qzp info --json, diff and patch. What manifest, info, diff, patch and check print, and a patch
# installed on a device, are held by the walk-throughs.
source "$(dirname "$0")/kit.sh" "$1"

# Version 1.0 and version 2.0: one file changed, one added (with a new folder), one unchanged.
tree old 1.0 && echo "same" > old/VORIZ/same.txt
cp -r old new && tree new 2.0 && mkdir new/VORIZ/Lang && echo "hallo" > new/VORIZ/Lang/de.txt
for version in old new; do "$QZP" pack $version $version.qzp > /dev/null; done

"$QZP" info --json old.qzp | python3 -c 'import json, sys; d = json.load(sys.stdin)
assert [d[k] for k in ("version", "patch", "oldVersion", "entries", "files", "comment", "sha256")] \
    == ["1.0", False, None, 6, 4, "\\SDMMC\\", sys.argv[1]], d' "$(sha256sum old.qzp | cut -c1-64)" || fail "info --json"

# diff: 1.0 against 2.0 lists each difference (a tree equal to its package: qzp_pack.sh).
"$QZP" diff old.qzp new > diff.txt && status=0 || status=$?
[ $status -eq 1 ] || fail "diff exit $status"
cmp - diff.txt <<'TXT' || fail "diff: $(cat diff.txt)"
version: 1.0 -> 2.0
changed: VORIZ\INDEX.INI (174 bytes, CRC ba0621d2 -> 174 bytes, CRC 154089b4)
added:   VORIZ\Lang\ (directory)
added:   VORIZ\Lang\de.txt (6 bytes, CRC c3ba96e0)
changed: VORIZ\app.txt (4 bytes, CRC e2884db0 -> 4 bytes, CRC 340a50c8)
TXT

# patch: from packages and from trees alike, only what changed plus the patch manifest.
"$QZP" patch old.qzp new.qzp patch.qzp > /dev/null
"$QZP" patch old new patch2.qzp > /dev/null
cmp patch.qzp patch2.qzp || fail "patch differs between packages and trees"
[ "$("$QZP" list patch.qzp | awk '{print $5}' | paste -sd' ')" = \
    'VORIZ\INDEX.INI VORIZ\Lang\ VORIZ\Lang\de.txt VORIZ\app.txt' ] || fail "patch entries"

# A file that NEW lacks: diff names it removed, patch warns that it cannot delete it.
mkdir -p shrunk && cp -r new/VORIZ shrunk/ && rm shrunk/VORIZ/same.txt
"$QZP" diff new.qzp shrunk > diff.txt && fail "diff exit 0 for a removed file"
grep -qx 'removed: VORIZ\\same.txt (5 bytes, CRC [0-9a-f]*)' diff.txt || fail "removed: $(cat diff.txt)"
"$QZP" patch old.qzp shrunk shrunk.qzp 2> err.txt > /dev/null
grep -qx 'qzp: warning: VORIZ\\same.txt: in OLD but not in NEW; a patch cannot delete it, so it stays on the device' err.txt \
    || fail "warning: $(cat err.txt)"
echo "qzp_patch: OK"
