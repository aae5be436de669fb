#!/usr/bin/env bash
# Usage errors exit 2 with one line "qzp: ..." and a hint to --help; unknown commands are named;
# --help explains every option and --version names the zlib, both exiting 0.
# Usage: qzp_usage.sh BIN_DIR
source "$(dirname "$0")/common.bash" "$1"
mkdir src
printf 'x' > src/f

expect_status() {  # expect_status STATUS COMMAND...
    local want="$1"; shift
    local status
    "$@" > /dev/null 2>&1 && status=0 || status=$?
    [ $status -eq "$want" ] || fail "$* exited $status, expected $want"
}

expect_status 2 "$QZP"
expect_status 2 "$QZP" pack src
usage_line() {  # usage_line EXPECTED-LINE COMMAND...
    local want="$1"; shift
    local status
    "$@" > /dev/null 2> err.txt && status=0 || status=$?
    [ $status -eq 2 ] || fail "$* exited $status"
    [ "$(cat err.txt)" = "$want" ] || fail "$*: [$(cat err.txt)] should be [$want]"
}
usage_line "qzp: a command is required; see 'qzp --help'" "$QZP"
usage_line "qzp: unknown command 'frob'; see 'qzp --help'" "$QZP" frob src
usage_line "qzp: unknown command 'frob'; see 'qzp ini --help'" "$QZP" ini frob x.ini
usage_line "qzp: OUT is required; see 'qzp pack --help'" "$QZP" pack src
usage_line "qzp: the following argument was not expected: --bogus; see 'qzp list --help'" \
    "$QZP" list --bogus p.qzp
"$QZP" --version | grep -Eqx 'qzp [0-9.]+ \(zlib [0-9.]+\)' || fail "--version: $("$QZP" --version)"
expect_status 2 "$QZP" pack --level 10 src p.qzp
expect_status 2 "$QZP" pack --jobs 0 src p.qzp
expect_status 2 "$QZP" pack --bogus src p.qzp
expect_status 2 "$QZP" list
expect_status 2 "$QZP" verify a b
expect_status 2 "$QZP" extract p.qzp
[ ! -e p.qzp ] || fail "a usage error wrote a package"

# Limits that only the writer knows: exit 1 and one line naming OUT.
"$QZP" pack --no-manifest --comment '' src p.qzp 2> err.txt && status=0 || status=$?
[ $status -eq 1 ] && grep -q '^qzp: p.qzp: the comment is 0 bytes' err.txt || fail "$(cat err.txt)"
long=$(printf 'c%.0s' $(seq 260))
expect_status 1 "$QZP" pack --no-manifest --comment "$long" src p.qzp
[ ! -e p.qzp ] || fail "a refused package was written"

# Errors carry the system's reason and name the file concerned.
mkdir -p ro/VORIZ && "$QZP" manifest ro --version 1 > /dev/null
chmod 000 ro/VORIZ/INDEX.INI
if [ "$(id -u)" -ne 0 ]; then
    set +e
    "$QZP" pack ro p.qzp 2> err.txt
    set -e
    grep -q '^qzp: ro/VORIZ/INDEX.INI: .*Permission denied' err.txt || fail "reason: $(cat err.txt)"
fi
set +e
"$QZP" extract nothing.qzp out 2> err.txt
set -e
grep -qx 'qzp: nothing.qzp: no such file' err.txt || fail "missing package: $(cat err.txt)"

for command in manifest pack info check list verify extract diff patch; do
    "$QZP" "$command" --help > help.txt
    grep -q -- '--help' help.txt || fail "$command --help"
done
for option in --comment --level --jobs SRC_DIR OUT; do
    "$QZP" pack --help | grep -q -- "$option" || fail "pack --help lacks $option"
done
"$QZP" list --help | grep -q -- --json || fail "list --help lacks --json"
echo "qzp_usage: OK"
