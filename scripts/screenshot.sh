#!/usr/bin/env bash
# Screenshot of the main window on a virtual X display.
#
#   screenshot.sh [OUTPUT.png]             default output: /tmp/dormex-window.png
#   screenshot.sh --windows [OUTPUT.png]   the Windows program under Wine; default output:
#                                          /tmp/dormex-window-windows.png
#
# --windows: copies build-win64/Dormex.exe (DORMEX_WINDOWS_BUILD_DIR) and the DLLs beside it into a
# fresh program directory, registers the stand-in site library DormexSite.dll there and gives it
# the trial kit's SiteLibrary.ini (the stand-in makes its demo site), starts the program under Wine
# on a virtual display (the build's Wine prefix), waits for its 218 x 285 window, grabs the
# screen and prints the window's outer size. An error box that comes first is answered with
# Return (needs xdotool), so the window behind it is shown.
#
# Copies the built program (DORMEX_BUILD_DIR, default <repo>/build) into a fresh temporary program
# directory, so settings and log land there, creates a demo site there with the site tool when the
# build has it, starts the program under Xvfb, waits for a window captioned
# "Dormex", grabs the whole screen with ImageMagick and stops everything again.
# Extra environment for the program (e.g. its site database) passes through unchanged.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:-/tmp/dormex-window.png}
build=${DORMEX_BUILD_DIR:-$here/../build}
wait_seconds=${DORMEX_SCREENSHOT_WAIT:-15}

die() { echo "screenshot: $*" >&2; exit 1; }

# The Windows window under Wine: see the header.
windows_screenshot() {
    local out=${1:-/tmp/dormex-window-windows.png}
    local wbuild=${DORMEX_WINDOWS_BUILD_DIR:-$here/../build-win64}
    wbuild=$(cd "$wbuild" 2>/dev/null && pwd) || die "no Windows build (run scripts/windows.sh)"
    [ -f "$wbuild/Dormex.exe" ] && [ -x "$wbuild/wine-run" ] ||
        die "no Dormex.exe with its Wine runner in $wbuild (run scripts/windows.sh --tests)"
    local tool
    for tool in Xvfb import xwininfo; do command -v $tool >/dev/null || die "$tool is missing"; done
    case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
    source "$here/common.sh"

    progdir=$(mktemp -d /tmp/dormex-shot-XXXXXX)
    trap 'stop_wine_session; rm -rf "$progdir"' EXIT
    cp "$wbuild/Dormex.exe" "$progdir/"
    local dll
    for dll in "$wbuild"/*.dll; do [ -f "$dll" ] && cp "$dll" "$progdir/"; done
    # The trial kit's settings: the stand-in makes its demo site when the window first asks.
    [ -f "$progdir/DormexSite.dll" ] &&
        sed 's/$/\r/' "$here/../win/trial/SiteLibrary.ini" >"$progdir/SiteLibrary.ini"
    start_wine_session "$wbuild"
    export DISPLAY="$DORMEX_WINE_DISPLAY"
    [ -f "$progdir/DormexSite.dll" ] && "$wbuild/wine-run" regsvr32 /s "$progdir/DormexSite.dll"
    "$wbuild/wine-run" "$progdir/Dormex.exe" >"$progdir/stdout.txt" 2>"$progdir/stderr.txt" &
    local pid=$! size="" line _
    for _ in $(seq 1 $((wait_seconds * 5))); do
        line=$(xwininfo -root -tree 2>/dev/null | grep '"Dormex"' | head -n 1 || true)
        if [ -n "$line" ]; then
            size=$(echo "$line" | grep -o '[0-9]*x[0-9]*+' | head -n 1 | tr -d +)
            [ "$size" = 218x285 ] && break
            # Another window of that caption: the error box, in front of the window.
            command -v xdotool >/dev/null && xdotool key Return
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.2
    done
    sleep 1
    import -window root "$out"
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid"
        wait "$pid" 2>/dev/null || true
    else
        echo "screenshot: the program ended before the grab; its output:" >&2
        cat "$progdir/stdout.txt" "$progdir/stderr.txt" >&2
    fi
    [ "$size" = 218x285 ] || echo "screenshot: no 218 x 285 window captioned \"Dormex\"" >&2
    echo "window outer size: ${size:-none}"
    echo "$out"
}

if [ "${1:-}" = --windows ]; then
    shift
    windows_screenshot "$@"
    exit 0
fi

[ -x "$build/dormex" ] || die "no built program at $build/dormex"
command -v xvfb-run >/dev/null || die "xvfb-run is missing (package xvfb)"
command -v import >/dev/null || die "import is missing (package imagemagick)"
command -v xwininfo >/dev/null || die "xwininfo is missing (package x11-utils)"

progdir=$(mktemp -d /tmp/dormex-shot-XXXXXX)
trap 'rm -rf "$progdir"' EXIT
# The program and whatever the build put beside it that it may load (site library, helpers).
cp "$build/dormex" "$progdir/"
for extra in "$build"/dormex-*; do
    [ -f "$extra" ] && [ -x "$extra" ] && cp "$extra" "$progdir/"
done
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
# A demo site beside the program, so the set-up succeeds and the window shows the site's names.
if [ -x "$progdir/dormex-site" ]; then
    if ! { "$progdir/dormex-site" init && "$progdir/dormex-site" demo; } >"$progdir/site.txt" 2>&1; then
        echo "screenshot: could not create the demo site; the window may not come up:" >&2
        cat "$progdir/site.txt" >&2
    fi
fi

# Runs inside the virtual display: start the program, wait for its window, grab the screen.
inner=$(cat <<'INNER'
set -u
progdir=$1 out=$2 wait_seconds=$3
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
"$progdir/dormex" >"$progdir/stdout.txt" 2>"$progdir/stderr.txt" &
pid=$!
found=0
for _ in $(seq 1 $((wait_seconds * 5))); do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Dormex"'; then found=1; break; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
# Let the window finish painting before the grab.
sleep 1
import -window root "$out"
status=$?
if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null
else
    echo "screenshot: the program ended before the grab; its output:" >&2
    cat "$progdir/stdout.txt" "$progdir/stderr.txt" >&2
fi
[ "$found" = 1 ] || echo "screenshot: no window captioned \"Dormex\" appeared" >&2
exit $status
INNER
)

xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c "$inner" inner "$progdir" "$out" "$wait_seconds"
echo "$out"
