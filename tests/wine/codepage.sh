#!/usr/bin/env bash
# Names in the device's code page, held against both builds (qzp.exe under Wine with the locale
# whose ANSI code page it is): the same package packed, the same check of an image, the same names
# installed; qzp.exe's non-ASCII arguments, its text on a console, a temporary folder outside the
# code page. The converters' refusals are rows of the platform contract tests (also under Wine).
# Usage: codepage.sh HOST_BIN WIN_BIN WINEPREFIX   (under an X server; the prefix made by
# wine_prefix_fresh, as scripts/wine_test.sh leaves it)
set -uo pipefail
HOST=$(cd "$1" && pwd)
BIN=$(cd "$2" && pwd)
export WINEPREFIX=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"
failed=0
fail() { echo "  FAIL: $*"; failed=1; }

# Wine takes the ANSI code page from the locale: en_US.UTF-8 gives 1252, zh_CN.UTF-8 gives 936.
# The locales are compiled into a folder of their own (glibc's LOCPATH), which needs no root.
export LOCPATH=$WINEPREFIX/locales
mkdir -p "$LOCPATH"
for locale in en_US zh_CN; do
    [ -d "$LOCPATH/$locale.UTF-8" ] || localedef -i "$locale" -f UTF-8 "$LOCPATH/$locale.UTF-8" ||
        { echo "cannot make the locale $locale.UTF-8 (package locales)"; exit 1; }
done
winq() { (cd "$DRIVE_C" && LC_ALL=$locale.UTF-8 wine 'C:\qzp.exe' "$@" < /dev/null); }
stage=$DRIVE_C/cp
wine_server_stop

# CODE-PAGE LOCALE NAME-IT-HOLDS
while read -r cp locale held; do
    echo "== code page $cp ($locale)"
    rm -rf "$stage" && mkdir -p "$stage"/{src/VORIZ,img/SDMMC,img/ResidentFlash2,img/.named}
    "$HOST/qzp" ini set "$stage/src/VORIZ/INDEX.INI" Config SoftwareVersion 2.0 > /dev/null
    echo "$cp" > "$stage/src/VORIZ/$held"
    "$HOST/qzp" pack --codepage "$cp" "$stage/src" "$stage/host.qzp" > /dev/null
    winq pack --codepage "$cp" 'C:\cp\src' 'C:\cp\win.qzp' > /dev/null || fail "qzp.exe pack"
    cmp -s "$stage/host.qzp" "$stage/win.qzp" || fail "the packages of the two builds differ"
    # The same image, asked by both builds before anything is installed.
    echo "$cp" > "$stage/img/.named/codepage"
    cp "$stage/host.qzp" "$stage/img/SDMMC/VORIZ.QZP"
    diff <("$HOST/qzp" check "$stage/img/SDMMC/VORIZ.QZP" --device "$stage/img") \
        <(winq check 'C:\cp\img\SDMMC\VORIZ.QZP' --device 'C:\cp\img' | tr -d '\r') || fail "qzp.exe check --device (>)"
    # Installed by the host build on the image, and by the Windows build on drive C:.
    "$HOST/qzpupdate" --device "$stage/img" --ui headless --time-scale 0 > /dev/null
    device_clear
    cp "$stage/win.qzp" "$DRIVE_C/SDMMC/VORIZ.QZP"
    LC_ALL=$locale.UTF-8 app_start
    drv wait 'Setup Completely' 30000 > /dev/null 2>&1 && drv click 'Setup Completely' 1 > /dev/null
    app_wait 20 || fail "qzpupdate.exe did not end"
    diff <(ls "$stage/img/ResidentFlash2/VORIZ") <(ls "$DRIVE_C/ResidentFlash2/VORIZ") &&
        [ -f "$DRIVE_C/ResidentFlash2/VORIZ/$held" ] || fail "names installed by qzpupdate.exe (>)"
    # Arguments outside ASCII: an entry's name, and a package path outside the ANSI code page.
    winq extract --codepage "$cp" 'C:\cp\win.qzp' 'C:\cp\out' "VORIZ/$held" > /dev/null
    [ -f "$stage/out/VORIZ/$held" ] || fail "qzp.exe extract NAME wrote $(ls "$stage/out/VORIZ" 2> /dev/null)"
    mkdir -p "$stage/Ωmega ก" && cp "$stage/win.qzp" "$stage/Ωmega ก/VORIZ.QZP"
    winq list --codepage "$cp" 'C:\cp\Ωmega ก\VORIZ.QZP' | tr -d '\r' | grep -q "VORIZ\\\\$held\$" ||
        fail "qzp.exe list of a path outside code page $cp"
done <<'TABLE'
1252 en_US Canción.txt
936 zh_CN 中文.txt
TABLE

# On a console (a pseudo-terminal gives Wine a real one), every line arrives, the last included,
# as Unicode text: names outside the console's code page survive, where UTF-8 bytes would be
# read in the console's code page. A warning and the line printed after it keep their order.
echo "== console"
rm -rf "$stage" && mkdir -p "$stage/src/VORIZ"
"$HOST/qzp" ini set "$stage/src/VORIZ/INDEX.INI" Config SoftwareVersion 2.0 > /dev/null
for i in $(seq -w 1 150); do echo "$i" > "$stage/src/VORIZ/Canción $i 中文.txt"; done
"$HOST/qzp" pack "$stage/src" "$stage/tty.qzp" > /dev/null
rm "$stage/src/VORIZ/Canción 001 中文.txt"
"$HOST/qzp" ini set "$stage/src/VORIZ/INDEX.INI" Config SoftwareVersion 3.0 > /dev/null
want=$(cd "$stage" && "$HOST/qzp" list tty.qzp && "$HOST/qzp" patch tty.qzp src host.qzp 2>&1 &&
    echo 'qzp: Ωmega\VORIZ.QZP: no such file')
# The terminal's width is set so that no line wraps; conhost moves the cursor over blanks it has
# already drawn, which a terminal shows as those blanks.
got=$(cd "$stage" && LC_ALL=en_US.UTF-8 script -qec "stty cols 200; wine 'C:\\qzp.exe' list tty.qzp;
    wine 'C:\\qzp.exe' patch tty.qzp src host.qzp; wine 'C:\\qzp.exe' list 'Ωmega\\VORIZ.QZP'" \
    /dev/null < /dev/null | tr -d '\r' | perl -pe 's/\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[?0-9;]*[a-zA-Z]//g')
[ "$got" = "$want" ] || fail "qzp.exe on a console: $(diff <(echo "$want") <(echo "$got") | head -5)"

# A user's temporary folder outside the ANSI code page (a user name such as Ωmega) holds the
# scratch folder of a patch. The setting is written as UTF-16, the only way it arrives whole.
echo "== temporary folder"
mkdir -p "$DRIVE_C/tmp Ω"
setting() { printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Environment]\r\n%s\r\n' "$1" |
    iconv -f UTF-8 -t UTF-16 > "$stage/env.reg" && wine regedit /S 'C:\cp\env.reg'; }
setting '"TMP"="C:\\tmp Ω"'  # GetTempPathW looks at TMP first
out=$(cd "$stage" && wine 'C:\qzp.exe' patch tty.qzp src temp.qzp 2>&1) || fail "qzp.exe patch with TMP outside the code page: $out"
setting '"TMP"=-'
wine_server_stop
[ "$failed" = 0 ] && echo "codepage: ok"
