#!/usr/bin/env bash
# qzp verify --pubkey against the real minisign: what minisign signs, qzp accepts; a package,
# signature, trusted comment or key changed by one byte is refused with status 1 and a reason;
# minisign -V accepts every signature qzp accepts; keys from qzp keygen sign with minisign -S and
# signatures from qzp sign verify with minisign -V, and the reverse, with and without password; a
# wrong password, a damaged key or a key of the wrong kind is refused in one line. Keys are made
# here, never stored; passwords come from a variable or a descriptor, never a terminal.
# Usage: qzp_signature.sh BIN_DIR
source "$(dirname "$0")/kit.sh" "$1"

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

offset() {  # offset FILE LINE COLUMN: byte offset of a column of a line (1-based line)
    python3 -c 'import sys; t=open(sys.argv[1],"rb").read().split(b"\n"); print(sum(len(l)+1 for l in t[:int(sys.argv[2])-1])+int(sys.argv[3]))' "$@"
}

refuses() {  # refuses WHAT PUBKEY SIG PACKAGE REASON
    fails 1 "$5" "$QZP" verify --pubkey "$2" --sig "$3" "$4"
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
fails 1 '^qzp: empty.pub: the key file holds no key' "$QZP" verify --pubkey empty.pub p.qzp
rm p.qzp.minisig
fails 1 '^qzp: p.qzp.minisig: no signature file' "$QZP" verify --pubkey release.pub p.qzp

# qzp keygen: an encrypted and an unencrypted pair; the secret key is its owner's alone and never
# replaced without --force.
export QZP_PW='pass phrase'
"$QZP" keygen --pubkey q.pub --key q.key --password-env QZP_PW > out.txt
qid=$(sed -n 's/^q.pub: public key, key id //p' out.txt)
grep -qx "q.key: secret key, key id $qid" out.txt || fail "keygen: $(cat out.txt)"
[ "$(stat -c %a q.key)" = 600 ] || fail "q.key has mode $(stat -c %a q.key)"
"$QZP" keygen --pubkey n.pub --key n.key --no-password > /dev/null
cp n.key n.before
if "$QZP" keygen --pubkey x.pub --key n.key --no-password 2> err.txt; then fail "n.key replaced"; fi
grep -qx 'qzp: n.key: exists; give --force to replace the key pair' err.txt || fail "$(cat err.txt)"
cmp -s n.key n.before && [ ! -e x.pub ] || fail "a refused keygen wrote something"
"$QZP" keygen --pubkey n.pub --key n.key --no-password --force > /dev/null
# A password over minisign's limit is refused as such, never as unreadable.
"$QZP" keygen --pubkey l.pub --key l.key --password-fd 3 3< <(printf 'x%.0s' $(seq 1025)) 2> err.txt &&
    fail "keygen took a password of 1025 bytes"
grep -qx 'qzp: l.key: the password is longer than 1024 bytes' err.txt || fail "$(cat err.txt)"
printf 'pass phrase\npass phrase\n' | minisign -G -p m.pub -s m.key > /dev/null

# Both ways: qzp's keys sign with minisign -S, minisign's keys with qzp sign (its password from a
# variable or descriptor 3); every signature holds for qzp verify and minisign -V.
echo 'pass phrase' | minisign -S -s q.key -m p.qzp -x q.minisig > /dev/null
minisign -S -s n.key -m p.qzp -x n.minisig > /dev/null
cp p.qzp m.qzp; "$QZP" sign m.qzp --key m.key --password-fd 3 3< <(echo 'pass phrase') > /dev/null
cp p.qzp r.qzp; SOURCE_DATE_EPOCH=0 "$QZP" sign r.qzp --key release.sec > out.txt
comment='r.qzp, version 2.0, full update, signed 1970-01-01 00:00:00 UTC'
grep -qxF "r.qzp.minisig: signed with key $id, trusted comment: $comment" out.txt ||
    fail "default trusted comment: $(cat out.txt)"
"$QZP" pack --sign n.key "$SRC" s.qzp > /dev/null
for row in "q.pub q.minisig p.qzp" "n.pub n.minisig p.qzp" "m.pub m.qzp.minisig m.qzp" \
    "release.pub r.qzp.minisig r.qzp" "n.pub s.qzp.minisig s.qzp"; do
    read -r pub sig file <<< "$row"
    "$QZP" verify --pubkey "$pub" --sig "$sig" "$file" > /dev/null || fail "qzp verify: $row"
    minisign -V -q -p "$pub" -x "$sig" -m "$file" || fail "minisign -V: $row"
done

# Refusals, one line each and status 1: the wrong password, a damaged key (its secret part
# changed), a public key or a signature given as the key, a package verify refuses.
cp n.key d.key; flip d.key "$(offset d.key 2 120)"
for row in "q.key p.qzp|wrong password, or the secret key file is damaged" \
    "d.key p.qzp|the secret key file is damaged" \
    "n.pub p.qzp|this is a public key; sign with the secret key of the pair" \
    "q.minisig p.qzp|not a minisign secret key file" \
    "n.key changed.qzp|"; do
    read -r key file <<< "${row%%|*}"
    cp "$file" t.qzp; rm -f t.qzp.minisig
    QZP_PW=wrong fails 1 "^qzp: .*: ${row#*|}" "$QZP" sign t.qzp --key "$key" --password-env QZP_PW
    [ ! -e t.qzp.minisig ] || fail "$row: signed"
done
# pack --sign unlocks the key first: a wrong password leaves no unsigned package behind.
QZP_PW=wrong "$QZP" pack --sign q.key --password-env QZP_PW "$SRC" w.qzp > /dev/null 2>&1 &&
    fail "pack --sign with a wrong password"
[ ! -e w.qzp ] || fail "pack --sign wrote a package it could not sign"
echo "qzp_signature: OK"
