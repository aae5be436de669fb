#!/usr/bin/env bash
# A damaged package: verify and extract exit 1 and name the entry and both numbers.
# Usage: qzp_damage.sh BIN_DIR
source "$(dirname "$0")/kit.sh" "$1"

mkdir -p src/VORIZ
seq 1 20000 > src/VORIZ/a.bin
seq 5 30000 > src/VORIZ/b.txt
"$QZP" manifest src --version 1.0 > /dev/null
"$QZP" pack src good.qzp > /dev/null
"$QZP" verify good.qzp > /dev/null

# The last block of the entry: a few bytes before the end of its data, which follows the name's
# first occurrence. Its first blocks are written before the damage shows, yet the failed entry
# leaves no file.
name='VORIZ\a.bin'
last=$(( $(field good.qzp "$name" blocks) - 1 ))
cp good.qzp data.qzp
flip data.qzp $(( $(offset_of data.qzp "$name") + ${#name} + $(field good.qzp "$name" compressedSize) - 10 ))
fails 1 "^qzp: data.qzp: VORIZ\\\\a.bin: .*block $last" "$QZP" verify data.qzp
fails 1 "^qzp: data.qzp: VORIZ\\\\a.bin: .*block $last" "$QZP" extract data.qzp out1
[ ! -e out1/VORIZ/a.bin ] || fail "the failed entry left a file"
[ ! -e out1/VORIZ/b.txt ] || fail "extraction went on after the damaged entry"

# The CRC-32 in the directory record stands 10 bytes before the name's second occurrence.
stored=$(field good.qzp 'VORIZ\b.txt' crc)
changed=$(printf %08x $(( 0x$stored ^ 0x1234 )))
cp good.qzp crc.qzp
put crc.qzp $(( $(offset_of crc.qzp 'VORIZ\b.txt' 2) - 10 )) \
    "${changed:6:2}${changed:4:2}${changed:2:2}${changed:0:2}"
fails 1 "^qzp: crc.qzp: VORIZ\\\\b.txt: CRC-32 mismatch: 0x$stored should be 0x$changed\$" \
    "$QZP" verify crc.qzp
fails 1 "VORIZ\\\\b.txt: CRC-32 mismatch: 0x$stored should be 0x$changed\$" "$QZP" extract crc.qzp out2

# Not a package at all, and a missing file.
seq 1 100 > notpkg
fails 1 '^qzp: notpkg: not a package' "$QZP" list notpkg
fails 1 '^qzp: nothing.qzp: no such file' "$QZP" verify nothing.qzp
echo "qzp_damage: OK"
