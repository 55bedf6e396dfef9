#!/usr/bin/env bash
# Builds Dormex with warnings as errors and runs the whole test suite against SQLite, a throw-away
# PostgreSQL server and PostgreSQL through ODBC; runs each fuzz target for a short while and the
# benchmark's small version; cross-builds the Windows programs and runs their suites under Wine;
# then runs the whole suite once more in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs what it needs first (as root).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Every package first, before any build is configured: a build configured without Wine cannot
# run its Windows tests (its toolchain looks for wine64 when it is configured).
if [ "${DORMEX_SKIP_WINDOWS:-}" = 1 ]; then
    ensure_packages "${DORMEX_BUILD_PACKAGES[@]}" "${DORMEX_TEST_PACKAGES[@]}"
else
    ensure_packages "${DORMEX_BUILD_PACKAGES[@]}" "${DORMEX_TEST_PACKAGES[@]}" \
        "${DORMEX_WINDOWS_PACKAGES[@]}" "${DORMEX_WINE_PACKAGES[@]}"
fi
ensure_test_locales

# No test may need a display: the window tests choose Qt's offscreen platform themselves.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

run_suite() {
    local dir="$1"
    shift
    echo "== Building in $dir"
    # Tests on, whatever an earlier configuration of the folder (the demo's) chose.
    build_dormex "$dir" -DDORMEX_WERROR=ON -DDORMEX_TESTS=ON "$@"
    echo "== Testing in $dir"
    "$DORMEX_ROOT/scripts/pg-harness.sh" run \
        ctest --test-dir "$dir" --no-tests=error --output-on-failure -j "$(nproc)" --timeout 300
}

echo "== Checking the format of the sources"
(cd "$DORMEX_ROOT" && git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror)

run_suite "$DORMEX_ROOT/build"

echo "== The Qt-free libraries and their tests, built without Qt"
build_dormex "$DORMEX_ROOT/build-noqt" -DDORMEX_WERROR=ON -DDORMEX_TESTS=ON -DDORMEX_QT=OFF
ctest --test-dir "$DORMEX_ROOT/build-noqt" --no-tests=error --output-on-failure -j "$(nproc)" \
    --timeout 120

if [ "${DORMEX_SKIP_WINDOWS:-}" != 1 ]; then
    echo "== The Windows programs, cross-built for both architectures, checked and zipped"
    bash "$DORMEX_ROOT/scripts/windows.sh" --tests
    echo "== The 64-bit Windows suites under Wine (the window on a virtual display)"
    trap stop_wine_session EXIT
    start_wine_session "$DORMEX_ROOT/build-win64"
    DISPLAY="$DORMEX_WINE_DISPLAY" \
        ctest --test-dir "$DORMEX_ROOT/build-win64" --output-on-failure -j "$(nproc)" --timeout 300
    echo "== Dormex.exe end to end under Wine against the stand-in COM server, on the Linux scenarios, and the trial zip"
    DORMEX_REQUIRE_WINDOWS_BUILD=1 \
        ctest --test-dir "$DORMEX_ROOT/build" -R '^WineEndToEnd' --output-on-failure --timeout 300
    stop_wine_session
    trap - EXIT
fi

if [ "${DORMEX_SKIP_FUZZ:-}" != 1 ]; then
    echo "== Fuzzing each target for ${DORMEX_FUZZ_SECONDS:-30} s"
    bash "$DORMEX_ROOT/scripts/fuzz.sh" "${DORMEX_FUZZ_SECONDS:-30}"
fi
echo "== Benchmark, small version (checks the result, measures nothing)"
BENCH_BUILD_DIR="$DORMEX_ROOT/build" bash "$DORMEX_ROOT/bench/run.sh" --smoke
if [ "${DORMEX_SKIP_SANITIZERS:-}" != 1 ]; then
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_suite "$DORMEX_ROOT/build-sanitize" -DDORMEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi
