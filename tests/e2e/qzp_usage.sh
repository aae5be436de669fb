#!/usr/bin/env bash
# Usage errors exit 2 with one line "qzp: ..." and a hint to --help; unknown commands are named;
# --help and --version (which names the zlib) exit 0.
source "$(dirname "$0")/kit.sh" "$1"
mkdir src && printf 'x' > src/f

# Every command's usage errors, CLI11's and its own: HELP|ARGUMENTS|MESSAGE, exit 2 and the one
# line "qzp: MESSAGE; see 'qzp HELP --help'", MESSAGE compared where given (an empty --patch-for
# is an unset variable, not a full update).
while IFS='|' read -r help args message; do
    eval "set -- $args"
    fails 2 "^qzp: .*; see 'qzp ${help:+$help }--help'$" "$QZP" "$@"
    [ -z "$message" ] || [ "$(cat err.txt)" = "qzp: $message; see 'qzp ${help:+$help }--help'" ] ||
        fail "qzp $args: $(cat err.txt)"
done <<'TABLE'
||a command is required
|frob src|unknown command 'frob'
ini|ini frob x.ini|unknown command 'frob'
pack|pack src|OUT is required
list|list --bogus p.qzp|the following argument was not expected: --bogus
list|list --codepage 0 p.qzp|--codepage: no code page this build converts with: 0
extract|extract $'p\n.qzp' out|FILE: the path holds a control character
manifest|manifest m --version 2.0 --patch-for ''|m: --patch-for is empty
manifest|manifest m
manifest|manifest m --version 'a;b'
manifest|manifest m --version 1 --patch-for $'\x01'
manifest|manifest m --version ''
manifest|manifest m --version $'2\e0'
pack|pack --level 10 src p.qzp
pack|pack --jobs 0 src p.qzp
pack|pack src 'p\q.qzp'
pack|pack --password-env PW src p.qzp
info|info
check|check p.qzp
list|list
verify|verify a b
verify|verify --sig s p.qzp
verify|verify --pubkey $'k\e' p.qzp
keygen|keygen --pubkey k.pub
keygen|keygen --pubkey k.pub --key k.pub --no-password
keygen|keygen --pubkey k.pub --key k.key --no-password --password-env PW
sign|sign p.qzp
sign|sign p.qzp --key k.key --trusted-comment $'two\nlines'
sign|sign p.qzp --key k.key --password-fd 0 --password-env PW
extract|extract p.qzp
diff|diff a
patch|patch a b
ini get|ini get x.ini S
ini set|ini set x.ini S K 'a;b'
ini set|ini set x.ini S K $'caf\xe9'
ini set|ini set x.ini S $'\xff' v
ini set|ini set x.ini S K $'a\x1bb'
ini set|ini set $'x\n[Evil]\ny.ini' S K v
ini dump|ini dump
TABLE
[ "$(ls)" = "$(printf 'err.txt\nsrc')" ] || fail "a usage error wrote a file: $(ls)"
"$QZP" --version | grep -Ex 'qzp [0-9.]+ \(zlib [0-9.]+\)' > /dev/null || fail "--version: $("$QZP" --version)"

# Every --json output is valid UTF-8 JSON, even for a package whose name and comment hold bytes
# that are not UTF-8 and control characters, a NUL among them (put into the catalogue after
# packing, same length), and an INI file holding a lone surrogate. The whole stored name is shown,
# escaped.
mkdir -p odd/VORIZ && "$QZP" manifest odd --version 1 > /dev/null && printf 'x' > odd/nameAAAA
"$QZP" pack --comment 'commentBBBB' odd odd.qzp > /dev/null
patch_bytes odd.qzp nameAAAA 'na\x00e\xe9\x1b\xff\n' commentBBBB 'comment\xe9\x1b\xc3\n'
python3 -c 'import sys; sys.stdout.buffer.write(b"\xff\xfe" + "[S]\r\nk = a\ud800\x1b\r\n".encode("utf-16-le", "surrogatepass"))' > odd.ini
for args in "info --json odd.qzp" "list --json odd.qzp" "check --json odd.qzp --installed 1" \
    "ini dump --json odd.ini"; do
    "$QZP" $args > out.json 2> err.txt || [ $? -eq 1 ] || fail "qzp $args: $(cat err.txt)"
    python3 -m json.tool out.json > /dev/null || fail "qzp $args: not JSON: $(cat out.json)"
done
"$QZP" list odd.qzp > list.txt
grep -qF 'na\x00e\xe9\x1b\xff\n' list.txt && ! grep -q $'\e' list.txt && [ "$(wc -l < list.txt)" -eq 3 ] ||
    fail "list: $(cat list.txt)"
"$QZP" list --json odd.qzp | python3 -c 'import json, sys
assert "na\x00e\\xe9\x1b\\xff\n" in [e["name"] for e in json.load(sys.stdin)["entries"]]' || fail "JSON name"

# A limit only the writer knows: exit 1 and one line naming OUT.
fails 1 '^qzp: p.qzp: the comment is 0 bytes' "$QZP" pack --no-manifest --comment '' src p.qzp
[ ! -e p.qzp ] || fail "a refused package was written"

# Every command's --help exits 0 ("ini set" is two words).
for command in manifest pack info check list verify extract diff patch keygen sign "ini set"; do
    "$QZP" $command --help > help.txt && grep -q -- --help help.txt || fail "$command --help"
done
echo "qzp_usage: OK"
