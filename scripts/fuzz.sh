#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS seconds on a copy of its seed
# corpus. Prints the executions per target; exits non-zero when any target finds a failure.
# Usage: scripts/fuzz.sh SECONDS [TARGET...]   (build dir: $DORMEX_FUZZ_BUILD, default build-fuzz)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${DORMEX_FUZZ_BUILD:-$ROOT/build-fuzz}"
ALL_TARGETS=(fuzz_bool fuzz_int fuzz_profile fuzz_rowtext)

if [ $# -lt 1 ] || ! [[ "$1" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]   targets: ${ALL_TARGETS[*]}" >&2
    exit 2
fi
SECONDS_PER_TARGET="$1"
shift
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=("${ALL_TARGETS[@]}")

die() {
    echo "fuzz.sh: $*" >&2
    exit 1
}

command -v cmake >/dev/null || die "cmake not found (Debian: apt-get install cmake)"
command -v clang++ >/dev/null ||
    die "clang++ not found (Debian: apt-get install clang-14 and put its clang++ on PATH)"

# Corpus copies and the targets' scratch files, in memory when /dev/shm is there; removed at exit
# even when a target was stopped by a failure.
TMP_BASE="${TMPDIR:-/tmp}"
[ -w /dev/shm ] && TMP_BASE=/dev/shm
WORK="$(mktemp -d "$TMP_BASE/dormex-fuzz.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/scratch"

# libFuzzer is a separate package from the compiler on Debian.
cat >"$WORK/probe.cpp" <<'PROBE'
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
PROBE
clang++ -fsanitize=fuzzer "$WORK/probe.cpp" -o "$WORK/probe" 2>"$WORK/probe.log" ||
    die "clang++ cannot link libFuzzer (Debian: apt-get install libclang-rt-14-dev for clang-14)"

cmake -S "$ROOT/fuzz" -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

ARTIFACTS="$BUILD/artifacts"
status=0
for target in "${TARGETS[@]}"; do
    [ -x "$BUILD/$target" ] || die "no such target: $target"
    corpus="$WORK/corpus/$target"
    mkdir -p "$corpus" "$ARTIFACTS/$target"
    cp "$ROOT/fuzz/corpus/$target/"* "$corpus/"
    log="$WORK/$target.log"
    if TMPDIR="$WORK/scratch" "$BUILD/$target" -max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$ARTIFACTS/$target/" "$corpus" >"$log" 2>&1; then
        result="ok"
    else
        result="FAILED"
        status=1
    fi
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    echo "$target: ${runs:-?} executions in about ${SECONDS_PER_TARGET} s: $result"
    if [ "$result" = FAILED ]; then
        grep -E '^property failed|^input: |^row text: |ERROR: |^SUMMARY: |Test unit written' "$log" |
            sed 's/^/    /' >&2 || true
    fi
done
exit "$status"
