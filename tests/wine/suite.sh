#!/usr/bin/env bash
# What only real windows show: the installer's Windows build under Wine, driven like a user at the
# device. Each case lays a device image on drive C: (card \SDMMC, flash volume \ResidentFlash2),
# starts C:\qzpupdate.exe (which finds the vendor library C:\windows\velmorin.dll and its mutexes
# through the real Win32 calls), finds, reads and answers its windows through driver.exe and checks
# what ends up on drive C:. Update decisions and file handling without a window are tested on the
# host (tests/app) and by the platform contract tests, which also run under Wine.
#
# Usage: suite.sh BIN WINEPREFIX [CASE...]   (every case_CASE below by default; run under an X
# server, e.g. by scripts/wine_test.sh)
set -uo pipefail
BIN=$(cd "$1" && pwd)
export WINEPREFIX=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"

passed=0
failed=0
case_ok=1
out=$(mktemp -d)
export APP_LOG=$out/app.log
trap 'rm -rf "$out"; wine_server_stop' EXIT

fail() {
    echo "  FAIL: $*"
    case_ok=0
}

# A window must appear within MS milliseconds (default 20 s). When it does not, says what the
# installer was doing: running or not, the visible windows, its Wine errors and the flash volume.
expect_window() {
    drv wait "$1" "${2:-20000}" 2>"$out/wait.err" && return 0
    # A driver that said nothing never got to look (Wine did not start it): once more.
    [ -s "$out/wait.err" ] || { drv wait "$1" "${2:-20000}" 2>"$out/wait.err" && return 0; }
    local state="had ended"
    kill -0 "$APP_PID" 2>/dev/null && state="was still running"
    fail "no window \"$1\" (the installer $state; the driver said: $(tr '\n' ' ' <"$out/wait.err"))"
    echo "    visible windows: $(drv list | tr '\n' ';')"
    echo "    installer output and Wine errors:" && sed 's/^/      /' "$APP_LOG" | tail -20
    echo "    flash volume: $(flash_tree | head -c 300 | tr '\n' ' ')"
}

# expect_text WINDOW FORMAT: the window's message text must be exactly FORMAT (printf escapes;
# compared as bytes, so trailing blanks and line feeds count).
expect_text() {
    # shellcheck disable=SC2059
    printf "$2\n" >"$out/expected"
    drv text "$1" >"$out/text" 2>/dev/null && cmp -s "$out/text" "$out/expected" && return
    fail "text of \"$1\" differs"
    echo "    expected: $(od -c "$out/expected" | head -5)"
    echo "    actual:   $(od -c "$out/text" | head -5)"
}

expect_ends() { app_wait "${1:-20}" || fail "the installer did not end"; }

expect_no_restart() { [ ! -e "$DRIVE_C/restart.txt" ] || fail "a restart was requested"; }

# One line per file (with its checksum) and directory of the flash volume.
flash_tree() {
    (cd "$DRIVE_C" && find ResidentFlash2 -type f -exec md5sum {} + | sort && find ResidentFlash2 -type d | sort)
}

expect_flash_unchanged() {
    flash_tree | diff -u "$out/before" - >"$out/diff" || { fail "the flash volume changed"; head -20 "$out/diff"; }
}

# ---- fixtures: packages made by qzp.exe from staged trees on drive C: ----
stage="$DRIVE_C/stage"

# Full package 2.1: the sample application tree and a power-off logo of its own; and text where
# a package's header belongs.
make_packages() {
    rm -rf "$stage"
    mkdir -p "$stage/full"
    cp -r "$repo/samples/VORIZ" "$stage/full/"
    printf 'logo brought by the package\n' >"$stage/full/PowerOffLogo.bmp"
    qzp ini set 'C:\stage\full\VORIZ\INDEX.INI' Config SoftwareVersion 2.1 >/dev/null
    qzp ini set 'C:\stage\full\VORIZ\INDEX.INI' UpdateInfo IsPatch 0 >/dev/null
    qzp pack 'C:\stage\full' 'C:\stage\full.qzp' >/dev/null || { echo "qzp.exe pack failed"; exit 1; }
    yes 'not a package' | head -c 4096 >"$stage/invalid.qzp"
}

# The device with version 2.0 installed: the sample tree, a stray file and folder on the flash
# volume (gone after a full update) and an old logo; package $1 on the card.
device_installed() {
    device_clear
    cp -r "$repo/samples/VORIZ" "$DRIVE_C/ResidentFlash2/"
    printf 'stray\n' >"$DRIVE_C/ResidentFlash2/stray.txt"
    mkdir -p "$DRIVE_C/ResidentFlash2/Old"
    printf 'old\n' >"$DRIVE_C/ResidentFlash2/Old/old.txt"
    printf 'old logo\n' >"$DRIVE_C/ResidentFlash2/PowerOffLogo.bmp"
    cp "$stage/$1.qzp" "$DRIVE_C/SDMMC/VORIZ.QZP"
    flash_tree >"$out/before"
}

# The completion box answered: the restart is requested through the vendor library, and the flash
# volume holds exactly the package's tree and logo $1 (the old files purged).
finish_full_install() {
    expect_no_restart
    drv click 'Setup Completely' 1
    expect_ends
    [ "$(cat "$DRIVE_C/restart.txt" 2>/dev/null)" = 1 ] || fail "no restart with argument 1 (C:\\restart.txt)"
    diff -r "$stage/full/VORIZ" "$DRIVE_C/ResidentFlash2/VORIZ" >/dev/null || fail "installed tree differs from the package"
    [ ! -e "$DRIVE_C/ResidentFlash2/stray.txt" ] && [ ! -e "$DRIVE_C/ResidentFlash2/Old" ] || fail "the purge left old files"
    cmp -s "$1" "$DRIVE_C/ResidentFlash2/PowerOffLogo.bmp" || fail "the logo is not $1"
}

# The user declines the confirmation $1 (cancel, escape or close-box): nothing changes.
declined() {
    device_installed full
    app_start
    expect_window 'Update Package'
    case $1 in
        cancel) drv click 'Update Package' 1010 ;;
        escape) drv key 'Update Package' escape ;;
        close-box) drv close 'Update Package' ;;
    esac
    expect_ends 10
    expect_no_restart
    expect_flash_unchanged
}

# ---- cases ----

case_full_update_ok() {
    # full update, confirmed with OK: both dialogs as specified, card logo, restart
    device_installed full
    cp "$repo/samples/PowerOffLogo.bmp" "$DRIVE_C/SDMMC/"
    app_start
    expect_window 'Update Package'
    expect_text 'Update Package' 'Update Version:  2.1\nCurrent Version: 2.0\n\nNeed to update the whole system?\n\n'
    drv controls 'Update Package' >"$out/controls"
    grep -q '^1011 Static ' "$out/controls" && grep -q '^1000 Button .* OK$' "$out/controls" &&
        grep -q '^1010 Button .* Cancel$' "$out/controls" || { fail "controls of the confirmation"; cat "$out/controls"; }
    # Caption and system menu (WS_CAPTION 0x00C00000, WS_SYSMENU 0x00080000).
    local style exstyle
    style=$(drv style 'Update Package' | sed 's/style=\(0x[0-9a-f]*\).*/\1/')
    [ $((style & 0x00C80000)) = $((0x00C80000)) ] || fail "confirmation style $style lacks caption or system menu"
    [ -e "$DRIVE_C/ResidentFlash2/stray.txt" ] || fail "purged before the user answered"
    drv click 'Update Package' 1000
    expect_window 'Setup Completely' 30000
    expect_text 'Setup Completely' 'Please remove SDMMC card.\nClick OK to restart!'
    [ "$(drv pos @progress)" = "100 of 0..100" ] || fail "progress bar not at 100 of 0..100"
    # The progress dialog: no caption, topmost (WS_EX_TOPMOST 0x8).
    read -r style exstyle < <(drv style @progress | sed 's/style=\(0x[0-9a-f]*\) exstyle=\(0x[0-9a-f]*\)/\1 \2/')
    [ $((style & 0x00C00000)) = 0 ] || fail "progress dialog has a caption ($style)"
    [ $((exstyle & 0x8)) = 8 ] || fail "progress dialog not topmost ($exstyle)"
    drv controls @progress | grep -q '^1006 msctls_progress32 ' || fail "no progress bar 1006"
    finish_full_install "$repo/samples/PowerOffLogo.bmp"
}

case_full_update_timeout() {
    # full update accepted by the confirmation's 5-second timer, no card logo
    device_installed full
    app_start
    expect_window 'Update Package'
    local start=$SECONDS
    drv gone 'Update Package' 15000 || fail "the confirmation did not close by itself"
    [ $((SECONDS - start)) -ge 4 ] || fail "the confirmation closed after $((SECONDS - start)) s, before its time-out"
    expect_window 'Setup Completely' 30000
    finish_full_install "$stage/full/PowerOffLogo.bmp"
}

case_declined_cancel() { declined cancel; }
case_declined_escape() { declined escape; }
case_declined_close_box() { declined close-box; }

case_invalid_package() {
    # invalid package: the error box, no change, no restart
    device_installed invalid
    app_start
    expect_window 'Error'
    expect_text 'Error' 'Invalid update File'
    drv click 'Error' 1
    expect_ends 10
    expect_no_restart
    expect_flash_unchanged
}

case_no_record() {
    # device without a version record: no confirmation, the progress dialog from the start
    device_installed full
    rm "$DRIVE_C/ResidentFlash2/VORIZ/INDEX.INI"
    app_start
    expect_window 'Setup Completely' 30000
    drv gone 'Update Package' 0 || fail "a confirmation was shown"
    finish_full_install "$stage/full/PowerOffLogo.bmp"
}

wine_server_start
make_packages
mapfile -t every < <(declare -F | sed -n 's/^declare -f case_//p')
[ $# -gt 0 ] || set -- "${every[@]}"
for name in "$@"; do
    declare -F "case_$name" >/dev/null || { echo "no case $name"; exit 2; }
    echo "== $name"
    case_ok=1
    began=$SECONDS
    "case_$name"
    app_stop  # whatever a failed case left running must not disturb the next one
    if [ "$case_ok" = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "  ($name failed)"; fi
    echo "  ($((SECONDS - began)) s)"
done
echo "wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
