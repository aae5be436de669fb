#!/usr/bin/env bash
# qzp ini through the real binary: set, get and dump --json round trips with non-ASCII text, the
# saved bytes, and the exit status 1 (large file, absent key, failed save). Usage errors of qzp ini
# are rows of qzp_usage.sh, files it cannot reach rows of qzp_reasons.sh.
source "$(dirname "$0")/kit.sh" "$1"
check() { [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"; }  # check NAME EXPECTED ACTUAL
hex() { od -An -tx1 -v | tr -d ' \n'; }
utf16() { printf '\xff\xfe'; printf "$1" | iconv -f UTF-8 -t UTF-16LE; }  # utf16 FORMAT

# A new file: the mark, a comment naming the file alone (nothing of the host's folders), the
# default section's empty line, then the key.
"$QZP" ini set new.ini Config SoftwareVersion 2.0.1 || fail "set creates"
check "saved bytes" "$(utf16 '# new.ini\r\n\r\n\r\n[Config]\r\nSoftwareVersion = 2.0.1\r\n' | hex)" \
    "$(hex < new.ini)"

# The device's own files are named by their device paths, whatever folder and letter case they
# have on the host, so the same settings give the same bytes anywhere; missing folders are made.
for pair in 'a/VORIZ/INDEX.INI|\VORIZ\INDEX.INI' "$WORK/b/c/voriz/index.ini|\\VORIZ\\INDEX.INI" \
    'd/ResidentFlash2/VORIZ/index.ini|\ResidentFlash2\VORIZ\index.ini' 'd/SDMMC/KVUPDATE.INI|\SDMMC\kvupdate.ini'; do
    file=${pair%%|*}
    "$QZP" ini set "$file" Config SoftwareVersion 3 || fail "set $file"
    check "comment of $file" "# ${pair#*|}" "$(tail -c +3 "$file" | iconv -f UTF-16LE -t UTF-8 | head -1 | tr -d '\r')"
done

# An entry already in the file that the loader had to cut (a 300-unit value, a 300-unit key) or
# that saving would change (a quoted value) would be saved cut: refused, the file untouched. A
# value of exactly 255 units is kept.
for long in "value:[S]\r\nk = $(printf 'v%.0s' $(seq 300))\r\n" "key:[S]\r\n$(printf 'k%.0s' $(seq 300)) = 1\r\n" \
            "quoted:[S]\r\nk = \"$(printf 'q%.0s' $(seq 300))\"\r\n" 'lost:[S]\r\nk = "a;b"\r\n'; do
    utf16 "${long#*:}" > long.ini
    before=$(hex < long.ini)
    fails 1 "^qzp: long.ini: " "$QZP" ini set long.ini S other 1
    check "file untouched (${long%%:*})" "$before" "$(hex < long.ini)"
done
utf16 "[S]\r\nk = $(printf 'v%.0s' $(seq 255))\r\n" > full.ini
"$QZP" ini set full.ini S other 1 || fail "a 255-unit value is cut"
check "255 units read back" 255 "$("$QZP" ini get full.ini S k | tr -d '\n' | wc -c)"

# Non-ASCII names and values survive set, get and dump --json.
"$QZP" ini set new.ini 更新 旧版本 "Größe 版本 😀" || fail "set non-ASCII"
check "get non-ASCII" "Größe 版本 😀" "$("$QZP" ini get new.ini 更新 旧版本)"
"$QZP" ini set new.ini Config SoftwareVersion 2.0.2 || fail "set replaces"
json=$("$QZP" ini dump --json new.ini)
check "dump --json" '{"format":1,"sections":[{"name":"__default","keys":[]},{"name":"Config","keys":[{"key":"SoftwareVersion","value":"2.0.2"}]},{"name":"更新","keys":[{"key":"旧版本","value":"Größe 版本 😀"}]}]}' \
    "$(printf '%s' "$json" | python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin), ensure_ascii=False, separators=(",",":")))')"

# A file as large as a device reads is read; exit 1: a file over that limit, an absent key, a save
# that fails (the first write of the run). An 8-bit file is qzp_pack.sh's slip row.
{ cat new.ini; head -c $((1048576 - $(wc -c < new.ini))) /dev/zero; } > large.ini
check "get at 1 MiB" 2.0.2 "$("$QZP" ini get large.ini Config SoftwareVersion)"
head -c 1 /dev/zero >> large.ini
fails 1 '^qzp: large.ini: larger than 1048576 bytes \(1 MiB\), the most a device reads of a settings file$' \
    "$QZP" ini get large.ini Config SoftwareVersion
fails 1 "^qzp: new.ini: no key 'Nope' in section 'Config'$" "$QZP" ini get new.ini Config Nope
QZP_FAULT_FAIL_AT_WRITE=1 fails 1 '^qzp: new.ini: ' "$QZP" ini set new.ini Config X 1
# A save keeps the file's mode; a read-only file is refused (by its mode, also for root).
chmod 600 new.ini && "$QZP" ini set new.ini Config X 2 && [ "$(stat -c %a new.ini)" = 600 ] || fail "mode"
chmod 444 new.ini && fails 1 '^qzp: new.ini: not saved: the file is read-only$' "$QZP" ini set new.ini Config X 3
echo "qzp_ini: all checks passed"
