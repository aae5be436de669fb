#!/usr/bin/env bash
# Runs the walk-throughs of README.md and docs/updates.md: every `$ ` line of the block between
# <!-- walkthrough --> and <!-- /walkthrough --> in a scratch folder of its own, with the programs
# of BIN_DIR first on the PATH, and compares what each prints with the lines shown under it. The
# signing time is fixed (SOURCE_DATE_EPOCH) and the random id of a key qzp keygen makes is
# written as the one shown. BIN_DIR may hold stand-ins that run other builds of the programs.
source "$(dirname "$0")/kit.sh" "$1"
ROOT="$(dirname "$SRC")"
export PATH="$BIN:$PATH"
export SOURCE_DATE_EPOCH=1796644800  # 2026-12-07 12:00:00 UTC

commands=0
run() {  # run COMMAND: what it prints must be expected.txt
    commands=$((commands + 1))
    bash -c "$1" > actual.txt 2>&1 || true
    if [[ $1 == *'qzp keygen'* ]]; then
        shown=$(grep -om1 'key id [0-9A-F]*' expected.txt | cut -d' ' -f3)
        made=$(grep -om1 'key id [0-9A-F]*' actual.txt | cut -d' ' -f3) || true
    fi
    [ -z "${made:-}" ] || sed -i "s/$made/$shown/g" actual.txt
    cmp -s expected.txt actual.txt || { diff expected.txt actual.txt || :; fail "$doc: \$ $1"; }
}

for doc in README.md docs/updates.md; do
    mkdir "$WORK/${doc//\//_}" && cd "$WORK/${doc//\//_}"
    sed -n '/^<!-- walkthrough -->$/,/^<!-- \/walkthrough -->$/{/^<!--\|^```/!p}' "$ROOT/$doc" > block.txt
    [ "$(grep -c '^\$ ' block.txt)" -ge 10 ] || fail "no walk-through in $doc"
    made="" command=""
    while IFS= read -r line; do
        if [[ $line == '$ '* ]]; then
            [ -z "$command" ] || run "$command"
            command=${line#\$ }
            : > expected.txt
        else
            printf '%s\n' "$line" >> expected.txt
        fi
    done < block.txt
    run "$command"
done
echo "walkthroughs: $commands commands OK"
