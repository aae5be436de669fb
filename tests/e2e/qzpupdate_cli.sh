#!/usr/bin/env bash
# qzpupdate's command line, and one update of a device image made with the qzp tool alone.
# Usage: qzpupdate_cli.sh BIN_DIR
source "$(dirname "$0")/kit.sh" "$1"

# --help names every option.
help="$("$BIN/qzpupdate" --help)"
for option in --device --ui --answer --time-scale --events; do
    grep -q -- "$option" <<<"$help" || fail "--help does not mention $option"
done

# --version: the program's version and the zlib it runs with.
"$BIN/qzpupdate" --version | grep -Eqx 'qzpupdate [0-9.]+ \(zlib [0-9.]+\)' || fail "--version"

# Usage errors are status 2 and change nothing.
for bad in "--ui window" "--answer maybe" "--time-scale -1" "--time-scale 1001" \
    "--no-such-option" "--events $WORK/no/such/dir/events.jsonl"; do
    status=0
    # shellcheck disable=SC2086
    "$BIN/qzpupdate" --device "$WORK/none" $bad >/dev/null 2>&1 || status=$?
    [ "$status" -eq 2 ] || fail "'$bad' gave status $status, expected 2"
done

status=0
err="$("$BIN/qzpupdate" --device "$WORK/none" --events "$WORK/no/events.jsonl" 2>&1)" || status=$?
[ "$(wc -l <<<"$err")" -eq 1 ] && grep -q "$WORK/no/events.jsonl: No such file or directory" \
    <<<"$err" || fail "an events file that cannot be opened: '$err'"

# No package on the card: nothing is shown, status 0.
device empty
out="$("$BIN/qzpupdate" --device empty --ui headless --time-scale 0)"
[ -z "$out" ] || fail "no package printed: $out"

# A device image made with qzp: version 1.0 installed, a 2.0 package on the card.
device dev 1.0 && mkdir -p src/VORIZ/Maps
echo "old" > dev/ResidentFlash2/VORIZ/old.txt
"$BIN/qzp" ini set src/VORIZ/INDEX.INI Config SoftwareVersion 2.0 >/dev/null
seq 1 30000 > src/VORIZ/Maps/region.dat
echo "new" > src/VORIZ/new.txt
"$BIN/qzp" pack src dev/SDMMC/VORIZ.QZP >/dev/null
install dev --events events.jsonl
grep -qx '\[Setup Completely\] Please remove SDMMC card.\\nClick OK to restart!' out.txt \
    || fail "no completion message: $(cat out.txt)"
grep -q '"event":"decode_done","result":1' events.jsonl || fail "no successful decode_done"
[ ! -e dev/ResidentFlash2/VORIZ/old.txt ] || fail "the full package did not purge old.txt"
diff -r src dev/ResidentFlash2 >/dev/null || fail "flash volume differs from the packed tree"
[ "$("$BIN/qzp" ini get dev/ResidentFlash2/VORIZ/INDEX.INI Config SoftwareVersion)" = "2.0" ] \
    || fail "installed version record is not 2.0"
# The terminal UI at the end of its input: Escape at the confirmation (nothing changes), Enter
# at a message box; it never waits for a key that cannot come.
cp -r dev term
"$BIN/qzp" ini set term/ResidentFlash2/VORIZ/index.ini Config SoftwareVersion 1.0 >/dev/null
before="$(find term/ResidentFlash2 -type f -exec md5sum {} + | sort)"
# (time scale 1: the confirmation's own 5-second timer must not answer first)
timeout 30 "$BIN/qzpupdate" --device term --ui terminal --time-scale 1 </dev/null >/dev/null \
    || fail "the terminal UI did not end at the end of input (status $?)"
[ "$before" = "$(find term/ResidentFlash2 -type f -exec md5sum {} + | sort)" ] \
    || fail "the confirmation was not cancelled at the end of input"
echo "not a package" > term/SDMMC/VORIZ.QZP
timeout 30 "$BIN/qzpupdate" --device term --ui terminal --time-scale 0 </dev/null >/dev/null \
    || fail "a message box waited at the end of input (status $?)"
echo "qzpupdate_cli: ok"
