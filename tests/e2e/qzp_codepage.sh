#!/usr/bin/env bash
# Names in the device's code page: qzp writes them with --codepage and refuses a name the code
# page cannot hold, reads them back with the same option, and qzpupdate and qzp check on a device
# image that states the code page write and predict the names the device would.
source "$(dirname "$0")/kit.sh" "$1"

# CODE-PAGE  NAME-IT-HOLDS  NAME-IT-CANNOT-HOLD  THE-CHARACTER-NAMED  [LOOK-ALIKE  LEVEL]. That
# list and the installer on an image of the code page show the name proves the bytes are the code
# page's. In the double-byte code pages a second byte may be `\` or an ASCII letter: names are split
# and compared as text. ア and ヂ (83 41 and 83 61 in 932; 傾 and 僡 in 936) are two names, which
# pack, the installer, diff and extract NAME tell apart; ソ and 乗 (83 5C, 81 5C) end no level.
while read -r cp held refused character alike level; do
    rm -rf src dev out && mkdir -p "src/VORIZ/$level" dev/.named && device dev 1.0
    "$QZP" ini set src/VORIZ/INDEX.INI Config SoftwareVersion 2.0 > /dev/null
    echo same > "src/VORIZ/$held" && { [ -z "$level" ] || echo x > "src/VORIZ/$level/$level"; }
    if [ "$refused" != - ]; then
        echo "$cp" > "src/VORIZ/$refused"
        fails 1 "" "$QZP" pack --codepage "$cp" src p.qzp
        grep -qxF "qzp: $WORK/src/VORIZ/$refused: code page $cp cannot hold the character \
${character//_/ } of this name exactly" err.txt || fail "$cp: $(cat err.txt)"
        rm "src/VORIZ/$refused"
    fi
    "$QZP" pack --codepage "$cp" src old.qzp > /dev/null
    [ -z "$alike" ] || echo same > "src/VORIZ/$alike"
    "$QZP" pack --codepage "$cp" src dev/SDMMC/VORIZ.QZP > /dev/null
    "$QZP" list --codepage "$cp" dev/SDMMC/VORIZ.QZP | grep "VORIZ\\\\$held\$" > /dev/null \
        || fail "$cp: list does not show $held"
    "$QZP" extract --codepage "$cp" dev/SDMMC/VORIZ.QZP out "VORIZ/${alike:-$held}" > /dev/null
    [ "$(cd out && find . -type f)" = "./VORIZ/${alike:-$held}" ] || fail "$cp: extract NAME"
    [ -z "$alike" ] || [ "$("$QZP" diff --codepage "$cp" old.qzp dev/SDMMC/VORIZ.QZP)" = \
        "added:   VORIZ\\$alike (5 bytes, CRC 439ad3eb)" ] || fail "$cp: diff"
    # The device image states its code page: the installer writes the name the device would, and
    # qzp check reads the package in that code page too.
    echo "$cp" > dev/.named/codepage
    [ "$("$QZP" check dev/SDMMC/VORIZ.QZP --device dev --tips 0)" = "full update: no question" ] \
        || fail "$cp: check --device"
    "$BIN/qzpupdate" --device dev --ui headless --time-scale 0 > out.txt
    grep -q 'Setup Completely' out.txt || fail "$cp: not installed: $(cat out.txt)"
    [ "$(cd dev/ResidentFlash2 && find VORIZ | sort)" = "$(cd src && find VORIZ | sort)" ] ||
        fail "$cp: installed $(cd dev/ResidentFlash2 && find VORIZ | tr '\n' ' ')"
done <<'TABLE'
1252 Canción.txt 中文.txt '中'_(U+4E2D)
936 傾.txt ก.txt 'ก'_(U+0E01) 僡.txt 乗
932 ア.txt a¥b.txt '¥'_(U+00A5) ヂ.txt ソ
65001 Ωmega.txt - -
TABLE

# A package of code page 932 on a device of 65001: a name that is not UTF-8 there refuses the
# package before anything is written (never two names made one by replacement characters), and
# the installer's log, qzp check, list and extract name it alike, its bytes escaped.
rm -rf src dev out && mkdir -p src/VORIZ dev/.named && device dev 1.0
"$QZP" ini set src/VORIZ/INDEX.INI Config SoftwareVersion 2.0 > /dev/null
echo x > src/VORIZ/ア.txt && echo y > src/VORIZ/ヂ.txt
"$QZP" pack --codepage 932 src dev/SDMMC/VORIZ.QZP > /dev/null
echo 65001 > dev/.named/codepage
flash() { (cd dev/ResidentFlash2 && find . | sort && find . -type f -exec sha256sum {} +); }
before=$(flash)
"$QZP" check dev/SDMMC/VORIZ.QZP --device dev > out.txt && fail "932 on 65001: check accepts"
grep -qxF '  reason: name cannot be read as text of at most 259 units' out.txt &&
    grep -qxF '  entry: VORIZ\\x83A.txt' out.txt || fail "932 on 65001: check: $(cat out.txt)"
"$BIN/qzpupdate" --device dev --ui headless --time-scale 0 > out.txt
grep -qF 'open: VORIZ\\x83A.txt: name cannot be read as text' dev/SDMMC/qzpupdate.log ||
    fail "932 on 65001: $(cat dev/SDMMC/qzpupdate.log)"
[ "$(flash)" = "$before" ] || fail "932 on 65001: the flash volume changed"
"$QZP" list dev/SDMMC/VORIZ.QZP | grep -F 'VORIZ\\x83a.txt' > /dev/null || fail "932 on 65001: list"
fails 1 'VORIZ\\\\x83A\.txt: entry cannot be written as planned: name cannot be read as text' \
    "$QZP" extract dev/SDMMC/VORIZ.QZP out

# What cannot be a code page in the device image (in a command's option: a row of qzp_usage.sh).
echo "latin" > dev/.named/codepage
fails 2 "dev/.named/codepage: not a code page" "$BIN/qzpupdate" --device dev --ui headless
echo "qzp_codepage: ok"
