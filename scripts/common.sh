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
    # A mirror in the middle of a sync fails one index for a while: try again, then install from
    # the indexes that did update (the install itself fails if a package cannot be had).
    local attempt
    for attempt in 1 2 3 4; do
        apt-get update -qq && break
        echo "apt-get update failed (attempt $attempt of 4)" >&2
        [ "$attempt" = 4 ] || sleep 45
    done
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building and running the program needs.
DORMEX_BUILD_PACKAGES=(build-essential cmake qt6-base-dev qt6-qpa-plugins
    libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc unixodbc)

# What the test suite needs on top: GoogleTest, a PostgreSQL server and its ODBC driver, the
# sqlite3 shell (benchmark checks), clang with libFuzzer (fuzzing) and clang-format.
DORMEX_TEST_PACKAGES=(libgtest-dev libgmock-dev postgresql odbc-postgresql sqlite3 locales
    clang libclang-rt-14-dev clang-format git)

# The Windows programs, cross-built (scripts/windows.sh): the mingw-w64 compilers of both
# architectures and GoogleTest's sources for the cross-built tests; Tcl and dpkg-dev make
# SQLite's single-file source for the stand-in COM server (scripts/sqlite-amalgamation.sh);
# mingw-w64-tools' widl makes its type library from Wine's IDL files and stdole2.tlb
# (libwine-dev).
DORMEX_WINDOWS_PACKAGES=(cmake g++-mingw-w64-x86-64 g++-mingw-w64-i686 googletest tcl dpkg-dev
    mingw-w64-tools libwine-dev)

# Running the Windows tests of both architectures (scripts/test.sh): Wine with its 64-bit and
# 32-bit loaders (wine32 is an i386 package: see ensure_i386_architecture), and a virtual display
# for the window.
DORMEX_WINE_PACKAGES=(wine wine64 wine32 xvfb)

# Adds the i386 architecture to dpkg when it is missing (as root), so that the apt-get update of
# ensure_packages reads its lists and wine32 can be installed; as anyone else it prints the line.
ensure_i386_architecture() {
    dpkg --print-foreign-architectures | grep -qx i386 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing architecture i386 for wine32. Run as root:" >&2
        echo "  dpkg --add-architecture i386" >&2
        exit 1
    fi
    echo "Adding the i386 architecture (for wine32)"
    dpkg --add-architecture i386
}

# True when the kernel runs 32-bit x86 programs: a 96-byte i386 ELF file (mov eax,1; mov ebx,42;
# int 0x80) must exit with 42. Written into the project's directory, which allows programs to
# run, unlike a /tmp mounted noexec.
runs_32bit_code() {
    local probe status=0
    probe=$(mktemp -p "$DORMEX_ROOT" .i386-probe.XXXXXX)
    # ELF header, one program header loading the whole file at 0x08048000, then the code.
    local bytes='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    bytes+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    bytes+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
    bytes+='\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'
    bytes+='\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00'
    bytes+='\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'
    printf '%b' "$bytes" >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 42 ]
}

# build_dormex BUILD_DIR [cmake options...]: configures and builds with both cores.
build_dormex() {
    local dir="$1"
    shift
    cmake -S "$DORMEX_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# start_wine_session BUILD_DIR: for the Windows build in BUILD_DIR (either architecture), a
# virtual display (Xvfb, on a display number it picks) and a persistent Wine server on the
# build's own Wine prefix, which its wine-run makes when it is missing or was made before wine32:
# quiet, without the .NET and HTML installers, drawing window frames itself as there is no
# window manager. Exports WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES and sets DORMEX_WINE_DISPLAY
# (":N"). stop_wine_session ends the prefix's Windows processes and stops both by process id.
DORMEX_WINESERVER=/usr/lib/wine/wineserver64
start_wine_session() {
    # Absolute: wineserver runs from another directory.
    local dir
    dir=$(realpath -m "$1")
    export WINEPREFIX="$dir/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    local number="$dir/xvfb-display"
    rm -f "$number"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
    DORMEX_XVFB_PID=$!
    local _
    for _ in $(seq 1 100); do [ -s "$number" ] && break; sleep 0.1; done
    [ -s "$number" ] || { echo "Xvfb did not start" >&2; return 1; }
    DORMEX_WINE_DISPLAY=":$(head -n 1 "$number")"
    # The prefix is made (or made anew) first, and the server that made it has ended, so the
    # session below is fresh.
    "$dir/wine-run"
    "$DORMEX_WINESERVER" -w
    "$DORMEX_WINESERVER" -f -p >/dev/null 2>&1 &
    DORMEX_WINESERVER_PID=$!
    # Wine's own helper processes start now, with no pipe of the caller's to hold open.
    DISPLAY="$DORMEX_WINE_DISPLAY" "$dir/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' \
        /v Decorated /d N /f >/dev/null 2>&1
}
stop_wine_session() {
    if [ -n "${DORMEX_WINESERVER_PID:-}" ]; then
        # The server ends the prefix's Windows processes with it.
        "$DORMEX_WINESERVER" -k >/dev/null 2>&1 || true
        kill "$DORMEX_WINESERVER_PID" 2>/dev/null || true
    fi
    if [ -n "${DORMEX_XVFB_PID:-}" ]; then kill "$DORMEX_XVFB_PID" 2>/dev/null || true; fi
    wait ${DORMEX_WINESERVER_PID:-} ${DORMEX_XVFB_PID:-} 2>/dev/null || true
    DORMEX_WINESERVER_PID= DORMEX_XVFB_PID=
}

# Compiles the locales the tests start programs in (a time with " AM", a "," decimal separator)
# when the machine lacks them (as root).
ensure_test_locales() {
    local locale
    for locale in en_US de_DE; do
        locale -a 2>/dev/null | grep -qx "$locale.utf8" && continue
        if [ "$(id -u)" -ne 0 ]; then
            echo "Missing locale $locale.UTF-8 (as root: localedef -i $locale -f UTF-8 $locale.UTF-8)" >&2
            continue
        fi
        localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
    done
}
