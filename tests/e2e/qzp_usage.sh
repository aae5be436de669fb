#!/usr/bin/env bash
# Usage errors exit 2 with one line "qzp: ..." and a hint to --help; unknown commands are named;
# --help explains every option and --version names the zlib, both exiting 0.
# Usage: qzp_usage.sh BIN_DIR
source "$(dirname "$0")/kit.sh" "$1"
mkdir src
printf 'x' > src/f

usage_line() {  # usage_line EXPECTED-LINE COMMAND...
    local want="$1"
    shift
    fails 2 "" "$@"
    [ "$(cat err.txt)" = "$want" ] || fail "$*: [$(cat err.txt)] should be [$want]"
}
usage_line "qzp: a command is required; see 'qzp --help'" "$QZP"
usage_line "qzp: unknown command 'frob'; see 'qzp --help'" "$QZP" frob src
usage_line "qzp: unknown command 'frob'; see 'qzp ini --help'" "$QZP" ini frob x.ini
usage_line "qzp: OUT is required; see 'qzp pack --help'" "$QZP" pack src
usage_line "qzp: the following argument was not expected: --bogus; see 'qzp list --help'" \
    "$QZP" list --bogus p.qzp
usage_line "qzp: FILE: the path holds a control character; see 'qzp extract --help'" \
    "$QZP" extract $'p\n.qzp' out
usage_line "qzp: m: --patch-for is empty; see 'qzp manifest --help'" \
    "$QZP" manifest m --version 2.0 --patch-for ''  # an unset variable: not a full update

# Every command's usage errors, CLI11's and its own: exit 2, one line naming the command's help.
while IFS='|' read -r help args; do
    eval "set -- $args"
    fails 2 "^qzp: .*; see 'qzp $help --help'$" "$QZP" "$@"
done <<'TABLE'
manifest|manifest m
manifest|manifest m --version 'a;b'
manifest|manifest m --version 1 --patch-for $'\x01'
manifest|manifest m --version ''
manifest|manifest m --version 2.0 --patch-for ''
manifest|manifest m --version $'2\e0'
manifest|manifest m --version $'2.0\xc2\x85'
pack|pack --level 10 src p.qzp
pack|pack --jobs 0 src p.qzp
pack|pack --bogus src p.qzp
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
ini set|ini set x.ini S K ''
ini set|ini set x.ini S 'a=b' v
ini set|ini set x.ini 'a#b' K v
ini dump|ini dump
TABLE
[ ! -e p.qzp ] && [ ! -e m ] && [ ! -e x.ini ] && [ ! -e k.pub ] && [ ! -e k.key ] ||
    fail "a usage error wrote a file"
"$QZP" --version | grep -Eqx 'qzp [0-9.]+ \(zlib [0-9.]+\)' || fail "--version: $("$QZP" --version)"

# Every --json output is valid UTF-8 JSON, even for a package whose name and comment hold bytes
# that are not UTF-8 and control characters, a NUL among them (put into the catalogue after
# packing, same length), and an INI file holding a lone surrogate. The whole stored name is shown,
# escaped, and a name holding a NUL is refused by verify.
mkdir -p odd/VORIZ && "$QZP" manifest odd --version 1 > /dev/null && printf 'x' > odd/nameAAAA
"$QZP" pack --comment 'commentBBBB' odd odd.qzp > /dev/null
patch_bytes odd.qzp nameAAAA 'na\x00e\xe9\x1b\xff\n' commentBBBB 'comment\xe9\x1b\xc3\n'
python3 -c 'import sys; sys.stdout.buffer.write(b"\xff\xfe" + "[S]\r\nk = a\ud800\x1b\r\n".encode("utf-16-le", "surrogatepass"))' > odd.ini
while IFS='|' read -r args; do
    eval "set -- $args"
    "$QZP" "$@" > out.json 2> err.txt || [ $? -eq 1 ] || fail "qzp $args: $(cat err.txt)"
    python3 -c 'import json,sys; json.loads(open(sys.argv[1], "rb").read().decode("utf-8"))' out.json \
        || fail "qzp $args: not JSON: $(cat out.json)"
done <<'TABLE'
info --json odd.qzp
list --json odd.qzp
check --json odd.qzp --installed 1
ini dump --json odd.ini
TABLE
"$QZP" list odd.qzp > list.txt
grep -qF 'na\x00e\xe9\x1b\xff\n' list.txt && ! grep -q $'\e' list.txt && [ "$(wc -l < list.txt)" -eq 3 ] ||
    fail "list: $(cat list.txt)"
"$QZP" list --json odd.qzp | python3 -c 'import json, sys
assert "na\x00e\\xe9\x1b\\xff\n" in [e["name"] for e in json.load(sys.stdin)["entries"]]' || fail "JSON name"
"$QZP" verify odd.qzp > /dev/null 2>&1 && fail "verify accepted a name holding a NUL"

# Limits that only the writer knows: exit 1 and one line naming OUT.
fails 1 '^qzp: p.qzp: the comment is 0 bytes' "$QZP" pack --no-manifest --comment '' src p.qzp
fails 1 '^qzp: p.qzp: ' "$QZP" pack --no-manifest --comment "$(printf 'c%.0s' $(seq 260))" src p.qzp
[ ! -e p.qzp ] || fail "a refused package was written"

# Errors carry the system's reason and name the file concerned.
mkdir -p ro/VORIZ && "$QZP" manifest ro --version 1 > /dev/null
chmod 000 ro/VORIZ/INDEX.INI
if [ "$(id -u)" -ne 0 ]; then
    fails 1 '^qzp: ro/VORIZ/INDEX.INI: .*Permission denied' "$QZP" pack ro p.qzp
fi

for command in manifest pack info check list verify extract diff patch keygen sign; do
    "$QZP" "$command" --help > help.txt
    grep -q -- '--help' help.txt || fail "$command --help"
done
for option in --comment --level --jobs SRC_DIR OUT; do
    "$QZP" pack --help | grep -q -- "$option" || fail "pack --help lacks $option"
done
"$QZP" list --help | grep -q -- --json || fail "list --help lacks --json"
echo "qzp_usage: OK"
