#!/usr/bin/env bash
# Benchmark of the unattended run: `dormex silent` against the same work done as one bulk
# transaction in the database's shell, and against one transaction per card (the floor of its
# per-card cost), on identical copies of a generated site of 100,000 cards and 5,000,000
# transactions (SQLite; then PostgreSQL on the throw-away cluster of scripts/pg-harness.sh, on
# that site and on one of 1,000,000 transactions, a first sweep of about 10,000 cards), and the
# per-card cost at about 1k, 5k and 20k deactivated cards on SQLite. Builds a Release build first.
#
#   bash bench/run.sh            the full benchmark (several minutes)
#   bash bench/run.sh --smoke    for CI: the checks in bench/test_bench.py, then a site of 4,000
#                                cards on SQLite only; asserts no time, but fails (non-zero exit)
#                                when the program and the bulk transaction change different cards
#
# Other options go to bench/bench.py (--rounds N, --no-pg, --no-scaling, --pg-transactions M,
# --keep, --record). BENCH_BUILD_DIR chooses the build directory (default build-bench).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

smoke=0
needPg=1
for arg in "$@"; do
    case "$arg" in
        --smoke) smoke=1 needPg=0 ;;
        --no-pg) needPg=0 ;;
        --pg) needPg=1 ;;
    esac
done
packages=("${DORMEX_BUILD_PACKAGES[@]}" sqlite3)
[ "$needPg" -eq 0 ] || packages+=(postgresql)
ensure_packages "${packages[@]}"

build="${BENCH_BUILD_DIR:-$DORMEX_ROOT/build-bench}"
export BENCH_BUILD_DIR="$build"
echo "== Release build in $build"
# An existing build directory keeps its own configuration (the test command reuses its build).
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$DORMEX_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target dormex dormex-site >/dev/null

python=/usr/bin/python3
[ -x "$python" ] || python=python3
if [ "$smoke" -eq 1 ]; then
    echo "== Checks of the benchmark's ground"
    "$python" "$DORMEX_ROOT/bench/test_bench.py"
fi
exec "$python" "$DORMEX_ROOT/bench/bench.py" --build "$build" "$@"
