# Sourced by the other scripts: installs the Debian packages a step needs, when they are missing.
# Usage: qzp_require_packages PACKAGE...
qzp_require_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if [ ! -f /var/lib/apt/lists/.qzp-updated ] || ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
        $sudo apt-get update -q
        $sudo touch /var/lib/apt/lists/.qzp-updated
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# What every host build needs.
QZP_BUILD_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev zlib1g-dev libsodium-dev minisign libgtest-dev
                    libgmock-dev libcli11-dev nlohmann-json3-dev libfmt-dev clang-format
                    util-linux python3 libdeflate-dev pkg-config dpkg-dev gzip)
