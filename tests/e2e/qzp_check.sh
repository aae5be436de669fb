#!/usr/bin/env bash
# qzp check against the host installer: for each package and device state of the table, what
# qzp check predicts must be what qzpupdate does on that device image (judged from its events).
# Usage: qzp_check.sh BIN_DIR
source "$(dirname "$0")/common.bash" "$1"

# Packages: full 2.0, patch for 1.0, patch for a device without a record, one without a
# manifest, IsPatch = yes, a damaged one, a patch for "Ab.1" (any case), a patch whose file a
# folder occupies on the device.
tree() {  # tree DIR VERSION [PATCH-FOR]
    mkdir -p "$1/VORIZ/Maps" && seq 1 20000 > "$1/VORIZ/Maps/region.dat" && echo "$1" > "$1/VORIZ/app.txt"
    if [ -n "${3:-}" ]; then "$QZP" manifest "$1" --version "$2" --patch-for "$3" > /dev/null
    else "$QZP" manifest "$1" --version "$2" > /dev/null; fi
}
tree full 2.0 && "$QZP" pack full full.qzp > /dev/null
tree patch 1.1 1.0 && "$QZP" pack patch patch.qzp > /dev/null
tree norecord 1.1 undetected && "$QZP" pack norecord norecord.qzp > /dev/null
tree anycase 1.1 Ab.1 && "$QZP" pack anycase anycase.qzp > /dev/null
tree nomanifest 2.0 && rm nomanifest/VORIZ/INDEX.INI && "$QZP" pack --no-manifest nomanifest nomanifest.qzp > /dev/null
tree yes 2.0 && "$QZP" ini set yes/VORIZ/INDEX.INI UpdateInfo IsPatch yes && "$QZP" pack --no-manifest yes yes.qzp > /dev/null
python3 - full.qzp damaged.qzp <<'PY'
import sys
b = bytearray(open(sys.argv[1], "rb").read())
b[len(b) // 3] ^= 0xFF  # inside the compressed data of region.dat
open(sys.argv[2], "wb").write(b)
PY

# device NAME RECORD-VERSION|none|empty TIPS|none [occupied]
device() {
    rm -rf "$1" && mkdir -p "$1/SDMMC" "$1/ResidentFlash2/VORIZ"
    echo "installed" > "$1/ResidentFlash2/VORIZ/old.txt"
    case "$2" in
        none) ;;
        empty) "$QZP" ini set "$1/ResidentFlash2/VORIZ/index.ini" Config Other 1 ;;
        *) "$QZP" ini set "$1/ResidentFlash2/VORIZ/index.ini" Config SoftwareVersion "$2" ;;
    esac
    [ "$3" = none ] || "$QZP" ini set "$1/SDMMC/kvupdate.ini" Config IsShowUpdateTips "$3"
    [ -z "${4:-}" ] || mkdir -p "$1/ResidentFlash2/VORIZ/app.txt/inside"
}

outcome_of_run() {  # the installer's outcome as JSON, from its events
    python3 - "$1" <<'PY'
import json, sys
events = [json.loads(l) for l in open(sys.argv[1])]
kinds = [e["event"] for e in events]
stops = [e for e in events if e["event"] == "messagebox" and e.get("icon") == "stop"]
if "decode_done" not in kinds and stops:
    print(json.dumps({"outcome": "refuse", "message": stops[0]["text"]}))
elif "confirm" in kinds:
    print(json.dumps({"outcome": "full-asks", "message": ""}))
elif "purge" in kinds:
    print(json.dumps({"outcome": "full-no-question", "message": ""}))
elif "decode_done" in kinds:
    print(json.dumps({"outcome": "patch", "message": ""}))
else:
    print(json.dumps({"outcome": "nothing", "message": ""}))
PY
}

rows=0
while IFS='|' read -r package record tips occupied expected; do
    [ -n "$package" ] || continue
    rows=$((rows + 1))
    device dev "$record" "$tips" "$occupied"
    cp "$package" dev/SDMMC/VORIZ.QZP
    "$QZP" check --json "$package" --device dev > predicted.json && status=0 || status=$?
    "$BIN/qzpupdate" --device dev --ui headless --answer ok --time-scale 0 --events events.jsonl > /dev/null
    outcome_of_run events.jsonl > actual.json
    python3 - predicted.json actual.json "$expected" "$status" <<'PY' || fail "row $rows: $package, record $record, tips $tips $occupied"
import json, sys
p, a = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
expected, status = sys.argv[3], int(sys.argv[4])
assert (p["outcome"], p["message"]) == (a["outcome"], a["message"]), (p, a)
assert p["outcome"] == expected, (p, expected)
assert status == (1 if expected == "refuse" else 0), status
PY
    rm -f events.jsonl
done <<'TABLE'
full.qzp|none|none||full-no-question
full.qzp|1.0|none||full-asks
full.qzp|1.0|0||full-no-question
full.qzp|1.0|1||full-asks
full.qzp|empty|none||full-asks
patch.qzp|1.0|none||patch
patch.qzp|2.0|none||refuse
patch.qzp|none|none||refuse
norecord.qzp|none|none||patch
norecord.qzp|empty|none||patch
anycase.qzp|aB.1|none||patch
nomanifest.qzp|1.0|none||full-asks
yes.qzp|1.0|0||full-no-question
damaged.qzp|none|none||refuse
patch.qzp|1.0|none|occupied|refuse
TABLE
[ "$rows" -ge 12 ] || fail "only $rows states"

# Without a device image: the state from the command line.
"$QZP" check patch.qzp --installed 2.0 > out.txt && fail "a refusal exited 0"
[ "$(cat out.txt)" = 'refuse: This Patch only for version:1.0\n Update fail!' ] || fail "$(cat out.txt)"
[ "$("$QZP" check full.qzp --installed 1.0)" = "full update: asks first" ] || fail "asks"
[ "$("$QZP" check full.qzp --installed 1.0 --tips 0)" = "full update: no question" ] || fail "tips 0"
[ "$("$QZP" check norecord.qzp --no-record)" = "patch" ] || fail "no record"
"$QZP" check full.qzp > /dev/null 2>&1 && status=0 || status=$?
[ $status -eq 2 ] || fail "no device state: exit $status"
echo "qzp_check: $rows states agree with qzpupdate"
