#!/usr/bin/env bash
# Builds Dormex with warnings as errors and runs the whole test suite against SQLite, a throw-away
# PostgreSQL server and PostgreSQL through ODBC; runs each fuzz target for a short while and the
# benchmark's small version; cross-builds the Windows programs and runs their suites under Wine;
# then runs the whole suite once more in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs what it needs first (as root).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Every package first, before any build is configured: a build configured without Wine cannot
# run its Windows tests (its toolchain looks for wine64 or wine32's loader when it is configured).
if [ "${DORMEX_SKIP_WINDOWS:-}" = 1 ]; then
    ensure_packages "${DORMEX_BUILD_PACKAGES[@]}" "${DORMEX_TEST_PACKAGES[@]}"
else
    # Whether this kernel runs 32-bit programs, asked first; where it does not (rare), wine32 is
    # installed all the same, and the end of the command names what did not run.
    runs32=1
    runs_32bit_code || runs32=0
    ensure_i386_architecture
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

echo "== Checking the format of the sources, and that the documents' relative links resolve"
(cd "$DORMEX_ROOT" && git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror)
python3 - "$DORMEX_ROOT" <<'PY'
import pathlib, re, sys
def text(path, inline=True):  # the text without code, whose brackets and hashes are no links
    return re.sub(r"```.*?```" + (r"|`[^`\n]*`" if inline else ""), "", path.read_text(), flags=re.S)
def anchors(path):  # GitHub's anchors of the headings
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text(path, False), re.M)}
root, bad = pathlib.Path(sys.argv[1]), []
for doc in [root / "README.md", *sorted((root / "docs").glob("*.md"))]:
    for target in re.findall(r"\]\(([^)\s]+)\)", text(doc)):
        name, _, fragment = target.partition("#")
        path = (doc.parent / name) if name else doc
        if not re.match(r"[a-z]+:", target) and not (path.exists() and (
                not fragment or path.suffix != ".md" or fragment in anchors(path))):
            bad.append(f"{doc.relative_to(root)}: {target}")
sys.exit("Links that do not resolve:\n" + "\n".join(bad) if bad else 0)
PY

run_suite "$DORMEX_ROOT/build"

echo "== The Qt-free libraries and their tests, built without Qt"
build_dormex "$DORMEX_ROOT/build-noqt" -DDORMEX_WERROR=ON -DDORMEX_TESTS=ON -DDORMEX_QT=OFF
ctest --test-dir "$DORMEX_ROOT/build-noqt" --no-tests=error --output-on-failure -j "$(nproc)" \
    --timeout 120

# windows_suites ARCH: the Windows suites of build-winARCH under Wine (the window on a virtual
# display), then its Dormex.exe end to end against the stand-in COM server, on the Linux
# scenarios, and its trial zip. ctest fails a build that registers no test.
windows_suites() {
    local arch=$1 dir="$DORMEX_ROOT/build-win$1" e2e='^WineEndToEnd\.'
    [ "$arch" = 32 ] && e2e='^Win32\.WineEndToEnd\.'
    echo "== The $arch-bit Windows suites under Wine (the window on a virtual display)"
    start_wine_session "$dir"
    DISPLAY="$DORMEX_WINE_DISPLAY" ctest --test-dir "$dir" --no-tests=error --output-on-failure \
        -j "$(nproc)" --timeout 300
    echo "== The $arch-bit Dormex.exe end to end under Wine against the stand-in COM server, on the Linux scenarios, and the trial zip"
    DORMEX_REQUIRE_WINDOWS_BUILD=1 ctest --test-dir "$DORMEX_ROOT/build" -R "$e2e" \
        --no-tests=error --output-on-failure --timeout 300
    stop_wine_session
}

# suite_counts BUILD...: each Windows test program's cases as the given builds' last runs listed
# them (all passed, or the command would have stopped), the 64-bit build's beside the 32-bit one's.
suite_counts() {
    local dir
    for dir in "$@"; do
        ctest --test-dir "$DORMEX_ROOT/$dir" --show-only=json-v1
    done | python3 -c '
import collections, json, os, sys
decoder, text, counts = json.JSONDecoder(), sys.stdin.read(), collections.Counter()
while text.strip():
    document, end = decoder.raw_decode(text.lstrip())
    text = text.lstrip()[end:]
    for test in document["tests"]:
        command = test.get("command", [])
        program = command[1] if command and command[0].endswith("wine-run") else command[0]
        name = os.path.basename(program).removesuffix(".exe")
        arch = "32" if "build-win32" in program or name.startswith("wine32_") else "64"
        if "build-win" in program or "wine" in name:
            counts[(name.replace("wine32_", "wine_"), arch)] += 1
print("%-20s %8s %8s" % ("test program", "64-bit", "32-bit"))
for name in sorted({name for name, _ in counts}):
    print("%-20s %8d %8d" % (name, counts[(name, "64")], counts[(name, "32")]))
'
}

if [ "${DORMEX_SKIP_WINDOWS:-}" != 1 ]; then
    echo "== The Windows programs and their tests, cross-built for both architectures, checked and zipped"
    bash "$DORMEX_ROOT/scripts/windows.sh" --tests
    trap stop_wine_session EXIT
    windows_suites 64
    if [ "$runs32" = 1 ]; then windows_suites 32; fi
    trap - EXIT
    echo "== Windows test cases per program"
    if [ "$runs32" = 1 ]; then
        suite_counts build-win64 build-win32 build
    else
        suite_counts build-win64 build
    fi
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
if [ "${runs32:-1}" = 0 ]; then
    echo "NOT RUN: this kernel refuses 32-bit programs, so none of the 32-bit Windows suites (ctest in build-win32) nor the Win32.WineEndToEnd tests ran; wine32 is installed"
fi
