#!/usr/bin/env bash
# qzp ini through the real binary: set, get and dump --json round trips with non-ASCII text, the
# saved bytes, and the exit statuses 1 (bad file, absent key, failed save) and 2 (usage).
set -uo pipefail
qzp="$1/qzp"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}
hex() { od -An -tx1 -v | tr -d ' \n'; }
status() { "$@" >/dev/null 2>&1; echo $?; }

# A new file: the mark, the path comment, the default section's empty line, then the key.
check "set creates" 0 "$(status "$qzp" ini set new.ini Config SoftwareVersion 2.0.1)"
expected=$(printf '# %s\r\n\r\n\r\n[Config]\r\nSoftwareVersion = 2.0.1\r\n' \
    "$(pwd | tr / '\\')\\new.ini" | iconv -f UTF-8 -t UTF-16LE | hex)
check "saved bytes" "fffe$expected" "$(hex < new.ini)"
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
check "get absent key" 1 "$(status "$qzp" ini get new.ini Config Nope)"
check "get other case" 1 "$(status "$qzp" ini get new.ini config SoftwareVersion)"
message=$("$qzp" ini get new.ini Config Nope 2>&1 >/dev/null)
check "one-line reason" "qzp: new.ini: no key 'Nope' in section 'Config'" "$message"
{ printf '\xff\xfe'; printf '[S]\r\nk = "a;b"\r\n' | iconv -f UTF-8 -t UTF-16LE; } > quoted.ini
before=$(hex < quoted.ini)
check "set would lose a quoted value" 1 "$(status "$qzp" ini set quoted.ini S other 1)"
check "file left alone" "$before" "$(hex < quoted.ini)"

# A save that fails is reported (the first write of the run fails).
check "failed save" 1 "$(QZP_FAULT_FAIL_AT_WRITE=1 status "$qzp" ini set new.ini Config X 1)"

# Exit 2: usage errors and text the saved form cannot carry.
check "no arguments" 2 "$(status "$qzp" ini get new.ini)"
check "unknown subcommand" 2 "$(status "$qzp" ini frob new.ini)"
check "value with comment mark" 2 "$(status "$qzp" ini set new.ini Config K 'a;b')"
check "empty value" 2 "$(status "$qzp" ini set new.ini Config K '')"
check "key with equals" 2 "$(status "$qzp" ini set new.ini Config 'a=b' v)"
check "section with hash" 2 "$(status "$qzp" ini set new.ini 'a#b' K v)"
check "help" 0 "$(status "$qzp" ini set --help)"

if [ "$failures" -ne 0 ]; then
    echo "qzp_ini: $failures failed"
    exit 1
fi
echo "qzp_ini: all checks passed"
