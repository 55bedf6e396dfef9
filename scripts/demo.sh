#!/usr/bin/env bash
# The main job on a demo site: builds the program and the site tool (without the tests), creates a demo site database beside the program if
# there is none, saves settings that select a few person types if there are none, runs the
# unattended expiry run, and shows what it logged and which cards it deactivated.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${DORMEX_BUILD_PACKAGES[@]}"
build="$DORMEX_ROOT/build"
# Only the two programs the demo runs: no tests (the test command turns them on again).
cmake -S "$DORMEX_ROOT" -B "$build" -DDORMEX_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target dormex dormex-site

if [ ! -f "$build/site.db" ] && [ ! -f "$build/SiteLibrary.ini" ]; then
    echo "== Creating the demo site database $build/site.db"
    "$build/dormex-site" init
    "$build/dormex-site" demo
fi

if [ ! -f "$build/Dormex.ini" ]; then
    echo "== Saving settings: 30 days; Normal, Temp and Contractor selected; at most 50 cards a run"
    printf '[General]\r\nDays=30\r\nMaxDeactivations=50\r\n' >"$build/Dormex.ini"
    for i in $(seq 0 10); do
        case $i in 0 | 2 | 4) v=True ;; *) v=False ;; esac
        printf 'type%d=%s\r\n' "$i" "$v" >>"$build/Dormex.ini"
    done
fi

echo "== Settings ($build/Dormex.ini)"
tr -d '\r' <"$build/Dormex.ini"

echo "== Running: dormex silent"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$build/dormex" silent || status=$?
echo "   exit status $status"

echo "== The log ($build/dormex.log)"
tr -d '\r' <"$build/dormex.log" | tail -n 40

echo "== Cards now (Active 0, CardStatus 3, StatusReason 6 = deactivated)"
"$build/dormex-site" cards
exit "$status"
