#!/usr/bin/env bash
# qzp verify, sign and keygen against the real minisign, both ways, with and without password,
# and the refusals only the commands word: one line, status 1. Keys are made here, never stored;
# passwords come from a variable or a descriptor, never a terminal.
source "$(dirname "$0")/kit.sh" "$1"

for pair in release other; do minisign -G -W -p $pair.pub -s $pair.sec > /dev/null; done
"$QZP" pack "$SRC" p.qzp > /dev/null
minisign -S -s release.sec -m p.qzp -t 'release 2.0' > /dev/null
minisign -S -l -s release.sec -m p.qzp -x legacy.minisig -t 'legacy form' > /dev/null
id=$(key_id release.pub)
"$QZP" verify --pubkey release.pub p.qzp > /dev/null || fail "FILE.minisig is the default"

# A changed package, and a key that is not trusted: refused in one line, as minisign -V does.
# Which change of signature, comment or key is refused as what is the signature tests' table.
cp p.qzp changed.qzp; flip changed.qzp 5000
for row in "release.pub changed.qzp|signature does not match the file" "other.pub p.qzp|not trusted"; do
    read -r pub file <<< "${row%%|*}"
    fails 1 "${row#*|}" "$QZP" verify --pubkey "$pub" --sig p.qzp.minisig "$file"
    ! minisign -V -q -p "$pub" -x p.qzp.minisig -m "$file" 2> /dev/null || fail "minisign -V: $row"
done
# A trusted comment is outside text: verify (in the table below) and info print it escaped.
cp p.qzp e.qzp
minisign -S -s release.sec -m e.qzp -t $'evil\e[2J\xc2\x85\a' > /dev/null
"$QZP" info e.qzp | grep -xF "signature: key $id, trusted comment: evil\x1b[2J\xc2\x85\x07" > /dev/null \
    || fail "info: $("$QZP" info e.qzp)"

# qzp keygen: an encrypted and an unencrypted pair; the secret key is its owner's alone and never
# replaced without --force. What keygen and sign print is held by the walk-throughs.
export QZP_PW='pass phrase'
"$QZP" keygen --pubkey q.pub --key q.key --password-env QZP_PW > /dev/null
[ "$(stat -c %a q.key)" = 600 ] || fail "q.key has mode $(stat -c %a q.key)"
"$QZP" keygen --pubkey n.pub --key n.key --no-password > /dev/null
cp n.key n.before
fails 1 '^qzp: n.key: exists; give --force to replace the key pair$' \
    "$QZP" keygen --pubkey x.pub --key n.key --no-password
cmp -s n.key n.before && [ ! -e x.pub ] || fail "a refused keygen wrote something"
"$QZP" keygen --pubkey n.pub --key n.key --no-password --force > /dev/null
# --force replaces both files or neither: the public key's write (the second) fails.
cp n.key n.before && cp n.pub n.pub.before
QZP_FAULT_FAIL_AT_WRITE=2 fails 1 '^qzp: n.pub: cannot write' "$QZP" keygen --pubkey n.pub --key n.key --no-password --force
cmp -s n.key n.before && cmp -s n.pub n.pub.before || fail "keygen --force replaced one key of the pair"
# A password over minisign's limit is refused as such, never as unreadable.
fails 1 '^qzp: l.key: the password is longer than 1024 bytes$' \
    "$QZP" keygen --pubkey l.pub --key l.key --password-fd 3 3< <(printf 'x%.0s' $(seq 1025))
printf 'pass phrase\npass phrase\n' | minisign -G -p m.pub -s m.key > /dev/null

# Both ways: qzp's keys sign with minisign -S, minisign's keys with qzp sign (its password from a
# variable or descriptor 3) and pack --sign.
echo 'pass phrase' | minisign -S -s q.key -m p.qzp -x q.minisig > /dev/null
minisign -S -s n.key -m p.qzp -x n.minisig > /dev/null
cp p.qzp m.qzp; "$QZP" sign m.qzp --key m.key --password-fd 3 3< <(echo 'pass phrase') > /dev/null
cp p.qzp r.qzp; "$QZP" sign r.qzp --key release.sec > /dev/null
"$QZP" pack --sign n.key "$SRC" s.qzp > /dev/null
# Every signature holds for qzp verify, which shows the trusted comment where given, and for
# minisign -V: PUBKEY SIGNATURE FILE [COMMENT].
while read -r pub sig file comment; do
    "$QZP" verify --pubkey "$pub" --sig "$sig" "$file" > out.txt || fail "qzp verify: $sig"
    [ -z "$comment" ] || grep -qxF "$file: signed by key $id, trusted comment: $comment" out.txt ||
        fail "$sig: $(cat out.txt)"
    minisign -V -q -p "$pub" -x "$sig" -m "$file" || fail "minisign -V: $sig"
done <<'TABLE'
release.pub p.qzp.minisig p.qzp release 2.0
release.pub legacy.minisig p.qzp legacy form
release.pub e.qzp.minisig e.qzp evil\x1b[2J\xc2\x85\x07
q.pub q.minisig p.qzp
n.pub n.minisig p.qzp
m.pub m.qzp.minisig m.qzp
release.pub r.qzp.minisig r.qzp
n.pub s.qzp.minisig s.qzp
TABLE
# A signature of another version: pack over the package removes it, saying so; left there
# anyway, verify without a key refuses it and info warns of it.
cp s.qzp.minisig stale.minisig && tree v9 9.0
"$QZP" pack v9 s.qzp 2>&1 > /dev/null | grep '^qzp: warning: s.qzp.minisig: removed' > /dev/null &&
    [ ! -e s.qzp.minisig ] && cp stale.minisig s.qzp.minisig || fail "pack kept s.qzp.minisig"
fails 1 '^qzp: s.qzp.minisig: signed another package: .* names version 2.0, full update, this package is version 9.0' "$QZP" verify s.qzp
"$QZP" info s.qzp 2>&1 > /dev/null | grep 'signed another package' > /dev/null || fail "info: stale signature"

# Refusals, one line each and status 1: the wrong password, a damaged key (its secret part
# changed), a public key or a signature given as the key, a package verify refuses; an empty key
# file, no signature file.
cp n.key d.key; flip d.key $(($(head -1 d.key | wc -c) + 120))  # in the key's second line
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
: > empty.pub
fails 1 '^qzp: empty.pub: the key file holds no key' "$QZP" verify --pubkey empty.pub p.qzp
fails 1 '^qzp: t.qzp.minisig: no signature file' "$QZP" verify --pubkey release.pub t.qzp
# pack --sign unlocks the key first: a wrong password leaves no unsigned package behind.
QZP_PW=wrong fails 1 "" "$QZP" pack --sign q.key --password-env QZP_PW "$SRC" w.qzp
[ ! -e w.qzp ] || fail "pack --sign wrote a package it could not sign"
echo "qzp_signature: OK"
