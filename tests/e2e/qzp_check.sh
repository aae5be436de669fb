#!/usr/bin/env bash
# qzp check without a device image: the device's state stated on the command line (the version
# record, the card's tips, trusted keys and the signature, the flash volume's room). What it
# predicts on device images is held against the installer itself by the app tests' check matrix.
source "$(dirname "$0")/kit.sh" "$1"

tree full 2.0 && "$QZP" pack full full.qzp > /dev/null
tree norecord 1.1 --patch-for undetected && "$QZP" pack norecord norecord.qzp > /dev/null
tree back 2.0 --allow-downgrade && "$QZP" pack back back.qzp > /dev/null
"$QZP" info back.qzp | grep -x 'kind:     full update, may replace a newer version (AllowDowngrade)' > /dev/null \
    || fail "info: $("$QZP" info back.qzp)"
# A name that fits 259 units alone but not below \ResidentFlash2\, where the device writes it:
# qzp pack refuses it, naming it.
tree deep 2.0 && echo x > "deep/VORIZ/$(printf 'n%.0s' $(seq 238))"
fails 1 "^qzp: deep/VORIZ/nnnn*: path too long \(over 259 units below" "$QZP" pack deep deep.qzp

# A device that trusts a key: packages signed, and signed with the signature elsewhere.
"$QZP" keygen --no-password --pubkey release.pub --key release.key > /dev/null
cp full.qzp moved.qzp && mkdir dev
for signed in full moved; do "$QZP" sign $signed.qzp --key release.key > /dev/null; done
mv moved.qzp.minisig elsewhere.minisig

# STATUS|WHAT IT PRINTS (empty: not compared)|ARGUMENTS: each option of the stated state reaches
# the decision (its rows are the decision and room tables'; --installed and --tips are the
# walk-throughs'); the room in whole units of 1 KB (two folders, three files); the trusted key and
# the signature beside the package or elsewhere.
while IFS='|' read -r want text args; do
    eval "set -- $args"
    out=$("$QZP" check "$@" 2>&1) && status=0 || status=$?
    out=${out//$'\n'/ \/ }  # a refusal's step and reason lines
    [ "$status" -eq "$want" ] && { [ -z "$text" ] || [ "$out" = "$text" ]; } ||
        fail "qzp check $args: exit $status ($out), expected $want ($text)"
done <<'TABLE'
0|patch|norecord.qzp --no-record
1|refuse: The flash volume ResidentFlash2 lacks room for this update: it needs 111 KB, 110 KB are available. /   step: room /   reason: needs 111 KB, 110 KB available|full.qzp --no-record --free-kb 110
0|full update: no question|full.qzp --no-record --pubkey release.pub
1|refuse: Invalid update File /   step: signature /   reason: no signature file, or it cannot be read|moved.qzp --no-record --pubkey release.pub
0|full update: no question|moved.qzp --no-record --pubkey release.pub --sig elsewhere.minisig
1|refuse: Update refused: version 2.0 is older than the installed version 2.10. /   step: decision /   reason: package 2.0, installed 2.10: older than the installed version|full.qzp --installed 2.10 --pubkey release.pub
2||full.qzp --device dev --pubkey release.pub
TABLE
echo "qzp_check: the stated device states agree"
