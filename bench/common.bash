# Sourced by the benchmark scripts as `source "$(dirname "$0")/common.bash" NAME [PACKAGE...]`:
# strict mode, the repository as the current folder, the Debian packages a build and the script
# need, the host-release programs in $bin (or those of $QZP_BENCH_BIN), and a scratch folder
# $work (qzp-NAME-*) removed at the end.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
source scripts/deps.sh
qzp_bench_name="$1"
shift
qzp_require_packages "${QZP_BUILD_PACKAGES[@]}" "$@"
bin="${QZP_BENCH_BIN:-}"
if [ -z "$bin" ]; then
    cmake --preset host-release > /dev/null
    cmake --build build/host-release -j2 --target qzp qzpupdate velmorin_standin > /dev/null
    bin="$ROOT/build/host-release/bin"
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/qzp-$qzp_bench_name-XXXXXX")"
trap 'rm -rf "$work"' EXIT
