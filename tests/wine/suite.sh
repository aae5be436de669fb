#!/usr/bin/env bash
# What only real windows show: each case lays a device on drive C: (card \SDMMC, flash volume
# \ResidentFlash2), starts C:\qzpupdate.exe (which loads C:\windows\velmorin.dll), answers its
# windows through driver.exe like a user at the device and checks what ends up on drive C:. The
# update's rules (decision, purge, logo) are tested on the host (tests/app), the Win32 file and
# shell calls by the platform contract tests, which also run under Wine.
# Usage: suite.sh BIN WINEPREFIX [CASE...]   (every case_CASE by default; under an X server)
set -uo pipefail
BIN=$(cd "$1" && pwd)
export WINEPREFIX=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"

passed=0 failed=0
out=$(mktemp -d)
export APP_LOG=$out/app.log
trap 'rm -rf "$out"; wine_server_stop' EXIT

fail() {
    echo "  FAIL: $*"
    case_ok=0
}

# A window must appear within MS milliseconds (default 20 s). When it does not, says what the
# installer was doing: running or not, the visible windows (from the driver) and its Wine errors.
expect_window() {
    drv wait "$1" "${2:-20000}" 2>"$out/wait.err" && return 0
    # A driver that said nothing never got to look (Wine did not start it): once more.
    [ -s "$out/wait.err" ] || { drv wait "$1" "${2:-20000}" 2>"$out/wait.err" && return 0; }
    local state="had ended"
    kill -0 "$APP_PID" 2>/dev/null && state="was still running"
    fail "no window \"$1\" (the installer $state; the driver said: $(tr '\n' ';' <"$out/wait.err"))"
    echo "    installer output and Wine errors:" && sed 's/^/      /' "$APP_LOG" | tail -20
}

# expect_out FORMAT COMMAND WINDOW...: what the driver prints must be exactly FORMAT (printf
# escapes and line feeds; compared as bytes, so trailing blanks count).
expect_out() {
    # shellcheck disable=SC2059
    printf "$1\n" >"$out/expected"
    drv "${@:2}" >"$out/got" 2>/dev/null && cmp -s "$out/got" "$out/expected" && return
    fail "driver $2 \"$3\" differs"
    echo "    expected: $(od -c "$out/expected" | head -5)"
    echo "    actual:   $(od -c "$out/got" | head -5)"
}

expect_ends() { app_wait "${1:-20}" || fail "the installer did not end"; }

# One line per file (with its checksum) and directory of the flash volume.
flash_tree() {
    (cd "$DRIVE_C" && find ResidentFlash2 -type f -exec md5sum {} + | sort && find ResidentFlash2 -type d | sort)
}

stage="$DRIVE_C/stage"  # the packages, made by qzp.exe from trees staged there

# Full package 2.1 of the sample application tree; and text where a package's header belongs.
make_packages() {
    rm -rf "$stage" && mkdir -p "$stage/full" && cp -r "$repo/samples/VORIZ" "$stage/full/"
    qzp ini set 'C:\stage\full\VORIZ\INDEX.INI' Config SoftwareVersion 2.1 >/dev/null
    qzp pack 'C:\stage\full' 'C:\stage\full.qzp' >/dev/null || { echo "qzp.exe pack failed"; exit 1; }
    yes 'not a package' | head -c 4096 >"$stage/invalid.qzp"
}

# The device with version 2.0 of the sample tree installed (and a stray file in it, which the
# purge must take), package $1 on the card; the installer started.
device_installed() {
    device_clear
    cp -r "$repo/samples/VORIZ" "$DRIVE_C/ResidentFlash2/"
    printf 'stray\n' >"$DRIVE_C/ResidentFlash2/VORIZ/stray.txt"
    cp "$stage/$1.qzp" "$DRIVE_C/SDMMC/VORIZ.QZP"
    flash_tree >"$out/before"
    app_start
}

# The completion box answered: the restart is requested through the vendor library, and the flash
# volume holds exactly the package's tree.
finish_full_install() {
    drv click 'Setup Completely' 1
    expect_ends
    [ "$(cat "$DRIVE_C/restart.txt" 2>/dev/null)" = 1 ] || fail "no restart with argument 1 (C:\\restart.txt)"
    diff -r "$stage/full/VORIZ" "$DRIVE_C/ResidentFlash2/VORIZ" >/dev/null || fail "installed tree differs from the package"
}

# refused PACKAGE WINDOW COMMAND...: the window answered by the driver's COMMAND (the user
# declines, or acknowledges an error) ends the installer with no change and no restart.
refused() {
    device_installed "$1"
    expect_window "$2"
    [ "$1" = full ] || expect_out '1088 Static \n1 Button OK\n65535 Static Invalid update File' controls Error
    drv "$3" "$2" "${@:4}"
    expect_ends 10
    [ ! -e "$DRIVE_C/restart.txt" ] || fail "a restart was requested"
    flash_tree | diff -u "$out/before" - >"$out/diff" || { fail "the flash volume changed"; head -20 "$out/diff"; }
}

case_full_update_ok() {
    device_installed full
    expect_window 'Update Package'
    expect_out '1011 Static Update Version:  2.1\nCurrent Version: 2.0\n\nNeed to update the whole system?\n\n\n1000 Button OK\n1010 Button Cancel' \
        controls 'Update Package'
    local style exstyle
    read -r style exstyle < <(drv style 'Update Package')  # a caption and a system menu
    [ $((style & 0x00C80000)) = $((0x00C80000)) ] || fail "confirmation style $style"
    drv click 'Update Package' 1000
    expect_window 'Setup Completely' 30000
    expect_out '1088 Static \n1 Button OK\n65535 Static Please remove SDMMC card.\nClick OK to restart!' \
        controls 'Setup Completely'
    expect_out '100 of 0..100' pos @progress
    read -r style exstyle < <(drv style @progress)  # no caption, topmost (WS_EX_TOPMOST)
    [ $((style & 0x00C00000)) = 0 ] && [ $((exstyle & 0x8)) = 8 ] || fail "progress style $style $exstyle"
    finish_full_install
}

case_full_update_timeout() {
    # full update accepted by the confirmation's 5-second timer
    device_installed full
    expect_window 'Update Package'
    local start=$SECONDS
    drv gone 'Update Package' 15000 || fail "the confirmation did not close by itself"
    [ $((SECONDS - start)) -ge 4 ] || fail "the confirmation closed after $((SECONDS - start)) s, before its time-out"
    expect_window 'Setup Completely' 30000
    finish_full_install
}

case_declined_cancel() { refused full 'Update Package' click 1010; }
case_declined_escape() { refused full 'Update Package' key 27; }  # VK_ESCAPE
case_declined_close_box() { refused full 'Update Package' close; }
case_invalid_package() { refused invalid Error click 1; }

wine_server_start
make_packages
mapfile -t every < <(declare -F | sed -n 's/^declare -f case_//p')
[ $# -gt 0 ] || set -- "${every[@]}"
for name in "$@"; do
    declare -F "case_$name" >/dev/null || { echo "no case $name"; exit 2; }
    echo "== $name"
    case_ok=1
    "case_$name"
    app_wait  # whatever a failed case left running must not disturb the next one
    if [ "$case_ok" = 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "  ($name failed)"; fi
done
echo "wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
