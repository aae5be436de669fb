# Every end-to-end script runs as `bash SCRIPT BIN_DIR` and sources this first with
# `source "$(dirname "$0")/kit.sh" "$1"`: strict mode, the programs' paths, the samples, a scratch
# folder that is the current one and is removed at the end, and the checks, byte edits, trees and
# device images the scripts share.
set -euo pipefail
BIN="$(cd "$1" && pwd)"
QZP="$BIN/qzp"
SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/samples"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

fail() { echo "FAIL: $*" >&2; exit 1; }

# key_id PUB: the key id of a minisign public key file as qzp and the installer write it, 16 hex
# digits (minisign's comment line leaves out leading zeros).
key_id() {
    local id
    id=$(sed -n 's/^untrusted comment: minisign public key //p' "$1")
    printf '%16s\n' "$id" | tr ' ' 0
}

# fails STATUS ERE COMMAND...: COMMAND exits STATUS (+: any but 0) and writes one line to
# standard error, which matches ERE and stays in err.txt; its standard output is dropped.
fails() {
    local want=$1 pattern=$2 status
    shift 2
    "$@" > /dev/null 2> err.txt && status=0 || status=$?
    [[ $status == "$want" || ($want == + && $status != 0) ]] && [ "$(wc -l < err.txt)" -eq 1 ] &&
        grep -Eq -- "$pattern" err.txt ||
        fail "$*: exit $status, expected $want and one line like /$pattern/: $(cat err.txt)"
}

# field PACKAGE NAME FIELD: a field of an entry in qzp's JSON listing.
field() {
    "$QZP" list --json "$1" | python3 -c 'import json, sys
print([e for e in json.load(sys.stdin)["entries"] if e["name"] == sys.argv[1]][0][sys.argv[2]])' \
        "$2" "$3"
}

# offset_of FILE TEXT [NTH]: the byte offset of the NTH occurrence of TEXT (the first by default).
offset_of() {
    local at
    at=$(LC_ALL=C grep -obaF -- "$2" "$1" | sed -n "${3:-1}p" | cut -d: -f1)
    [ -n "$at" ] || fail "$2 is not in $1"
    echo "$at"
}

# flip FILE OFFSET: one byte changed; a base64 digit (+ and / included) becomes another one, so
# a text still decodes.
flip() {
    perl -e 'open my $f, "+<:raw", $ARGV[0] or die; seek $f, $ARGV[1], 0; read $f, my $c, 1;
        $c = $c =~ m{[A-Za-z0-9+/]} ? ($c eq "A" ? "B" : "A") : chr(ord($c) ^ 1);
        seek $f, $ARGV[1], 0; print $f $c' "$1" "$2"
}

# patch_bytes FILE OLD NEW...: every OLD (\xNN, \n and the like allowed) replaced by a NEW of the
# same length; each OLD must be there. Names the writer refuses reach a package this way.
patch_bytes() {
    perl -e 'my ($path, @pairs) = @ARGV; local $/; open my $f, "<:raw", $path or die; my $b = <$f>;
        while (my ($old, $new) = map { eval qq{"$_"} } splice @pairs, 0, 2) {
            length $old == length $new && index($b, $old) >= 0 or die "$old\n";
            $b =~ s/\Q$old\E/$new/g;
        }
        open $f, ">:raw", $path or die; print $f $b' "$@"
}

# tree DIR VERSION [MANIFEST-OPTION...]: a version's tree, VORIZ/Maps/region.dat (20,000 lines)
# and VORIZ/app.txt naming DIR, with its manifest.
tree() {
    mkdir -p "$1/VORIZ/Maps" && seq 1 20000 > "$1/VORIZ/Maps/region.dat" && echo "$1" > "$1/VORIZ/app.txt"
    "$QZP" manifest "$1" --version "$2" "${@:3}" > /dev/null
}

# device DIR [VERSION]: a device image with an empty card and flash volume; with VERSION, the
# flash volume holds that version's record.
device() {
    mkdir -p "$1/SDMMC" "$1/ResidentFlash2/VORIZ"
    [ -z "${2:-}" ] ||
        "$QZP" ini set "$1/ResidentFlash2/VORIZ/index.ini" Config SoftwareVersion "$2" > /dev/null
}
