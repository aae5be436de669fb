#!/usr/bin/env bash
# Counts the system calls that extraction makes per file, with strace -c -f, for a package of
# many small files in one folder: `qzp extract` into an empty folder, and the installer updating a
# device image (whose names match without regard to letter case). A per-file count that grows
# with the number of files means a lookup has become a directory scan again.
# Usage: bash bench/syscalls.sh [FILES]      (default 20000 files of one byte)
source "$(dirname "$0")/common.bash" syscalls strace
files="${1:-20000}"

echo "== a package of $files files of one byte in one folder"
mkdir -p "$work/tree/VORIZ/Tiles"
(cd "$work/tree/VORIZ/Tiles" && seq -f 'T%06g.bin' 1 "$files" | xargs -n 2000 sh -c \
    'for f; do printf x > "$f"; done' sh)
"$bin/qzp" ini set "$work/tree/VORIZ/INDEX.INI" Config SoftwareVersion 2.0 > /dev/null
"$bin/qzp" pack "$work/tree" "$work/many.qzp" > /dev/null

# strace -c -f prints a table; its last line holds the total number of calls.
report() {  # LABEL SUMMARY-FILE
    local total getdents openat
    total=$(awk '$NF == "total" { print $(NF-2) }' "$2")
    getdents=$(awk '$NF == "getdents64" { print $4 }' "$2")
    openat=$(awk '$NF == "openat" { print $4 }' "$2")
    printf '%-34s %9s calls  %6.2f per file  getdents64 %s  openat %s\n' "$1" "$total" \
        "$(echo "$total / $files" | bc -l)" "${getdents:-0}" "${openat:-0}"
}

mkdir "$work/out"
strace -c -f -o "$work/extract.txt" "$bin/qzp" extract "$work/many.qzp" "$work/out" > /dev/null
report "qzp extract (empty folder)" "$work/extract.txt"

device="$work/device"
mkdir -p "$device/SDMMC" "$device/ResidentFlash2/VORIZ" "$device/Windows"
"$bin/qzp" ini set "$device/ResidentFlash2/VORIZ/index.ini" Config SoftwareVersion 1.0 > /dev/null
cp "$bin/velmorin_standin.so" "$device/Windows/velmorin.dll"
cp "$work/many.qzp" "$device/SDMMC/VORIZ.QZP"
strace -c -f -o "$work/install.txt" "$bin/qzpupdate" --device "$device" --ui headless \
    --answer ok --time-scale 0 > /dev/null
report "qzpupdate (device image)" "$work/install.txt"
test "$(find "$device/ResidentFlash2/VORIZ/Tiles" -type f | wc -l)" -eq "$files" ||
    { echo "the installer did not extract every file" >&2; exit 1; }
