#!/usr/bin/env bash
# qzpupdate's command line, and its terminal UI at the end of its input.
source "$(dirname "$0")/kit.sh" "$1"

"$BIN/qzpupdate" --help > /dev/null || fail "--help"
"$BIN/qzpupdate" --version | grep -Eqx 'qzpupdate [0-9.]+ \(zlib [0-9.]+\)' || fail "--version"

# Usage errors are status 2 and change nothing.
for bad in "--ui window" "--answer maybe" "--time-scale -1" "--time-scale 1001" "--no-such-option"; do
    "$BIN/qzpupdate" --device "$WORK/none" $bad > /dev/null 2>&1 && status=0 || status=$?
    [ "$status" -eq 2 ] || fail "'$bad' gave status $status, expected 2"
done
fails 2 "^qzpupdate: the following argument was not expected: -x; see 'qzpupdate --help'\$" \
    "$BIN/qzpupdate" -x
# Not a device image (missing, a file, a folder without SDMMC/ and ResidentFlash2/): one line,
# status 2, and nothing is created in it.
mkdir plain && touch file
for bad in none file plain; do
    fails 2 "^qzpupdate: $bad: not a device image" "$BIN/qzpupdate" --device $bad --ui headless
done
[ -z "$(ls -A plain)" ] || fail "qzpupdate wrote into a folder that is no device image"

# No package on the card: nothing is shown, status 0.
device empty
fails 2 "$WORK/no/events.jsonl: No such file or directory" \
    "$BIN/qzpupdate" --device empty --events "$WORK/no/events.jsonl"
out="$("$BIN/qzpupdate" --device empty --ui headless --time-scale 0)"
[ -z "$out" ] || fail "no package printed: $out"

# The terminal UI at the end of its input: Escape at the confirmation (nothing changes), Enter
# at a message box; it never waits for a key that cannot come.
device term 1.0 && tree src 2.0 && "$QZP" pack src term/SDMMC/VORIZ.QZP > /dev/null
cp -r term/ResidentFlash2 before
# (time scale 1: the confirmation's own 5-second timer must not answer first)
timeout 30 "$BIN/qzpupdate" --device term --ui terminal --time-scale 1 </dev/null >term.txt \
    || fail "the terminal UI did not end at the end of input (status $?)"
grep -q 'Checking the package: 100%' term.txt || fail "the check before the question showed no share"
diff -r before term/ResidentFlash2 || fail "the confirmation was not cancelled at the end of input"
echo "not a package" > term/SDMMC/VORIZ.QZP
timeout 30 "$BIN/qzpupdate" --device term --ui terminal --time-scale 0 </dev/null >/dev/null \
    || fail "a message box waited at the end of input (status $?)"
echo "qzpupdate_cli: ok"
