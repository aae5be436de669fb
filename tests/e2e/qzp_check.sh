#!/usr/bin/env bash
# qzp check without a device image: the device's state stated on the command line (the version
# record, the card's tips, trusted keys and the signature, the flash volume's room). What it
# predicts on device images is held against the installer itself by the app tests' check matrix.
# Usage: qzp_check.sh BIN_DIR
source "$(dirname "$0")/kit.sh" "$1"
qzp_require() { command -v "$1" > /dev/null || fail "$1 is missing"; }
qzp_require minisign

tree() {  # tree DIR VERSION [PATCH-FOR]
    mkdir -p "$1/VORIZ/Maps" && seq 1 20000 > "$1/VORIZ/Maps/region.dat" && echo "$1" > "$1/VORIZ/app.txt"
    if [ -n "${3:-}" ]; then "$QZP" manifest "$1" --version "$2" --patch-for "$3" > /dev/null
    else "$QZP" manifest "$1" --version "$2" > /dev/null; fi
}
tree full 2.0 && "$QZP" pack full full.qzp > /dev/null
tree patch 1.1 1.0 && "$QZP" pack patch patch.qzp > /dev/null
tree norecord 1.1 undetected && "$QZP" pack norecord norecord.qzp > /dev/null

invalid='refuse: Invalid update File'
expect() {  # expect STATUS TEXT COMMAND...
    local want_status="$1" want="$2" out status
    shift 2
    out=$("$QZP" check "$@" 2>&1) && status=0 || status=$?
    [ "$status" -eq "$want_status" ] || fail "qzp check $*: exit $status, expected $want_status ($out)"
    [ -z "$want" ] || [ "$out" = "$want" ] || fail "qzp check $*: '$out', expected '$want'"
}
# The version gate.
expect 1 'refuse: This Patch only for version:1.0\n Update fail!' patch.qzp --installed 2.0
expect 0 'full update: asks first' full.qzp --installed 1.0
expect 0 'full update: no question' full.qzp --installed 1.0 --tips 0
expect 0 'patch' norecord.qzp --no-record
expect 2 '' full.qzp
# A name that fits 259 units alone but not below \ResidentFlash2\, where the device writes it:
# qzp pack refuses it, naming it, and takes one a unit shorter.
tree deep 2.0 && echo x > "deep/VORIZ/$(printf 'n%.0s' $(seq 238))"
"$QZP" pack deep deep.qzp 2> err.txt && fail "pack took a name the device refuses"
grep -q "^qzp: deep/VORIZ/nnnn*: path too long (over 259 units below" err.txt || fail "pack's refusal: $(cat err.txt)"
mv deep/VORIZ/nnn* "deep/VORIZ/$(printf 'n%.0s' $(seq 237))" && "$QZP" pack deep deep.qzp > /dev/null
expect 0 'full update: no question' deep.qzp --no-record

# The room: whole units of 1 KB (two folders, three files) against what the volume offers.
expect 1 'refuse: The flash volume ResidentFlash2 lacks room for this update: it needs 111 KB, 110 KB are available.' \
    full.qzp --no-record --free-kb 110
expect 0 'full update: no question' full.qzp --no-record --free-kb 111

# A device that trusts a key: unsigned, signed, signed by another key, the signature elsewhere.
minisign -G -W -f -p release.pub -s release.sec > /dev/null
minisign -G -W -f -p stranger.pub -s stranger.sec > /dev/null
expect 1 "$invalid" full.qzp --no-record --pubkey release.pub
minisign -S -s release.sec -m full.qzp > /dev/null
expect 0 'full update: no question' full.qzp --no-record --pubkey release.pub
expect 1 "$invalid" full.qzp --no-record --pubkey stranger.pub
mv full.qzp.minisig elsewhere.minisig
expect 1 "$invalid" full.qzp --no-record --pubkey release.pub
expect 0 'full update: no question' full.qzp --no-record --pubkey release.pub --sig elsewhere.minisig
expect 1 '' full.qzp --no-record --pubkey missing.pub

# No way back on a device with keys, unless the signed manifest gives leave; without keys
# versions are not ordered.
minisign -S -s release.sec -m full.qzp > /dev/null
expect 1 'refuse: Update refused: version 2.0 is older than the installed version 2.10.' \
    full.qzp --installed 2.10 --pubkey release.pub
expect 0 'full update: asks first' full.qzp --installed 2.10
tree back 2.0 && "$QZP" manifest back --version 2.0 --allow-downgrade > /dev/null
"$QZP" pack back back.qzp > /dev/null && minisign -S -s release.sec -m back.qzp > /dev/null
expect 0 'full update: asks first' back.qzp --installed 2.10 --pubkey release.pub
"$QZP" info back.qzp | grep -qx 'kind:     full update, may replace a newer version (AllowDowngrade)' \
    || fail "info: $("$QZP" info back.qzp)"
mkdir dev
expect 2 '' full.qzp --device dev --pubkey release.pub
echo "qzp_check: the stated device states agree"
