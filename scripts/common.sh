# Shared by the project's scripts: package installation and the build.
# Source it; it defines ensure_packages and build_dormex.

DORMEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Installs the Debian packages named as arguments when any is missing (as root), or prints the
# exact apt-get line and stops (as anyone else).
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Run as root:" >&2
        echo "  apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building and running the program needs.
DORMEX_BUILD_PACKAGES=(build-essential cmake qt6-base-dev qt6-qpa-plugins
    libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc unixodbc)

# What the test suite needs on top: GoogleTest, a PostgreSQL server and its ODBC driver, the
# sqlite3 shell (benchmark checks), clang with libFuzzer (fuzzing) and clang-format.
DORMEX_TEST_PACKAGES=(libgtest-dev libgmock-dev postgresql odbc-postgresql sqlite3
    clang libclang-rt-14-dev clang-format git)

# The Windows programs, cross-built (scripts/windows.sh): the mingw-w64 compilers of both
# architectures and GoogleTest's sources for the cross-built tests; Tcl and dpkg-dev make
# SQLite's single-file source for the stand-in COM server (scripts/sqlite-amalgamation.sh).
DORMEX_WINDOWS_PACKAGES=(cmake g++-mingw-w64-x86-64 g++-mingw-w64-i686 googletest tcl dpkg-dev)

# Running the 64-bit Windows tests (scripts/test.sh): Wine, and a virtual display for the window.
DORMEX_WINE_PACKAGES=(wine wine64 xvfb)

# build_dormex BUILD_DIR [cmake options...]: configures and builds with both cores.
build_dormex() {
    local dir="$1"
    shift
    cmake -S "$DORMEX_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
