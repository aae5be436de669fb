#!/usr/bin/env bash
# How often each qzp command reads the package it is given: the bytes the system's read calls
# returned on the package's file (strace), as a multiple of its size, for a package of about 24 MB
# (random and text files) and its manifest. `pack --sign` counts what it reads of the package it
# writes (under its scratch name, then its own).
# Usage: bash bench/command_reads.sh
source "$(dirname "$0")/common.bash" command-reads strace

src="$work/src"
mkdir -p "$src/VORIZ"
head -c 12000000 /dev/urandom > "$src/VORIZ/noise.bin"
seq 1 1800000 > "$src/VORIZ/text.bin"
"$bin/qzp" manifest "$src" --version 2.0 > /dev/null
"$bin/qzp" keygen --pubkey "$work/key.pub" --key "$work/key.sec" --no-password > /dev/null
pkg="$work/p.qzp"
"$bin/qzp" pack --sign "$work/key.sec" "$src" "$pkg" > /dev/null

# The bytes read calls returned on files named by the pattern (strace -y shows each descriptor's
# path), over the package's size.
reads() {
    local pattern="$1"
    shift
    strace -f -y -e trace=read,pread64,readv,preadv -o "$work/trace.txt" "$@" > /dev/null 2>&1 ||
        true
    awk -v size="$(stat -c %s "$pkg")" -v pattern="$pattern" \
        '$0 ~ pattern && $NF ~ /^[0-9]+$/ { sum += $NF } END { printf "%.2f\n", sum / size }' \
        "$work/trace.txt"
}

printf '%-34s %s\n' "command" "package reads"
on_package='<[^>]*/p\.qzp>'
printf '%-34s %sx\n' "qzp verify" "$(reads "$on_package" "$bin/qzp" verify "$pkg")"
printf '%-34s %sx\n' "qzp verify --pubkey" \
    "$(reads "$on_package" "$bin/qzp" verify --pubkey "$work/key.pub" "$pkg")"
printf '%-34s %sx\n' "qzp info" "$(reads "$on_package" "$bin/qzp" info "$pkg")"
printf '%-34s %sx\n' "qzp check" "$(reads "$on_package" "$bin/qzp" check "$pkg" --no-record)"
printf '%-34s %sx\n' "qzp list" "$(reads "$on_package" "$bin/qzp" list "$pkg")"
printf '%-34s %sx\n' "qzp extract" "$(reads "$on_package" "$bin/qzp" extract "$pkg" "$work/out")"
printf '%-34s %sx\n' "qzp pack --sign (its output)" \
    "$(reads '<[^>]*/(q\.qzp|~qzp[0-9a-f]*\.tmp)>' "$bin/qzp" pack --sign "$work/key.sec" "$src" \
        "$work/q.qzp")"
