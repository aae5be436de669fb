#!/usr/bin/env bash
# Builds a static libsodium for a MinGW-w64 target from Debian's own source package, once, into
# build/libsodium-TRIPLE (include/ and lib/libsodium.a), where the Windows toolchain files look for
# it. Enables Debian's source archive (deb-src) when the machine lacks it.
# Usage: scripts/mingw_libsodium.sh x86_64-w64-mingw32|i686-w64-mingw32
set -euo pipefail
cd "$(dirname "$0")/.."
triple=${1:?usage: scripts/mingw_libsodium.sh x86_64-w64-mingw32|i686-w64-mingw32}
prefix=$PWD/build/libsodium-$triple
[ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/include/sodium.h" ] && exit 0

source scripts/deps.sh
case "$triple" in
    x86_64-w64-mingw32) qzp_require_packages g++-mingw-w64-x86-64-posix ;;
    i686-w64-mingw32) qzp_require_packages g++-mingw-w64-i686-posix ;;
    *) echo "unknown target $triple" >&2; exit 2 ;;
esac
qzp_require_packages dpkg-dev make
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The source of the same Debian release as the binary packages: a deb-src twin of every deb
# stanza of the Debian archive, in a file of its own.
src_list=/etc/apt/sources.list.d/qzp-deb-src.sources
has_deb_src() {
    grep -Eqs '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
        grep -Eqsi '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources
}
if ! has_deb_src; then
    [ -f /etc/apt/sources.list.d/debian.sources ] ||
        { echo "no Debian archive in /etc/apt/sources.list.d/debian.sources" >&2; exit 1; }
    sed -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' \
        /etc/apt/sources.list.d/debian.sources | $sudo tee "$src_list" > /dev/null
    $sudo apt-get update -q
fi

src=build/libsodium-src
if [ ! -x "$src"/libsodium-*/configure ] && [ ! -f "$src"/libsodium-*/autogen.sh ]; then
    rm -rf "$src"
    mkdir -p "$src"
    (cd "$src" && apt-get source -q libsodium)
fi
source_dir=$(cd "$src"/libsodium-*/ && pwd)
if [ ! -x "$source_dir/configure" ]; then
    qzp_require_packages autoconf automake libtool
    (cd "$source_dir" && ./autogen.sh -s)
fi

echo "== libsodium for $triple"
work=build/libsodium-build-$triple
rm -rf "$work"
mkdir -p "$work"
# No stack protector: it would need MinGW's libssp in every program that links the library.
(cd "$work" && "$source_dir/configure" -q --host="$triple" CC="$triple-gcc-posix" \
    --prefix="$prefix" --disable-shared --enable-static --disable-ssp \
    --disable-dependency-tracking && make -s -j "$(nproc)" && make -s install)
rm -rf "$work"
echo "libsodium ready: $prefix"
