#!/usr/bin/env bash
# Compiles every file of platform/win32/ (the only files of the device program that include
# <windows.h>) in a syntax-only pass against the device's own headers: its C runtime (mingwrt) and
# Win32 API (w32api), as its toolchain sees them (ARM, UNDER_CE, _WIN32_WCE=0x600, __COREDLL__,
# Unicode). The C++ standard library's headers are MinGW-w64's: the device toolchain's own are not
# here, so what they report inside themselves (C functions the device's runtime lacks and the
# library names) is left aside. Every error in our own code is a call the device lacks or declares
# differently; it fails the run unless platform/win32/imports.txt names the function of
# platform/win32/ that a port replaces for it (docs/porting.md says how).
# Usage: device_headers_check.sh [SDK]   SDK defaults to $QZP_CE_SDK or ../shared/ce-sdk
set -euo pipefail
cd "$(dirname "$0")/.."
sdk=${1:-${QZP_CE_SDK:-../shared/ce-sdk}}
if [[ ! -f "$sdk/w32api/include/windows.h" || ! -d "$sdk/mingwrt/include" ]]; then
    echo "device headers: skipped: no device headers in $sdk"
    exit 0
fi
cxx=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-win32/include/c++ 2>/dev/null | head -n 1)
[[ -n "$cxx" ]] || { echo "device headers: no MinGW-w64 C++ headers (g++-mingw-w64-x86-64-win32)" >&2; exit 1; }
list=platform/win32/imports.txt

status=0
checked=0
for file in platform/win32/*.cpp; do
    checked=$((checked + 1))
    errors=$(clang++ -fsyntax-only -std=gnu++20 --target=arm-w64-windows-gnu -nostdinc -nostdinc++ \
        -isystem "$cxx" -isystem "$cxx/x86_64-w64-mingw32" -isystem "$(clang -print-resource-dir)/include" \
        -isystem "$sdk/mingwrt/include" -isystem "$sdk/w32api/include" \
        -D__COREDLL__ -DUNDER_CE -D_WIN32_WCE=0x600 -D_M_ARM -DARM -DUNICODE -D_UNICODE \
        -I. -ferror-limit=0 "$file" 2>&1 || true)
    # A fatal error ends the pass early, leaving the rest of the file unchecked.
    if grep -q 'fatal error' <<<"$errors"; then
        echo "device headers: $file: $(grep -m 1 'fatal error' <<<"$errors")" >&2
        status=1
    fi
    errors=$(grep -E '^[a-z0-9_/]+\.(cpp|h):[0-9]+:[0-9]+: error: ' <<<"$errors" || true)
    while IFS= read -r error; do
        [[ -n "$error" ]] || continue
        # The function: the one the message names, else the last `::Name(` before the column.
        name=$(sed -nE "s/.*(no member named|undeclared identifier|no matching function for call to) '([A-Za-z_0-9]+)'.*/\2/p" <<<"$error")
        if [[ -z "$name" ]]; then
            IFS=: read -r where line column _ <<<"$error"
            name=$(sed -n "${line}p" "$where" | cut -c "1-$column" | grep -oE '::[A-Za-z_0-9]+\(' | tail -n 1 | tr -d ':(')
        fi
        by=$(awk -v n="$name" '!/^#/ && $2 == n { print $3 }' "$list")
        if [[ -z "$name" || -z "$by" || "$by" == - || "$by" == runtime || "$by" == tests ]]; then
            echo "device headers: $error" >&2
            echo "    ${name:-this call} differs on the device, and $list names no function that replaces it" >&2
            status=1
        else
            echo "device headers: ${name} differs on the device; ported in $by"
        fi
    done <<<"$errors"
done
[[ $status -eq 0 ]] && echo "device headers: $checked files of platform/win32 compile against $sdk"
exit $status
