#!/usr/bin/env bash
# How much of the card an update reads: the bytes qzpupdate reads from \SDMMC\VORIZ.QZP, as a
# multiple of the package's size, for a package of large files, one of many small files and one of
# 65,535 long names of random letters in one folder (at the device's length limit; they fit the
# catalogue's 1 MiB of kept names neither as they are nor deflated, so they are read from the card
# where needed), unsigned on a device without keys and signed on a device that trusts the key. Two
# figures per run: the installer's own count (its log's extraction line) and the bytes the
# system's read calls returned on the package's file, summed from strace (an independent measure).
# Usage: bash bench/card_reads.sh [SMALL-FILES [VARIED-NAMES]]     (defaults 5000 and 65535)
source "$(dirname "$0")/common.bash" card strace minisign python3
files="${1:-5000}"
names="${2:-65535}"

mkdir -p "$work/large/VORIZ" "$work/small/VORIZ/Tiles"
head -c 20000000 /dev/urandom > "$work/large/VORIZ/noise.bin"
seq 1 3000000 > "$work/large/VORIZ/text.bin"
(cd "$work/small/VORIZ/Tiles" && seq -f 'T%06g.txt' 1 "$files" | xargs -n 1000 sh -c \
    'for f; do echo "$f $f $f" > "$f"; done' sh)
# VORIZ\ and 237 letters: 243 bytes, 259 units under \ResidentFlash2\ (with VORIZ and the
# manifest, NAMES entries).
mkdir -p "$work/varied/VORIZ"
python3 - "$work/varied/VORIZ" "$((names - 2))" << 'EOF'
import os, random, string, sys
rng = random.Random(37)
for i in range(int(sys.argv[2])):
    name = '%05d' % i + ''.join(rng.choice(string.ascii_lowercase) for _ in range(232))
    open(os.path.join(sys.argv[1], name), 'w').write('x')
EOF
minisign -G -W -f -p "$work/key.pub" -s "$work/key.sec" > /dev/null

printf '%-28s %12s %14s %14s\n' "package" "size" "installer" "strace"
for kind in large small varied; do
    "$bin/qzp" manifest "$work/$kind" --version 2.0 > /dev/null
    "$bin/qzp" pack "$work/$kind" "$work/$kind.qzp" > /dev/null
    minisign -S -s "$work/key.sec" -m "$work/$kind.qzp" -t bench > /dev/null
    for signed in no yes; do
        dev="$work/device"
        rm -rf "$dev" && mkdir -p "$dev/SDMMC" "$dev/ResidentFlash2" "$dev/Windows"
        cp "$work/$kind.qzp" "$dev/SDMMC/VORIZ.QZP"
        if [ "$signed" = yes ]; then
            cp "$work/$kind.qzp.minisig" "$dev/SDMMC/VORIZ.QZP.minisig"
            cp "$work/key.pub" "$dev/Windows/qzpupdate.pub"
        fi
        strace -f -y -e trace=read,pread64,readv,preadv -o "$work/trace.txt" \
            "$bin/qzpupdate" --device "$dev" --ui headless --time-scale 0 > /dev/null
        size=$(stat -c %s "$dev/SDMMC/VORIZ.QZP")
        own=$(sed -n 's/.*the package read \([0-9.]*\) times.*/\1/p' "$dev/SDMMC/qzpupdate.log")
        read_bytes=$(awk '/VORIZ\.QZP>/ && $NF ~ /^[0-9]+$/ { sum += $NF } END { print sum + 0 }' \
            "$work/trace.txt")
        printf '%-28s %12s %13sx %13.2fx\n' "$kind, signed: $signed" "$size" "${own:-?}" \
            "$(echo "$read_bytes / $size" | bc -l)"
    done
done
