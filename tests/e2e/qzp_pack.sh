#!/usr/bin/env bash
# qzp pack / list / verify / extract on a generated tree: the unpacked tree equals the source.
# Usage: qzp_pack.sh BIN_DIR
set -euo pipefail
QZP="$(cd "$1" && pwd)/qzp"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

fail() { echo "FAIL: $*" >&2; exit 1; }

# A tree with sizes around the 16,384-byte blocks, nested and non-ASCII names, an empty directory.
mkdir -p src/VORIZ/sub "src/Ordner ä/日本" src/empty
printf '[Config]\r\nSoftwareVersion=1.0\r\n' > src/VORIZ/INDEX.INI
head -c 16383 /dev/urandom > src/VORIZ/sub/a.bin
head -c 16384 /dev/urandom > src/VORIZ/sub/b.bin
head -c 16385 /dev/urandom > "src/Ordner ä/日本/c.bin"
seq 1 100000 > src/VORIZ/numbers.txt
printf 'x' > src/one

"$QZP" pack --jobs 2 src pkg.qzp > /dev/null
"$QZP" pack --jobs 1 --comment '\SDMMC\' src pkg1.qzp > /dev/null
cmp pkg.qzp pkg1.qzp || fail "package differs with the job count"

# Text listing: one line per entry, directories before their contents.
"$QZP" list pkg.qzp > list.txt
[ "$(wc -l < list.txt)" -eq 11 ] || fail "expected 11 entries: $(cat list.txt)"
head -1 list.txt | grep -q '^d .* Ordner ä\\$' || fail "first line: $(head -1 list.txt)"
grep -q '^f      16385 .* Ordner ä\\日本\\c.bin$' list.txt || fail "c.bin line"

# JSON listing, checked with python3.
"$QZP" list --json pkg.qzp > list.json
python3 - list.json <<'PY'
import json, sys, zlib
doc = json.load(open(sys.argv[1]))
assert doc["comment"] == "\\SDMMC\\", doc["comment"]
names = [e["name"] for e in doc["entries"]]
assert names == sorted(names, key=lambda n: [p.encode() for p in n.rstrip("\\").split("\\")]), names
byname = {e["name"]: e for e in doc["entries"]}
ini = byname["VORIZ\\INDEX.INI"]
data = open("src/VORIZ/INDEX.INI", "rb").read()
assert ini["size"] == len(data) and ini["crc"] == zlib.crc32(data) and not ini["directory"], ini
assert byname["VORIZ\\sub\\b.bin"]["blocks"] == 1 and byname["Ordner ä\\日本\\c.bin"]["blocks"] == 2
assert byname["empty\\"]["directory"] and byname["empty\\"]["blocks"] == 0
PY

"$QZP" verify pkg.qzp | grep -q '11 entries OK' || fail "verify"

# Extract everything into a relative directory (with a trailing slash) and an absolute one.
"$QZP" extract pkg.qzp out/
diff -r src out || fail "relative extraction differs"
"$QZP" extract pkg.qzp "$WORK/abs/deeper"
diff -r src abs/deeper || fail "absolute extraction differs"

# Extract by name, with `\` or `/`; nothing else is written.
"$QZP" extract pkg.qzp some 'VORIZ\INDEX.INI' 'Ordner ä/日本/c.bin'
cmp src/VORIZ/INDEX.INI some/VORIZ/INDEX.INI || fail "named entry"
cmp "src/Ordner ä/日本/c.bin" "some/Ordner ä/日本/c.bin" || fail "named entry 2"
[ "$(find some -type f | wc -l)" -eq 2 ] || fail "extra files extracted"

# A name not in the package: exit 1, named, nothing extracted.
set +e
"$QZP" extract pkg.qzp none VORIZ/missing.txt 2> err.txt
status=$?
set -e
[ $status -eq 1 ] || fail "missing name exit $status"
grep -q '^qzp: pkg.qzp: VORIZ/missing.txt: not in the package$' err.txt || fail "$(cat err.txt)"
[ ! -e none ] || fail "directory made for a failed extraction"

# An empty file refuses the whole tree and leaves no package behind.
: > src/empty/zero
set +e
"$QZP" pack src bad.qzp 2> err.txt
status=$?
set -e
[ $status -eq 1 ] || fail "empty file exit $status"
grep -q 'src/empty/zero: empty file' err.txt || fail "$(cat err.txt)"
[ -z "$(ls | grep bad)" ] || fail "left a package or temporary file"
rm src/empty/zero

# OUT inside SRC_DIR: packing twice never stores the earlier package in the new one.
"$QZP" pack src src/inside.qzp > /dev/null
"$QZP" pack src src/inside.qzp > /dev/null
! "$QZP" list src/inside.qzp | grep -q 'inside.qzp' || fail "the package holds its own earlier copy"
echo "qzp_pack: OK"
