#!/usr/bin/env bash
# A damaged package: verify and extract exit 1 and name the entry and both numbers.
# Usage: qzp_damage.sh BIN_DIR
set -euo pipefail
QZP="$(cd "$1" && pwd)/qzp"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p src/VORIZ
seq 1 20000 > src/VORIZ/a.bin
seq 5 30000 > src/VORIZ/b.txt
"$QZP" manifest src --version 1.0 > /dev/null
"$QZP" pack src good.qzp > /dev/null
"$QZP" verify good.qzp > /dev/null

# damage.py MODE IN OUT NAME: "data" flips a byte in the entry's second block, "crc" changes
# the CRC-32 of its directory record.
cat > damage.py <<'PY'
import struct, sys
mode, src, dst, target = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4].encode()
b = bytearray(open(src, "rb").read())
m = struct.unpack_from("<H", b, len(b) - 2)[0]
end = len(b) - 16 - m
count, dsize, doff = struct.unpack_from("<HII", b, end + 4)
at, local = doff, 0
for _ in range(count):
    crc, n, blocks = struct.unpack_from("<IHI", b, at + 16)
    name = bytes(b[at + 26:at + 26 + n])
    rows = [struct.unpack_from("<III", b, at + 26 + n + 12 * j) for j in range(blocks)]
    data = local + 20 + n
    if name == target:
        if mode == "data":
            b[data + rows[0][1] + 10] ^= 0x55
        else:
            struct.pack_into("<I", b, at + 16, crc ^ 0x1234)
            print("%08x %08x" % (crc, crc ^ 0x1234))
        break
    local = data + sum(r[1] for r in rows)
    at += 26 + n + 12 * blocks
open(dst, "wb").write(b)
PY

expect_failure() {  # expect_failure PATTERN COMMAND...
    local pattern="$1"; shift
    set +e
    "$@" > /dev/null 2> err.txt
    local status=$?
    set -e
    [ $status -eq 1 ] || fail "$* exited $status: $(cat err.txt)"
    grep -q -- "$pattern" err.txt || fail "$*: $(cat err.txt)"
    [ "$(wc -l < err.txt)" -eq 1 ] || fail "more than one line: $(cat err.txt)"
}

python3 damage.py data good.qzp data.qzp 'VORIZ\a.bin'
expect_failure '^qzp: data.qzp: VORIZ\\a.bin: .*block 1' "$QZP" verify data.qzp
expect_failure '^qzp: data.qzp: VORIZ\\a.bin: .*block 1' "$QZP" extract data.qzp out1
[ ! -e out1/VORIZ/b.txt ] || fail "extraction went on after the damaged entry"

# The script must have finished writing crc.qzp before it is read: no process substitution.
values=$(python3 damage.py crc good.qzp crc.qzp 'VORIZ\b.txt')
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
