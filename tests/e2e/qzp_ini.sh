#!/usr/bin/env bash
# qzp ini through the real binary: set, get and dump --json round trips with non-ASCII text, the
# saved bytes, and the exit statuses 1 (bad file, absent key, failed save) and 2 (usage).
# Usage errors of qzp ini are rows of qzp_usage.sh.
source "$(dirname "$0")/kit.sh" "$1"
qzp=$QZP
check() { [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"; }  # check NAME EXPECTED ACTUAL
hex() { od -An -tx1 -v | tr -d ' \n'; }
status() { "$@" > /dev/null 2>&1 && echo 0 || echo $?; }

# A new file: the mark, a comment naming the file alone (nothing of the host's folders), the
# default section's empty line, then the key.
check "set creates" 0 "$(status "$qzp" ini set new.ini Config SoftwareVersion 2.0.1)"
expected=$(printf '# new.ini\r\n\r\n\r\n[Config]\r\nSoftwareVersion = 2.0.1\r\n' \
    | iconv -f UTF-8 -t UTF-16LE | hex)
check "saved bytes" "fffe$expected" "$(hex < new.ini)"

# The device's own files are named by their device paths, whatever folder and letter case they
# have on the host, so the same settings give the same bytes anywhere; missing folders are made.
check "set in new folders" 0 "$(status "$qzp" ini set a/VORIZ/INDEX.INI Config SoftwareVersion 3)"
check "set elsewhere" 0 "$(status "$qzp" ini set "$WORK/b/c/voriz/index.ini" Config SoftwareVersion 3)"
check "same bytes anywhere" "$(hex < a/VORIZ/INDEX.INI)" "$(hex < b/c/voriz/index.ini)"
for pair in 'a/VORIZ/INDEX.INI|\VORIZ\INDEX.INI' 'd/ResidentFlash2/VORIZ/index.ini|\ResidentFlash2\VORIZ\index.ini' \
            'd/SDMMC/KVUPDATE.INI|\SDMMC\kvupdate.ini'; do
    file=${pair%%|*}
    "$qzp" ini set "$file" Config SoftwareVersion 3
    check "comment of $file" "# ${pair#*|}" "$(tail -c +3 "$file" | iconv -f UTF-16LE -t UTF-8 | head -1 | tr -d '\r')"
done

# Host paths are used as the OS spells them: another letter case is another file.
"$qzp" ini set settings.ini Config K lower
check "other case is another file" 0 "$(status "$qzp" ini set SETTINGS.INI Config K upper)"
check "lower-case file untouched" lower "$("$qzp" ini get settings.ini Config K)"

# A planted link beside the file is never written through, and the file itself stays a file.
echo "precious" > precious.txt
"$qzp" ini set linked.ini Config K 1
ln -s precious.txt linked.ini~
check "set beside a planted link" 0 "$(status "$qzp" ini set linked.ini Config Other 1)"
check "link target untouched" precious "$(cat precious.txt)"
[ -L linked.ini~ ] && [ ! -L linked.ini ] || fail "link replaced"

# Refused: a path holding a line break (it would inject sections through the comment line) and
# text that is not UTF-8 (it would be stored as U+FFFD).
check "path with a line break" 2 "$(status "$qzp" ini set $'x\n[Evil]\ny.ini' Config K v)"
check "no file made" "" "$(ls | grep -F Evil)"

# An entry already in the file that the loader had to cut (a 300-unit value, a 300-unit key)
# would be saved cut: refused, the file untouched. A value of exactly 255 units is kept.
for long in "value:[S]\r\nk = $(printf 'v%.0s' $(seq 300))\r\n" "key:[S]\r\n$(printf 'k%.0s' $(seq 300)) = 1\r\n" \
            "quoted:[S]\r\nk = \"$(printf 'q%.0s' $(seq 300))\"\r\n"; do
    { printf '\xff\xfe'; printf "${long#*:}" | iconv -f UTF-8 -t UTF-16LE; } > long.ini
    before=$(hex < long.ini)
    check "set beside a cut ${long%%:*}" 1 "$(status "$qzp" ini set long.ini S other 1)"
    check "file untouched (${long%%:*})" "$before" "$(hex < long.ini)"
done
{ printf '\xff\xfe'; printf "[S]\r\nk = $(printf 'v%.0s' $(seq 255))\r\n" | iconv -f UTF-8 -t UTF-16LE; } > full.ini
check "a 255-unit value is kept" 0 "$(status "$qzp" ini set full.ini S other 1)"
check "255 units read back" 255 "$("$qzp" ini get full.ini S k | tr -d '\n' | wc -c)"

check "get" "2.0.1" "$("$qzp" ini get new.ini Config SoftwareVersion)"

# Non-ASCII names and values survive set, get and dump --json.
check "set non-ASCII" 0 "$(status "$qzp" ini set new.ini 更新 旧版本 "Größe 版本 😀")"
check "get non-ASCII" "Größe 版本 😀" "$("$qzp" ini get new.ini 更新 旧版本)"
check "set replaces" 0 "$(status "$qzp" ini set new.ini Config SoftwareVersion 2.0.2)"
json=$("$qzp" ini dump --json new.ini)
check "dump --json" '{"sections":[{"name":"__default","keys":[]},{"name":"Config","keys":[{"key":"SoftwareVersion","value":"2.0.2"}]},{"name":"更新","keys":[{"key":"旧版本","value":"Größe 版本 😀"}]}]}' \
    "$(printf '%s' "$json" | python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin), ensure_ascii=False, separators=(",",":")))')"

# Exit 1: missing file, 8-bit file, absent key, an existing entry that saving would lose.
check "get missing file" 1 "$(status "$qzp" ini get absent.ini Config SoftwareVersion)"
printf '[Config]\r\nSoftwareVersion=1\r\n' > ascii.ini
check "get 8-bit file" 1 "$(status "$qzp" ini get ascii.ini Config SoftwareVersion)"
check "set 8-bit file" 1 "$(status "$qzp" ini set ascii.ini Config SoftwareVersion 2)"
{ cat new.ini; head -c 40000 /dev/zero; } > large.ini
check "over the limit" "qzp: large.ini: larger than 32768 bytes, the most a device reads of an INI file" \
    "$("$qzp" ini get large.ini Config SoftwareVersion 2>&1)"
check "get absent key" 1 "$(status "$qzp" ini get new.ini Config Nope)"
check "get other case" 1 "$(status "$qzp" ini get new.ini config SoftwareVersion)"
message=$("$qzp" ini get new.ini Config Nope 2>&1 >/dev/null) || true
check "one-line reason" "qzp: new.ini: no key 'Nope' in section 'Config'" "$message"
{ printf '\xff\xfe'; printf '[S]\r\nk = "a;b"\r\n' | iconv -f UTF-8 -t UTF-16LE; } > quoted.ini
before=$(hex < quoted.ini)
check "set would lose a quoted value" 1 "$(status "$qzp" ini set quoted.ini S other 1)"
check "file left alone" "$before" "$(hex < quoted.ini)"

# A save that fails is reported (the first write of the run fails).
check "failed save" 1 "$(QZP_FAULT_FAIL_AT_WRITE=1 status "$qzp" ini set new.ini Config X 1)"

check "help" 0 "$(status "$qzp" ini set --help)"
echo "qzp_ini: all checks passed"
