#!/usr/bin/env bash
# Screenshots of the installer's Windows build under Wine and Xvfb: the update confirmation
# dialog (docs/confirm-dialog.png) and the progress dialog at the end of an update
# (docs/progress-dialog.png). QZP_WINDOWS_BUILD sets the build directory (default build/windows).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QZP_WINDOWS_BUILD:-build/windows}
mkdir -p "$build"
export BIN="$build/bin"
export WINEPREFIX="$(cd "$build" && pwd)/wine-prefix-shots"
source tests/wine/lib.sh

if [ "${1:-}" != --inside ]; then
    source scripts/deps.sh
    # fonts-wine: Marlett, the font of the caption's buttons (without it the close button shows
    # its letter, `r`).
    qzp_require_packages "${QZP_BUILD_PACKAGES[@]}" "${QZP_WINDOWS_PACKAGES[@]}" fonts-wine
    bash scripts/mingw_libsodium.sh x86_64-w64-mingw32
    cmake --preset windows -B "$build" >/dev/null
    cmake --build "$build" -j "$(nproc)"
    wine_prefix_fresh
    mkdir -p "$DRIVE_C/windows/Fonts" && cp /usr/share/wine/fonts/marlett.ttf "$DRIVE_C/windows/Fonts/"
    exec xvfb-run -a -s "-screen 0 800x480x24" bash "$0" --inside
fi

# A device with 2.0 installed and the sample tree as a full package on the card.
trap wine_server_stop EXIT
wine_server_start
device_clear
cp -r samples/VORIZ "$DRIVE_C/ResidentFlash2/"
rm -rf "$DRIVE_C/shots" && mkdir -p "$DRIVE_C/shots"
cp -r samples/VORIZ "$DRIVE_C/shots/"
qzp ini set 'C:\shots\VORIZ\INDEX.INI' Config SoftwareVersion 2.1 >/dev/null
qzp pack 'C:\shots' 'C:\SDMMC\VORIZ.QZP' >/dev/null

# shot WINDOW FILE: the window's rectangle cut from a picture of the whole screen.
shot() {
    local x y w h
    read -r x y w h < <(drv rect "$1")
    /usr/bin/import -window root "$2.full.png"
    /usr/bin/convert "$2.full.png" -crop "${w}x${h}+${x}+${y}" +repage "$2"
    rm -f "$2.full.png"
    echo "wrote $2 (${w}x${h})"
}

mkdir -p docs
app_start
drv wait 'Update Package'
shot 'Update Package' docs/confirm-dialog.png
drv click 'Update Package' 1000
drv wait 'Setup Completely' 30000
drv move 'Setup Completely' 0 0  # the message box away from the dialog it would cover
shot @progress docs/progress-dialog.png
drv click 'Setup Completely' 1
app_wait 20 || echo "the installer did not end"
