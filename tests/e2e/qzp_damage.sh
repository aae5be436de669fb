#!/usr/bin/env bash
# A damaged package: verify and extract exit 1 and name the entry and both numbers.
# Usage: qzp_damage.sh BIN_DIR
source "$(dirname "$0")/common.bash" "$1"

mkdir -p src/VORIZ
seq 1 20000 > src/VORIZ/a.bin
seq 5 30000 > src/VORIZ/b.txt
"$QZP" manifest src --version 1.0 > /dev/null
"$QZP" pack src good.qzp > /dev/null
"$QZP" verify good.qzp > /dev/null

# damage.py MODE IN OUT NAME CRC SIZE: "data" flips a byte in the entry's data SIZE bytes after
# its start (its first occurrence, in its local record, is followed by its data); "crc" changes
# the CRC-32 in its directory record (its second occurrence; the CRC stands 10 bytes before).
cat > damage.py <<'PY'
import sys
mode, src, dst, name, crc, size = sys.argv[1:]
b = bytearray(open(src, "rb").read())
name = name.encode()
if mode == "data":
    b[b.index(name) + len(name) + int(size)] ^= 0x55
else:
    at = b.index(name, b.index(name) + 1) - 10
    assert b[at:at + 4] == int(crc, 16).to_bytes(4, "little")
    b[at:at + 4] = (int(crc, 16) ^ 0x1234).to_bytes(4, "little")
    print("%s %08x" % (crc, int(crc, 16) ^ 0x1234))
open(dst, "wb").write(b)
PY
# entry NAME FIELD: a field of the entry in qzp's listing.
entry() {
    "$QZP" list --json good.qzp | python3 -c 'import json,sys
e = [e for e in json.load(sys.stdin)["entries"] if e["name"] == sys.argv[1]][0]
print(e[sys.argv[2]])' "$1" "$2"
}

expect_failure() {  # expect_failure PATTERN COMMAND...
    local pattern="$1"; shift
    local status
    "$@" > /dev/null 2> err.txt && status=0 || status=$?
    [ $status -eq 1 ] || fail "$* exited $status: $(cat err.txt)"
    grep -q -- "$pattern" err.txt || fail "$*: $(cat err.txt)"
    [ "$(wc -l < err.txt)" -eq 1 ] || fail "more than one line: $(cat err.txt)"
}

# The last block of the entry: a few bytes before the end of its data.
last=$(( $(entry 'VORIZ\a.bin' blocks) - 1 ))
python3 damage.py data good.qzp data.qzp 'VORIZ\a.bin' 0 $(( $(entry 'VORIZ\a.bin' compressedSize) - 10 ))
expect_failure "^qzp: data.qzp: VORIZ\\\\a.bin: .*block $last" "$QZP" verify data.qzp
expect_failure "^qzp: data.qzp: VORIZ\\\\a.bin: .*block $last" "$QZP" extract data.qzp out1
[ ! -e out1/VORIZ/b.txt ] || fail "extraction went on after the damaged entry"

# The script must have finished writing crc.qzp before it is read: no process substitution.
values=$(python3 damage.py crc good.qzp crc.qzp 'VORIZ\b.txt' "$(entry 'VORIZ\b.txt' crc)" 0)
read -r stored changed <<< "$values"
actual="0x$stored"
expect_failure "^qzp: crc.qzp: VORIZ\\\\b.txt: CRC-32 mismatch: $actual should be 0x$changed\$" \
    "$QZP" verify crc.qzp
expect_failure "VORIZ\\\\b.txt: CRC-32 mismatch: $actual should be 0x$changed\$" \
    "$QZP" extract crc.qzp out2

# Not a package at all, and a missing file.
seq 1 100 > notpkg
expect_failure '^qzp: notpkg: not a package' "$QZP" list notpkg
expect_failure '^qzp: nothing.qzp: no such file' "$QZP" verify nothing.qzp
echo "qzp_damage: OK"
