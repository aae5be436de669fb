#!/usr/bin/env bash
# Derives platform/win32/device_exports/*.txt, the names each system DLL of the device exports, from
# the device's import definitions (a CeGCC ce-sdk folder: mingwrt/ and w32api/libce/ *.def). The
# lists are data for scripts/check_imports.sh, so that a clone checks without the device's files.
# Usage: device_exports.sh [--check] [SDK]
#   --check  only compare the committed lists with SDK; fails on a difference, skips without SDK
#   SDK      default $QZP_CE_SDK, else ../shared/ce-sdk beside the clone
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [[ "${1:-}" == "--check" ]]; then
    check=1
    shift
fi
sdk=${1:-${QZP_CE_SDK:-../shared/ce-sdk}}
out=platform/win32/device_exports
if [[ ! -d "$sdk" ]]; then
    if [[ $check -eq 1 ]]; then
        echo "device_exports: skipped: no device headers at $sdk"
        exit 0
    fi
    echo "device_exports: no device SDK at $sdk" >&2
    exit 1
fi

# LIST SOURCE SYSTEM: one list per DLL and system version the device program may meet.
lists=(
    "coredll-6.0 mingwrt/coredll6.def 6.0"
    "coredll-5.x mingwrt/coredll.def 5.x"
    "commctrl w32api/libce/commctrl.def 5.x/6.0"
    "ceshell w32api/libce/ceshell.def 5.x/6.0"
)
status=0
for entry in "${lists[@]}"; do
    read -r name source system <<<"$entry"
    derived=$(
        echo "# Names exported by ${name%%-*}.dll of the device's system ($system), derived by scripts/device_exports.sh"
        echo "# from $source of the CeGCC 14.2 ce-sdk (w32api 51de0ad, mingwrt 7c35691); public domain."
        sed -e 's/;.*//' "$sdk/$source" | awk '$1 != "" && $1 != "LIBRARY" && $1 != "EXPORTS" { print $1 }' | LC_ALL=C sort -u
    )
    if [[ $check -eq 1 ]]; then
        if ! diff -q <(printf '%s\n' "$derived") "$out/$name.txt" >/dev/null; then
            echo "device_exports: $out/$name.txt differs from $sdk/$source (run scripts/device_exports.sh)" >&2
            status=1
        fi
    else
        printf '%s\n' "$derived" >"$out/$name.txt"
    fi
done
[[ $check -eq 0 || $status -ne 0 ]] || echo "device_exports: the lists match $sdk"
exit $status
