#!/usr/bin/env bash
# The installer's Windows build, run under Wine like a user at the device: each case lays a device
# image on drive C: (card \SDMMC, flash volume \ResidentFlash2), starts C:\qzpupdate.exe, answers
# its windows through driver.exe and checks what ends up on drive C:.
#
# Usage: suite.sh BIN WINEPREFIX   (run under an X server, e.g. by scripts/wine_test.sh)
set -uo pipefail
BIN=$(cd "$1" && pwd)
export WINEPREFIX=$2
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"

passed=0
failed=0
case_name=""
case_ok=1
APP_PID=""
out=$(mktemp -d)
trap 'rm -rf "$out"; wine_server_stop' EXIT

fail() {
    echo "  FAIL: $*"
    case_ok=0
}

begin() {
    case_name=$1
    case_ok=1
    echo "== $case_name"
}

finish() {
    if [ "$case_ok" = 1 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "  ($case_name failed)"
    fi
    # Whatever a failed case left running must not disturb the next one.
    if [ -n "$APP_PID" ]; then
        kill "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
        APP_PID=""
    fi
}

# expect_text WINDOW FORMAT: the window's message text must be exactly FORMAT (printf escapes;
# compared as bytes, so trailing blanks and line feeds count).
expect_text() {
    drv text "$1" >"$out/text" 2>"$out/err" || { fail "cannot read the text of \"$1\""; return; }
    # shellcheck disable=SC2059
    printf "$2\n" >"$out/expected"
    if ! cmp -s "$out/text" "$out/expected"; then
        fail "text of \"$1\" differs"
        echo "    expected: $(od -c "$out/expected" | head -5)"
        echo "    actual:   $(od -c "$out/text" | head -5)"
    fi
}

# A window must appear within MS milliseconds (default 20 s).
# On failure it says whether the installer was still running and what C:\ResidentFlash2 held.
expect_window() {
    drv wait "$1" "${2:-20000}" 2>/dev/null && return 0
    local state="had ended"
    kill -0 "$APP_PID" 2>/dev/null && state="was still running"
    fail "no window \"$1\" (the installer $state; flash volume: $(flash_tree | head -c 300 | tr '\n' ' '))"
}

expect_ends() { app_wait "${1:-20}" || fail "the installer did not end"; }

expect_no_restart() { [ ! -e "$DRIVE_C/restart.txt" ] || fail "a restart was requested"; }

expect_restart() {
    [ "$(cat "$DRIVE_C/restart.txt" 2>/dev/null)" = 1 ] || fail "no restart with argument 1 (C:\\restart.txt)"
}

expect_same_file() { cmp -s "$1" "$2" || fail "$2 differs from $1"; }

# One line per file (with its checksum) and directory of the flash volume.
flash_tree() {
    (cd "$DRIVE_C" && find ResidentFlash2 -type f -exec md5sum {} + | sort && find ResidentFlash2 -type d | sort)
}

expect_flash_unchanged() {
    flash_tree >"$out/after"
    diff -u "$out/before" "$out/after" >"$out/diff" || { fail "the flash volume changed"; head -20 "$out/diff"; }
}

# ---- fixtures: packages made by qzp.exe from staged trees on drive C: ----
stage="$DRIVE_C/stage"

make_manifest() {  # make_manifest TREE VERSION [OLD_VERSION]: VORIZ\INDEX.INI of a staged tree
    local file="C:\\stage\\$1\\VORIZ\\INDEX.INI"
    mkdir -p "$stage/$1/VORIZ"
    qzp ini set "$file" Config SoftwareVersion "$2" >/dev/null
    if [ $# -gt 2 ]; then
        qzp ini set "$file" UpdateInfo IsPatch 1 >/dev/null
        qzp ini set "$file" UpdateInfo oldVersion "$3" >/dev/null
    else
        qzp ini set "$file" UpdateInfo IsPatch 0 >/dev/null
    fi
}

make_packages() {
    rm -rf "$stage"
    mkdir -p "$stage/full"
    # Full package 2.1: the sample application tree and a power-off logo of its own.
    cp -r "$repo/samples/VORIZ" "$stage/full/"
    printf 'logo brought by the package\n' >"$stage/full/PowerOffLogo.bmp"
    make_manifest full 2.1
    # Patch 2.0.1 for an installed 9.9.
    make_manifest other 2.0.1 9.9
    printf 'patched\n' >"$stage/other/VORIZ/patch.txt"
    # Patch 2.0.1 for the installed 2.0 (other letter case irrelevant) replacing a library.
    make_manifest blocked 2.0.1 2.0
    mkdir -p "$stage/blocked/VORIZ/Lib"
    printf 'new library\n' >"$stage/blocked/VORIZ/Lib/route.dll"
    local name
    for name in full other blocked; do
        qzp pack "C:\\stage\\$name" "C:\\stage\\$name.qzp" >/dev/null || { echo "qzp.exe pack $name failed"; exit 1; }
    done
    # Not a package: text where the header belongs.
    yes 'not a package' | head -c 4096 >"$stage/invalid.qzp"
}

# The device with version 2.0 installed: the sample tree, a stray file and folder on the flash
# volume (gone after a full update) and an old logo.
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

# After a full update the flash volume holds exactly the package's tree (the old files purged),
# and the manifest's copy stays in the root directory.
expect_full_install() {
    local logo=$1
    diff -r "$stage/full/VORIZ" "$DRIVE_C/ResidentFlash2/VORIZ" >/dev/null || fail "installed tree differs from the package"
    [ ! -e "$DRIVE_C/ResidentFlash2/stray.txt" ] && [ ! -e "$DRIVE_C/ResidentFlash2/Old" ] || fail "the purge left old files"
    expect_same_file "$logo" "$DRIVE_C/ResidentFlash2/PowerOffLogo.bmp"
    expect_same_file "$stage/full/VORIZ/INDEX.INI" "$DRIVE_C/VORIZ/INDEX.INI"
}

# ---- cases ----

# The end of a successful full update that brought the package's own logo: the completion box
# is answered, the restart requested, and drive C: holds the package's tree.
finish_full_install() {
    drv click 'Setup Completely' 1
    expect_ends
    expect_restart
    expect_full_install "$stage/full/PowerOffLogo.bmp"
}

case_full_update_ok() {
    begin "full update, confirmed with OK, card logo, restart"
    device_installed full
    cp "$repo/samples/PowerOffLogo.bmp" "$DRIVE_C/SDMMC/"
    app_start
    expect_window 'Update Package'
    expect_text 'Update Package' 'Update Version:  2.1\nCurrent Version: 2.0\n\nNeed to update the whole system?\n\n'
    drv controls 'Update Package' >"$out/controls"
    grep -q '^1011 Static ' "$out/controls" && grep -q '^1000 Button .* OK$' "$out/controls" &&
        grep -q '^1010 Button .* Cancel$' "$out/controls" || { fail "controls of the confirmation"; cat "$out/controls"; }
    # Caption and system menu (WS_CAPTION 0x00C00000, WS_SYSMENU 0x00080000).
    local style
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
    expect_no_restart
    drv click 'Setup Completely' 1
    expect_ends
    expect_restart
    expect_full_install "$repo/samples/PowerOffLogo.bmp"
    finish
}

case_full_update_timeout() {
    begin "full update accepted by the 5-second time-out, no card logo"
    device_installed full
    app_start
    expect_window 'Update Package'
    local start=$SECONDS
    drv gone 'Update Package' 15000 || fail "the confirmation did not close by itself"
    [ $((SECONDS - start)) -ge 4 ] || fail "the confirmation closed after $((SECONDS - start)) s, before its time-out"
    expect_window 'Setup Completely' 30000
    finish_full_install
    finish
}

case_declined() {
    local how=$1
    begin "full update declined ($how)"
    device_installed full
    app_start
    expect_window 'Update Package'
    case $how in
        cancel) drv click 'Update Package' 1010 ;;
        escape) drv key 'Update Package' escape ;;
        close-box) drv close 'Update Package' ;;
    esac
    expect_ends 10
    expect_no_restart
    expect_flash_unchanged
    finish
}

case_patch_other_version() {
    begin "patch for another installed version"
    device_installed other
    app_start
    expect_window 'Update Patch'
    expect_text 'Update Patch' 'This Patch only for version:9.9\n Update fail!'
    drv click 'Update Patch' 1
    expect_ends 10
    expect_no_restart
    expect_flash_unchanged
    finish
}

case_invalid_package() {
    begin "invalid package"
    device_installed invalid
    app_start
    expect_window 'Error'
    expect_text 'Error' 'Invalid update File'
    drv click 'Error' 1
    expect_ends 10
    expect_no_restart
    expect_flash_unchanged
    finish
}

case_extraction_fails() {
    begin "patch whose target file is occupied by a folder: refused before any change"
    device_installed blocked
    rm "$DRIVE_C/ResidentFlash2/VORIZ/Lib/route.dll"
    mkdir "$DRIVE_C/ResidentFlash2/VORIZ/Lib/route.dll"
    cp "$repo/samples/PowerOffLogo.bmp" "$DRIVE_C/SDMMC/"
    flash_tree >"$out/before"
    app_start
    expect_window 'Error'
    expect_text 'Error' 'Invalid update File'
    drv click 'Error' 1
    expect_ends 10
    expect_no_restart
    expect_flash_unchanged
    finish
}

case_no_record() {
    begin "device without a version record: no confirmation, full update"
    device_installed full
    rm "$DRIVE_C/ResidentFlash2/VORIZ/INDEX.INI"
    app_start
    expect_window 'Setup Completely' 30000
    drv gone 'Update Package' 0 || fail "a confirmation was shown"
    finish_full_install
    finish
}

case_empty_flash_volume() {
    begin "empty flash volume (a power cut right after the purge): purge succeeds, full update"
    device_installed full
    rm -rf "$DRIVE_C/ResidentFlash2"
    mkdir -p "$DRIVE_C/ResidentFlash2"
    app_start
    expect_window 'Setup Completely' 30000
    finish_full_install
    finish
}

wine_server_start
make_packages
begin "qzp.exe reads back what it packed"
qzp verify 'C:\stage\full.qzp' || fail "qzp.exe verify"
rm -rf "$DRIVE_C/out"
qzp extract 'C:\stage\full.qzp' 'C:\out' >/dev/null || fail "qzp.exe extract"
diff -r "$stage/full" "$DRIVE_C/out" >/dev/null || fail "extracted tree differs from the packed one"
finish
case_full_update_ok
case_full_update_timeout
for how in cancel escape close-box; do
    case_declined "$how"
done
case_patch_other_version
case_invalid_package
case_extraction_fails
case_no_record
case_empty_flash_volume

echo "wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
