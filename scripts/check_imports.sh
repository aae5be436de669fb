#!/usr/bin/env bash
# Compares the import table of the Windows installer with platform/win32/imports.txt, the list of
# every imported function with its status on the device's embedded Windows and the one function of
# platform/win32/ that a device port changes for it (docs/porting.md explains each). Fails, naming
# them, on an import that is not on the list, on a malformed line of the list and on a list line
# naming a platform/win32 function that no longer exists, and when the installer holds the name of
# a test run's fault variable (QZP_FAULT_*); an import on the list that is no longer imported is
# only reported.
# Usage: check_imports.sh [EXE [LIST]]
#   EXE   default build/windows/bin/qzpupdate.exe (the x86-64 build of `bash scripts/wine_test.sh`)
#   LIST  default platform/win32/imports.txt
set -euo pipefail
cd "$(dirname "$0")/.."
exe=${1:-build/windows/bin/qzpupdate.exe}
list=${2:-platform/win32/imports.txt}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

[[ -f "$exe" ]] || { echo "check_imports: no $exe (build it with bash scripts/wine_test.sh)" >&2; exit 1; }
[[ -f "$list" ]] || { echo "check_imports: no list $list" >&2; exit 1; }

# "dll name" per imported function, the DLL in lower case (the table's spelling varies).
imported=$("$objdump" -p "$exe" | awk '
    /^The Import Tables/ { table = 1; next }
    /^[^ \t]/ { table = 0; dll = "" }
    table && /^[ \t]*DLL Name:/ { dll = tolower($3); next }
    table && dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ \t]+$/ { print dll, $3 }' | sort -u)
if [[ -z "$imported" ]]; then
    echo "check_imports: no imports read from $exe" >&2
    exit 1
fi

status=0
listed=""
line_number=0
while IFS= read -r line || [[ -n "$line" ]]; do
    line_number=$((line_number + 1))
    line=${line%%#*}
    [[ -z "${line//[[:space:]]/}" ]] && continue
    read -r dll name device changes extra <<<"$line"
    if [[ -z "$changes" || -n "$extra" ]]; then
        echo "check_imports: $list:$line_number: want DLL NAME STATUS FUNCTION: $line" >&2
        status=1
        continue
    fi
    case "$device" in
    present | differs | absent | unconfirmed | tests | runtime) ;;
    *)
        echo "check_imports: $list:$line_number: status '$device' is not present, differs, absent, unconfirmed, tests or runtime" >&2
        status=1
        ;;
    esac
    if [[ "$changes" != "-" ]] && ! grep -Eq "(^|[ :*&])$changes\(" platform/win32/*.cpp; then
        echo "check_imports: $list:$line_number: no function $changes in platform/win32/*.cpp" >&2
        status=1
    fi
    if [[ "$device" == "absent" || "$device" == "differs" ]] && [[ "$changes" == "-" ]]; then
        echo "check_imports: $list:$line_number: $name is $device on the device but names no function that changes" >&2
        status=1
    fi
    listed+="${dll,,} $name"$'\n'
done <"$list"
listed=$(printf '%s' "$listed" | sort -u)

# Test runs hand their fault plan to the host programs only: the installer holds no name of one.
if grep -aq 'QZP_FAULT_' "$exe"; then
    echo "check_imports: $exe holds a QZP_FAULT_ name: the device program reads no fault plan" >&2
    status=1
fi

unlisted=$(comm -23 <(printf '%s\n' "$imported") <(printf '%s\n' "$listed"))
gone=$(comm -13 <(printf '%s\n' "$imported") <(printf '%s\n' "$listed"))
if [[ -n "$gone" ]]; then
    echo "check_imports: listed but no longer imported by $exe (the line may go):"
    printf '    %s\n' $(printf '%s\n' "$gone" | tr ' ' ':')
fi
if [[ -n "$unlisted" ]]; then
    echo "check_imports: imported by $exe but not in $list (add a line with its status on the device, see docs/porting.md):" >&2
    printf '%s\n' "$unlisted" | while read -r dll name; do echo "    $dll $name" >&2; done
    status=1
fi
if [[ $status -eq 0 ]]; then
    echo "check_imports: $(printf '%s\n' "$imported" | wc -l) imports of $exe, each in $list"
fi
exit $status
