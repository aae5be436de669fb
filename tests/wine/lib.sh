# Shared by the Wine suite and the screenshot script: a Wine prefix whose drive C: stands for the
# device, the windows programs copied onto it, and helpers to run and drive them.
# Needs: BIN (the windows build's bin directory) and WINEPREFIX set by the caller.

# Debian packages: the MinGW-w64 cross compiler and zlib, GoogleTest's sources (built for the
# unit tests), Wine, Xvfb, the screenshot tools, and locales (whose data makes the locales that
# give Wine its ANSI code page).
QZP_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine wine64 xvfb xauth
                      x11-apps imagemagick locales)

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono / Gecko installer prompts
DRIVE_C="$WINEPREFIX/drive_c"

# A fresh prefix: Wine lays out its own files once, then the programs are copied in. Wine draws
# the window frames itself (no window manager runs under Xvfb), so captions show on screenshots.
wine_prefix_fresh() {
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
    cp "$BIN/qzpupdate.exe" "$BIN/qzp.exe" "$BIN/driver.exe" "$DRIVE_C/"
    cp "$BIN/velmorin.dll" "$DRIVE_C/windows/"
}

# Keeps one wineserver for the whole run so that each program starts quickly.
wine_server_start() { wineserver -p; }
wine_server_stop() { wineserver -k 2>/dev/null || true; }

# Runs a program of drive C: with C:\ as the current directory.
on_c() { (cd "$DRIVE_C" && wine "$@"); }
drv() { on_c 'C:\driver.exe' "$@"; }
qzp() { on_c 'C:\qzp.exe' "$@"; }

# Starts the installer in the background; APP_PID is its process. Its output and Wine's error
# messages go to APP_LOG (default: nowhere).
app_start() {
    (cd "$DRIVE_C" && WINEDEBUG=-all,err+all exec wine 'C:\qzpupdate.exe' >"${APP_LOG:-/dev/null}" 2>&1) &
    APP_PID=$!
}

# Waits up to $1 seconds (default: none) for the installer to end, else ends it and fails.
app_wait() {
    local i pid=${APP_PID:-}
    for ((i = 0; i < ${1:-0} * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null && i=-1  # still running
    wait "$pid" 2>/dev/null
    APP_PID=""
    [ "$i" -ge 0 ]
}

# Removes the device's volumes from drive C: (the card, the flash volume, the manifest copy in
# the root, the restart marker and trusted keys).
device_clear() {
    rm -rf "$DRIVE_C/SDMMC" "$DRIVE_C/ResidentFlash2" "$DRIVE_C/VORIZ" "$DRIVE_C/restart.txt" \
        "$DRIVE_C/windows/qzpupdate.pub"
    mkdir -p "$DRIVE_C/SDMMC" "$DRIVE_C/ResidentFlash2"
}
