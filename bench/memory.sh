#!/usr/bin/env bash
# Peak memory (maximum resident set size, /usr/bin/time -v) of qzpupdate, qzp info, qzp check and
# qzp list on the inputs that could once make them hold a whole file: a package whose manifest
# inflates to 512 MiB, a card settings file of a million keys, a large package signed in the legacy
# form (Ed, which signs the file itself), packages of 65,535 entries (short names; names at the
# device's length limit in one folder; the same names in a chain of 100 levels; 32,767 folders)
# and one whose catalogue holds 1,000 names of 64 KB. The device's process has 32 MB in all on
# 5.0: each figure should stay at or below 16 MB, qzp info's at or below 32 MB.
# Usage: bash bench/memory.sh   (MEMORY_LARGE_MB=N: the large package's data, default 1024;
#                               MEMORY_ENTRIES=N: entries of the long-name packages, default 65535;
#                               QZP_BENCH_BIN=DIR: use these programs instead of building host-release)
source "$(dirname "$0")/common.bash" memory time minisign python3
large_mb="${MEMORY_LARGE_MB:-1024}"
entries="${MEMORY_ENTRIES:-65535}"

# Prints "LABEL  PEAK-MB  FIRST-LINE-OF-OUTPUT" for one run of the command after LABEL.
peak() {
    local label="$1"
    shift
    /usr/bin/time -v -o "$work/time.txt" "$@" > "$work/out.txt" 2>&1 || true
    local kb
    kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
    printf '%-44s %8.1f MB  %s\n' "$label" "$(echo "$kb / 1024" | bc -l)" \
        "$(grep -m1 -E 'kind|\[|refus|qzp:|installs|full|patch' "$work/out.txt" | cut -c1-70)"
}

# A device image holding PACKAGE on its card, with a version record 1.0.
device() {
    local dev="$work/device"
    rm -rf "$dev" && mkdir -p "$dev/SDMMC" "$dev/ResidentFlash2/VORIZ" "$dev/Windows"
    cp "$1" "$dev/SDMMC/VORIZ.QZP"
    "$bin/qzp" ini set "$dev/ResidentFlash2/VORIZ/index.ini" Config SoftwareVersion 1.0 > /dev/null
    cp "$bin/velmorin_standin.so" "$dev/Windows/velmorin.dll" 2> /dev/null || true
    echo "$dev"
}

installer() {
    peak "$1" "$bin/qzpupdate" --device "$2" --ui headless --answer ok --time-scale 0
}

# A package of TREE (with a manifest "2.0" unless it has one).
pack() {
    [ -e "$1/VORIZ/INDEX.INI" ] || "$bin/qzp" manifest "$1" --version 2.0 > /dev/null
    "$bin/qzp" pack "$@" > /dev/null
}

echo "peak resident memory; programs from $bin"

# 1. The manifest inflates to 512 MiB (blocks of zeros after a real manifest).
mkdir -p "$work/bomb/VORIZ"
"$bin/qzp" manifest "$work/bomb" --version 2.0 > /dev/null
python3 - "$work/bomb/VORIZ/INDEX.INI" << 'EOF'
import sys
with open(sys.argv[1], 'ab') as f:
    for _ in range(512):
        f.write(bytes(1 << 20))
EOF
"$bin/qzp" pack --no-manifest "$work/bomb" "$work/bomb.qzp" > /dev/null
rm -rf "$work/bomb"
echo "manifest of 512 MiB, package $(stat -c %s "$work/bomb.qzp") bytes:"
installer "  qzpupdate" "$(device "$work/bomb.qzp")"
peak "  qzp info" "$bin/qzp" info "$work/bomb.qzp"
peak "  qzp check --no-record" "$bin/qzp" check --no-record "$work/bomb.qzp"

# 2. A small package, the card's settings a million keys long.
mkdir -p "$work/small/VORIZ" && echo hello > "$work/small/VORIZ/a.txt"
pack "$work/small" "$work/small.qzp"
dev="$(device "$work/small.qzp")"
python3 - "$dev/SDMMC/kvupdate.ini" << 'EOF'
import sys
body = '[Config]\r\nIsShowUpdateTips = 0\r\n' + ''.join('k%d = %d\r\n' % (i, i) for i in range(1000000))
open(sys.argv[1], 'wb').write(b'\xff\xfe' + body.encode('utf-16-le'))
EOF
echo "card settings of $(stat -c %s "$dev/SDMMC/kvupdate.ini") bytes, a million keys:"
installer "  qzpupdate" "$dev"

# 3. The large package; signed in the legacy form on a device that trusts the key.
mkdir -p "$work/large/VORIZ"
head -c "$((large_mb / 2))M" /dev/urandom > "$work/large/VORIZ/noise.bin"
python3 - "$work/large/VORIZ/text.bin" "$((large_mb / 2))" << 'EOF'
import sys
line = b''.join(b'%08d some text that compresses\n' % i for i in range(4096))
with open(sys.argv[1], 'wb') as f:
    for _ in range(int(sys.argv[2]) * (1 << 20) // len(line)):
        f.write(line)
EOF
pack "$work/large" "$work/large.qzp"
rm -rf "$work/large"
minisign -G -W -f -p "$work/key.pub" -s "$work/key.sec" > /dev/null
minisign -S -l -s "$work/key.sec" -m "$work/large.qzp" -t bench > /dev/null
echo "large package, $(stat -c %s "$work/large.qzp") bytes:"
dev="$(device "$work/large.qzp")"
installer "  qzpupdate" "$dev"
peak "  qzp info" "$bin/qzp" info "$work/large.qzp"
peak "  qzp check --no-record" "$bin/qzp" check --no-record "$work/large.qzp"
cp "$work/key.pub" "$dev/Windows/qzpupdate.pub"
cp "$work/large.qzp.minisig" "$dev/SDMMC/VORIZ.QZP.minisig"
rm -rf "$dev/ResidentFlash2"/* && mkdir -p "$dev/ResidentFlash2"
installer "  qzpupdate, legacy signature (Ed)" "$dev"
rm -f "$work/large.qzp"

# 4. 65,535 entries: 255 folders of 256 tiny files.
mkdir -p "$work/many/VORIZ"
python3 - "$work/many" << 'EOF'
import os, sys
for d in range(255):  # with VORIZ and its manifest: 2 + 255 + 65,278 entries
    folder = os.path.join(sys.argv[1], 'VORIZ', 'D%03d' % d)
    os.mkdir(folder)
    for f in range(256 if d < 254 else 254):
        open(os.path.join(folder, 'F%03d.txt' % f), 'w').write('%d %d\n' % (d, f))
EOF
"$bin/qzp" manifest "$work/many" --version 2.0 > /dev/null
"$bin/qzp" pack "$work/many" "$work/many.qzp" > /dev/null
rm -rf "$work/many"
echo "$("$bin/qzp" info "$work/many.qzp" | sed -n 's/^entries: *//p'), package $(stat -c %s "$work/many.qzp") bytes:"
installer "  qzpupdate" "$(device "$work/many.qzp")"
peak "  qzp info" "$bin/qzp" info "$work/many.qzp"
peak "  qzp check --no-record" "$bin/qzp" check --no-record "$work/many.qzp"
peak "  qzp list" "$bin/qzp" list "$work/many.qzp"

# 5. Names at the device's length limit (243 bytes: 259 units under \ResidentFlash2\), in one
#    folder, in a chain of 100 levels (paths of about 107 bytes), under 32,767 folders, and in one
#    folder again made of random letters (names that do not deflate into the catalogue's 1 MiB).
for shape in folder chain folders varied; do
    rm -rf "$work/long" && mkdir -p "$work/long/VORIZ"
    python3 - "$work/long/VORIZ" "$shape" "$entries" << 'EOF'
import os, sys
root, shape, entries = sys.argv[1], sys.argv[2], int(sys.argv[3]) - 2  # VORIZ, its manifest
if shape == 'varied':
    import random, string
    rng = random.Random(37)
    for i in range(entries):
        name = '%05d' % i + ''.join(rng.choice(string.ascii_lowercase) for _ in range(232))
        open(os.path.join(root, name), 'w').write('x')
elif shape == 'folder':
    for i in range(entries):
        open(os.path.join(root, '%05d' % i + 'n' * 232), 'w').write('x')
elif shape == 'chain':
    levels = [root]
    for level in range(100):
        levels.append(os.path.join(levels[-1], 'L'))
        os.mkdir(levels[-1])
    for i in range(entries - 100):
        depth = 1 + i % 100
        open(os.path.join(levels[depth], '%05d' % i + 'n' * max(1, 95 - 2 * depth)), 'w').write('x')
else:
    for i in range(entries // 2):
        folder = os.path.join(root, '%05d' % i + 'd' * 112)
        os.mkdir(folder)
        open(os.path.join(folder, '%05d' % i + 'f' * 114), 'w').write('x')
EOF
    pack "$work/long" "$work/long.qzp"
    echo "$shape of long names, $("$bin/qzp" info "$work/long.qzp" | sed -n 's/^entries: *//p'), package $(stat -c %s "$work/long.qzp") bytes:"
    rm -rf "$work/long"
    dev="$(device "$work/long.qzp")"
    installer "  qzpupdate" "$dev"
    peak "  qzp info" "$bin/qzp" info "$work/long.qzp"
    peak "  qzp check --device" "$bin/qzp" check --device "$dev" "$work/long.qzp"
    peak "  qzp list" "$bin/qzp" list "$work/long.qzp"
done

# 6. The small package's catalogue replaced by 1,000 records with names of 64 KB (over the limit
#    of 259 bytes: refused while the catalogue is read, before the names are kept).
python3 - "$work/small.qzp" "$work/names.qzp" << 'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
comment = struct.unpack_from('<H', data, len(data) - 2)[0]
end = len(data) - 2 - comment - 14
signature, count, size, offset = struct.unpack_from('<IHII', data, end)
record = b'\xff\xd8\x01\x02' + bytes(16) + struct.pack('<HI', 0xFFFF, 0) + b'N' * 0xFFFF
directory = record * 1000
tail = struct.pack('<IHII', signature, 1000, len(directory), offset) + data[end + 14:]
open(sys.argv[2], 'wb').write(data[:offset] + directory + tail)
EOF
echo "1000 names of 64 KB, package $(stat -c %s "$work/names.qzp") bytes:"
installer "  qzpupdate" "$(device "$work/names.qzp")"
peak "  qzp check --no-record" "$bin/qzp" check --no-record "$work/names.qzp"
peak "  qzp list" "$bin/qzp" list "$work/names.qzp"
