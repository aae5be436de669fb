#!/usr/bin/env bash
# 32-bit ARM: builds the libraries, their unit tests and qzp for ARMv5TE, runs the tests under
# qemu-arm, and checks that packages cross between the host and the ARM build byte for byte.
# Expects the host-debug build (scripts/test.sh makes it first).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
qzp_require_packages g++-arm-linux-gnueabi qemu-user minisign
bash scripts/arm_sysroot.sh

cmake --preset arm-linux >/dev/null
cmake --build --preset arm-linux -j "$(nproc)"
ctest --preset arm-linux -j "$(nproc)"

echo "== cross test: host and ARM qzp exchange packages"
host=build/host-debug/bin/qzp
arm=build/arm-linux/bin/qzp
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$host" pack --jobs 2 samples "$work/host.qzp" >/dev/null
qemu-arm -L /usr/arm-linux-gnueabi "$arm" pack --jobs 2 samples "$work/arm.qzp" >/dev/null
cmp "$work/host.qzp" "$work/arm.qzp"
qemu-arm -L /usr/arm-linux-gnueabi "$arm" verify "$work/host.qzp"
qemu-arm -L /usr/arm-linux-gnueabi "$arm" extract "$work/host.qzp" "$work/on-arm" >/dev/null
diff -r samples "$work/on-arm"
"$host" verify "$work/arm.qzp"
# A package signed on the host by minisign verifies on ARM; one changed byte does not.
minisign -G -W -p "$work/k.pub" -s "$work/k.sec" >/dev/null
minisign -S -s "$work/k.sec" -m "$work/host.qzp" -t "signed on the host" >/dev/null
qemu-arm -L /usr/arm-linux-gnueabi "$arm" verify --pubkey "$work/k.pub" "$work/host.qzp" |
    grep -q 'trusted comment: signed on the host'
cp "$work/host.qzp" "$work/changed.qzp"
printf ']' | dd of="$work/changed.qzp" bs=1 seek=$(( $(stat -c %s "$work/changed.qzp") - 3 )) \
    conv=notrunc status=none
if qemu-arm -L /usr/arm-linux-gnueabi "$arm" verify --pubkey "$work/k.pub" \
    --sig "$work/host.qzp.minisig" "$work/changed.qzp" 2>/dev/null; then
    echo "ARM qzp accepted a changed package"; exit 1
fi
"$host" extract "$work/arm.qzp" "$work/on-host" >/dev/null
diff -r samples "$work/on-host"
echo "cross test: packages made on either side are identical and extract byte for byte;"
echo "            a signature made on the host verifies on ARM"
