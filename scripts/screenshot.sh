#!/usr/bin/env bash
# Screenshot of the main window on a virtual X display.
#
#   screenshot.sh [OUTPUT.png]     default output: /tmp/dormex-window.png
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
