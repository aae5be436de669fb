# Sourced by every end-to-end script as `source "$(dirname "$0")/common.bash" BIN_DIR`: strict
# mode, the programs' paths, the samples, a scratch folder that is the current one and is removed
# at the end, and `fail`.
set -euo pipefail
BIN="$(cd "$1" && pwd)"
QZP="$BIN/qzp"
SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/samples"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

fail() { echo "FAIL: $*" >&2; exit 1; }
