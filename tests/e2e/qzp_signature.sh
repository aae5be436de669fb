#!/usr/bin/env bash
# qzp verify --pubkey against the real minisign: what minisign signs, qzp accepts; a package,
# signature, trusted comment or key changed by one byte is refused with status 1 and a reason;
# minisign -V accepts every signature qzp accepts. Keys are made here, never stored.
# Usage: qzp_signature.sh BIN_DIR
source "$(dirname "$0")/common.bash" "$1"

minisign -G -W -p release.pub -s release.sec > /dev/null
minisign -G -W -p other.pub -s other.sec > /dev/null
"$QZP" pack "$SRC" p.qzp > /dev/null
minisign -S -s release.sec -m p.qzp -t 'release 2.0' > /dev/null
minisign -S -l -s release.sec -m p.qzp -x legacy.minisig -t 'legacy form' > /dev/null
cat other.pub release.pub > both.pub
id=$(sed -n 's/^untrusted comment: minisign public key //p' release.pub)

accepts() {  # accepts PUBKEY SIG COMMENT
    "$QZP" verify --pubkey "$1" --sig "$2" p.qzp > out.txt || fail "qzp refused $2 with $1"
    grep -qx "p.qzp: signed by key $id, trusted comment: $3" out.txt || fail "$(cat out.txt)"
    minisign -V -q -p release.pub -x "$2" -m p.qzp || fail "minisign -V refused $2"
}
accepts release.pub p.qzp.minisig 'release 2.0'
accepts both.pub p.qzp.minisig 'release 2.0'
accepts release.pub legacy.minisig 'legacy form'
"$QZP" verify --pubkey release.pub p.qzp > /dev/null || fail "FILE.minisig is the default"

# flip FILE OFFSET: one byte changed; a base64 digit (+ and / included) becomes another one, so
# the text still decodes.
flip() {
    python3 - "$1" "$2" <<'PY'
import sys
path, at = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, 'rb').read())
c = data[at]
data[at] = (ord('A') if c != ord('A') else ord('B')) if chr(c).isalnum() or chr(c) in '+/' else c ^ 1
open(path, 'wb').write(bytes(data))
PY
}
offset() {  # offset FILE LINE COLUMN: byte offset of a column of a line (1-based line)
    python3 -c 'import sys; t=open(sys.argv[1],"rb").read().split(b"\n"); print(sum(len(l)+1 for l in t[:int(sys.argv[2])-1])+int(sys.argv[3]))' "$@"
}

refuses() {  # refuses WHAT PUBKEY SIG PACKAGE REASON
    local status
    "$QZP" verify --pubkey "$2" --sig "$3" "$4" > /dev/null 2> err.txt && status=0 || status=$?
    [ $status -eq 1 ] || fail "$1: status $status"
    grep -q "$5" err.txt || fail "$1: $(cat err.txt)"
    if minisign -V -q -p "$2" -x "$3" -m "$4" 2> /dev/null; then
        fail "$1: minisign -V accepts what qzp refuses"
    fi
}

cp p.qzp changed.qzp; flip changed.qzp 5000
refuses "package" release.pub p.qzp.minisig changed.qzp "signature does not match the file"
cp p.qzp.minisig s.minisig; flip s.minisig "$(offset s.minisig 2 60)"
refuses "signature" release.pub s.minisig p.qzp "trusted comment does not match"
cp p.qzp.minisig t.minisig; flip t.minisig "$(offset t.minisig 3 20)"
refuses "trusted comment" release.pub t.minisig p.qzp "trusted comment does not match"
cp release.pub k.pub; flip k.pub "$(offset k.pub 2 30)"
refuses "key" k.pub p.qzp.minisig p.qzp "trusted comment does not match"
refuses "another key" other.pub p.qzp.minisig p.qzp "not trusted"
# A trusted comment is outside text: verify and info print it escaped, the same way.
cp p.qzp e.qzp
minisign -S -s release.sec -m e.qzp -t $'evil\e[2J\xc2\x85\a' > /dev/null
"$QZP" verify --pubkey release.pub e.qzp > out.txt || fail "escaped comment: $(cat out.txt)"
grep -qxF "e.qzp: signed by key $id, trusted comment: evil\x1b[2J\xc2\x85\x07" out.txt \
    || fail "verify: $(cat out.txt)"
"$QZP" info e.qzp | grep -qxF "signature: key $id, trusted comment: evil\x1b[2J\xc2\x85\x07" \
    || fail "info: $("$QZP" info e.qzp)"
: > empty.pub
set +e
"$QZP" verify --pubkey empty.pub p.qzp 2> err.txt; status=$?
set -e
[ $status -eq 1 ] && grep -q '^qzp: empty.pub: the key file holds no key' err.txt || fail "$(cat err.txt)"
rm p.qzp.minisig
set +e
"$QZP" verify --pubkey release.pub p.qzp 2> err.txt; status=$?
set -e
[ $status -eq 1 ] && grep -q '^qzp: p.qzp.minisig: no signature file' err.txt || fail "$(cat err.txt)"
echo "qzp_signature: OK"
