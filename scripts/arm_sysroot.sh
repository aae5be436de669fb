#!/usr/bin/env bash
# Unpacks Debian's armel zlib and libsodium packages, and the C library's code-page converters
# (iconv's gconv modules, which the cross C library lacks), into build/sysroot-armel for the
# arm-linux preset. The packages are downloaded, not installed, so the host's own package set stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
sysroot=build/sysroot-armel
[ -f "$sysroot/usr/include/zlib.h" ] && [ -f "$sysroot/usr/include/sodium.h" ] &&
    [ -f "$sysroot/usr/lib/arm-linux-gnueabi/gconv/gconv-modules" ] && exit 0
if ! dpkg --print-foreign-architectures | grep -qx armel; then
    dpkg --add-architecture armel
    apt-get update -q
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
packages=(zlib1g:armel zlib1g-dev:armel libsodium23:armel libsodium-dev:armel libc6:armel)
(cd "$work" && apt-get download "${packages[@]}" 2>/dev/null ||
    { apt-get update -q && apt-get download "${packages[@]}"; })
mkdir -p "$sysroot"
for deb in "$work"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
done
echo "armel sysroot ready: $sysroot"
