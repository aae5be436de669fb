#!/usr/bin/env bash
# Usage errors of the package commands exit 2; --help explains every option and exits 0.
# Usage: qzp_usage.sh BIN_DIR
set -euo pipefail
QZP="$(cd "$1" && pwd)/qzp"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
mkdir src
printf 'x' > src/f

fail() { echo "FAIL: $*" >&2; exit 1; }

expect_status() {  # expect_status STATUS COMMAND...
    local want="$1"; shift
    set +e
    "$@" > /dev/null 2>&1
    local status=$?
    set -e
    [ $status -eq "$want" ] || fail "$* exited $status, expected $want"
}

expect_status 2 "$QZP"
expect_status 2 "$QZP" pack src
expect_status 2 "$QZP" pack --level 10 src p.qzp
expect_status 2 "$QZP" pack --jobs 0 src p.qzp
expect_status 2 "$QZP" pack --bogus src p.qzp
expect_status 2 "$QZP" list
expect_status 2 "$QZP" verify a b
expect_status 2 "$QZP" extract p.qzp
[ ! -e p.qzp ] || fail "a usage error wrote a package"

# Limits that only the writer knows: exit 1 and one line naming OUT.
set +e
"$QZP" pack --comment '' src p.qzp 2> err.txt
status=$?
set -e
[ $status -eq 1 ] && grep -q '^qzp: p.qzp: the comment is 0 bytes' err.txt || fail "$(cat err.txt)"
long=$(printf 'c%.0s' $(seq 260))
expect_status 1 "$QZP" pack --comment "$long" src p.qzp
[ ! -e p.qzp ] || fail "a refused package was written"

for command in pack list verify extract; do
    "$QZP" "$command" --help > help.txt
    grep -q -- '--help' help.txt || fail "$command --help"
done
for option in --comment --level --jobs SRC_DIR OUT; do
    "$QZP" pack --help | grep -q -- "$option" || fail "pack --help lacks $option"
done
"$QZP" list --help | grep -q -- --json || fail "list --help lacks --json"
echo "qzp_usage: OK"
