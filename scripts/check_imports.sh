#!/usr/bin/env bash
# Decides for every function the Windows installer imports whether the device's system exports it,
# from the device's own export lists (platform/win32/device_exports/, derived from its SDK by
# scripts/device_exports.sh), and compares the import tables with platform/win32/imports.txt.
# Fails, naming them, on:
#   - an import the device does not export (on 5.x and 6.0 alike) unless its line names the function
#     of platform/win32/ that a device port replaces and a line of docs/porting.md names both;
#   - an import not on the list, a malformed line, or a line naming a platform/win32 function that
#     no longer exists;
#   - an installer that holds the name of a test run's fault variable (QZP_FAULT_*), or the write
#     check that counts writes and cuts the power (fault::BeforeWrite, linked only where a plan is
#     handed over; looked for in the symbol table, which a stripped file lacks).
# Imports of the toolchain's runtime or of the test hooks are reported, not failed: a device build
# links the device toolchain's runtime instead. An import on the list that no build imports any more
# is only reported.
# Usage: check_imports.sh [EXE...]
#   EXE  default build/windows/bin/qzpupdate.exe and build/windows-x86/bin/qzpupdate.exe (the x86-64
#        and i686 builds); objdump is chosen by the file's format, OBJDUMP overrides it.
set -euo pipefail
cd "$(dirname "$0")/.."
list=platform/win32/imports.txt
exports=platform/win32/device_exports
porting=docs/porting.md
exes=("$@")
[[ ${#exes[@]} -gt 0 ]] || exes=(build/windows/bin/qzpupdate.exe build/windows-x86/bin/qzpupdate.exe)

# Exported by the device: in coredll.dll of both systems, or in one of the other system DLLs.
exported=$(
    LC_ALL=C comm -12 <(grep -v '^#' "$exports/coredll-5.x.txt") <(grep -v '^#' "$exports/coredll-6.0.txt")
    for other in "$exports"/*.txt; do
        [[ "$other" == */coredll-* ]] || grep -v '^#' "$other"
    done
)
exported=$(printf '%s\n' "$exported" | LC_ALL=C sort -u)

# "dll name" per imported function of every build, the DLL in lower case (the table's spelling varies).
imported=""
for exe in "${exes[@]}"; do
    [[ -f "$exe" ]] || { echo "check_imports: no $exe (build it with scripts/wine_test.sh or the windows-x86 preset)" >&2; exit 1; }
    objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
    if [[ -z "${OBJDUMP:-}" ]] && file -b "$exe" | grep -q 'Intel 80386'; then
        objdump=i686-w64-mingw32-objdump
    fi
    table=$("$objdump" -p "$exe" | awk '
        /^The Import Tables/ { table = 1; next }
        /^[^ \t]/ { table = 0; dll = "" }
        table && /^[ \t]*DLL Name:/ { dll = tolower($3); next }
        table && dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ \t]+$/ { print dll, $3 }')
    if [[ -z "$table" ]]; then
        echo "check_imports: no imports read from $exe" >&2
        exit 1
    fi
    imported+="$table"$'\n'
done
imported=$(printf '%s' "$imported" | LC_ALL=C sort -u)

status=0
listed=""
replaced=0
runtime_missing=""
line_number=0
while IFS= read -r line || [[ -n "$line" ]]; do
    line_number=$((line_number + 1))
    line=${line%%#*}
    [[ -z "${line//[[:space:]]/}" ]] && continue
    read -r dll name by extra <<<"$line"
    if [[ -z "$by" || -n "$extra" ]]; then
        echo "check_imports: $list:$line_number: want DLL NAME REPLACED-BY: $line" >&2
        status=1
        continue
    fi
    listed+="${dll,,} $name"$'\n'
    on_device=0
    grep -qxF -- "$name" <<<"$exported" && on_device=1
    case "$by" in
    runtime | tests)
        [[ $on_device -eq 1 ]] || runtime_missing+=" $name"
        ;;
    -)
        if [[ $on_device -eq 0 ]]; then
            echo "check_imports: $list:$line_number: the device does not export $name; name the function of platform/win32/ that a port replaces" >&2
            status=1
        fi
        ;;
    *)
        if ! grep -Eq "(^|[ :*&])$by\(" platform/win32/*.cpp; then
            echo "check_imports: $list:$line_number: no function $by in platform/win32/*.cpp" >&2
            status=1
        elif ! grep -F -- "\`$name\`" "$porting" | grep -Eq "\`([A-Za-z_]+::)?$by\`"; then
            echo "check_imports: $list:$line_number: no line of $porting says how $by replaces $name" >&2
            status=1
        fi
        replaced=$((replaced + 1))
        ;;
    esac
done <"$list"
listed=$(printf '%s' "$listed" | LC_ALL=C sort -u)

# Test runs hand their fault plan to the host programs only: the installer holds no name of one.
for exe in "${exes[@]}"; do
    if grep -aq 'QZP_FAULT_' "$exe"; then
        echo "check_imports: $exe holds a QZP_FAULT_ name: the device program reads no fault plan" >&2
        status=1
    fi
    objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
    if [[ -z "${OBJDUMP:-}" ]] && file -b "$exe" | grep -q 'Intel 80386'; then
        objdump=i686-w64-mingw32-objdump
    fi
    if "$objdump" -t "$exe" 2>/dev/null | grep -q 'fault11BeforeWrite'; then
        echo "check_imports: $exe holds the fault check: the device program plans no faults" >&2
        status=1
    fi
done

unlisted=$(LC_ALL=C comm -23 <(printf '%s\n' "$imported") <(printf '%s\n' "$listed"))
gone=$(LC_ALL=C comm -13 <(printf '%s\n' "$imported") <(printf '%s\n' "$listed"))
if [[ -n "$gone" ]]; then
    echo "check_imports: listed but imported by none of ${exes[*]} (the line may go):"
    printf '    %s\n' $(printf '%s\n' "$gone" | tr ' ' ':')
fi
if [[ -n "$runtime_missing" ]]; then
    echo "check_imports: not exported by the device, imported only by the toolchain's runtime or the test hooks:"
    echo "   $runtime_missing" | fold -s -w 100
fi
if [[ -n "$unlisted" ]]; then
    echo "check_imports: imported but not in $list (add a line, see docs/porting.md):" >&2
    printf '%s\n' "$unlisted" | while read -r dll name; do echo "    $dll $name" >&2; done
    status=1
fi
if [[ $status -eq 0 ]]; then
    echo "check_imports: $(printf '%s\n' "$imported" | wc -l) imports of ${exes[*]}: the device exports each one our sources call, or platform/win32 replaces it ($replaced)"
fi
exit $status
