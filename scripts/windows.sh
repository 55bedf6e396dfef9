#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64 for both architectures and packs two zips for
# each: build-win64/Dormex.exe (PE32+) and build-win32/Dormex.exe (PE32), dist/Dormex-<version>-
# win64.zip and -win32.zip (the program alone) and -win64-trial.zip and -win32-trial.zip (with
# the stand-in site library and its demo site; see pack). Checks each shipped file's header, that
# it needs no DLL beyond the system's, and that the trial's DormexSite.dll exports only a COM
# server's four entry points.
#
#   windows.sh [--tests]    --tests also builds the test programs of both architectures (run
#                           under Wine by scripts/test.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tests=OFF
[ "${1:-}" = --tests ] && tests=ON

# The test programs' build looks for Wine when it is configured: Wine comes first.
if [ "$tests" = ON ]; then
    ensure_i386_architecture
    ensure_packages "${DORMEX_WINDOWS_PACKAGES[@]}" "${DORMEX_WINE_PACKAGES[@]}"
else
    ensure_packages "${DORMEX_WINDOWS_PACKAGES[@]}"
fi

version=$(sed -n 's/^project(Dormex VERSION \([0-9.]*\).*/\1/p' "$DORMEX_ROOT/CMakeLists.txt")
dist="$DORMEX_ROOT/dist"
mkdir -p "$dist"

# build_windows ARCH TOOLCHAIN TESTS [cmake options...]: configures build-winARCH with its
# toolchain and builds it.
build_windows() {
    local arch=$1 toolchain=$2 with_tests=$3
    shift 3
    local dir="$DORMEX_ROOT/build-win$arch"
    echo "== Building the $arch-bit Windows program in $dir"
    cmake -S "$DORMEX_ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$DORMEX_ROOT/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DDORMEX_WERROR=ON -DDORMEX_TESTS="$with_tests" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# check_program FILE FORMAT: the PE header is FORMAT, every imported DLL is the system's, and
# Dormex.exe imports SetDllDirectoryW.
check_program() {
    local exe=$1 format=$2
    objdump -f "$exe" | grep -q "file format $format" ||
        { echo "windows: $exe is not $format" >&2; exit 1; }
    # The import table is read whole first: a grep -q ending early would fail its pipe.
    local imports dlls
    imports=$(objdump -p "$exe")
    dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$imports" | tr 'A-Z' 'a-z' | sort -u)
    local dll
    for dll in $dlls; do
        case "$dll" in
            kernel32.dll | user32.dll | gdi32.dll | ole32.dll | oleaut32.dll | shell32.dll | \
                advapi32.dll | msvcrt.dll | comctl32.dll | api-ms-win-*) ;;
            *) echo "windows: $exe imports $dll, which Windows does not ship" >&2; exit 1 ;;
        esac
    done
    # The program takes the current directory out of the DLL search before it loads anything.
    if [ "$(basename "$exe")" = Dormex.exe ] && ! grep -qw SetDllDirectoryW <<<"$imports"; then
        echo "windows: $exe does not import SetDllDirectoryW" >&2
        exit 1
    fi
    echo "$exe: $format, imports $(echo $dlls | tr ' ' ',')"
}

# check_resources EXE TRIPLE VERSION: the program carries its icon, a version resource and a
# manifest naming VERSION (the project's, which --version prints) and Common Controls 6.
check_resources() {
    local exe=$1 triple=$2 version=$3 dump quad
    dump=$("$triple-windres" -J coff -O rc -i "$exe")
    quad=$version
    while [ "$(tr -cd . <<<"$quad" | wc -c)" -lt 3 ]; do quad=$quad.0; done
    local wanted
    for wanted in "Type: group icon" "VALUE \"ProductName\", \"Dormex\"" \
        "VALUE \"FileVersion\", \"$version\"" "FILEVERSION ${quad//./, }" \
        "name=\"\"Dormex\"\" version=\"\"$quad\"\"" "Microsoft.Windows.Common-Controls"; do
        grep -qF -- "$wanted" <<<"$dump" ||
            { echo "windows: $exe lacks $wanted in its resources" >&2; exit 1; }
    done
    echo "$exe: icon, version $version and Common Controls 6 in its resources"
}

# check_trial_dll DLL TRIPLE NAMES...: the DLL's export table names exactly NAMES and its
# resources hold one type library, its own (the test hooks and the test type libraries stay in
# the test build, DormexSiteTest.dll). TRIPLE's windres reads the resources.
check_trial_dll() {
    local dll=$1 triple=$2
    shift 2
    local table exports expected libraries
    table=$(objdump -p "$dll")
    exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[\s*[0-9]*\] //p' <<<"$table" | sort)
    expected=$(printf '%s\n' "$@" | sort)
    if [ "$exports" != "$expected" ]; then
        echo "windows: $dll exports $(echo $exports | tr ' ' ','), not only $(echo $expected | tr ' ' ',')" >&2
        exit 1
    fi
    libraries=$("$triple-windres" -i "$dll" -O rc | grep -a '^[0-9]* "TYPELIB"' | tr '\n' ' ')
    if [ "$libraries" != '1 "TYPELIB" ' ]; then
        echo "windows: $dll holds the type libraries $libraries, not only its own" >&2
        exit 1
    fi
    echo "$dll: exports $(echo $exports | tr ' ' ','), one type library"
}

# text FILE TARGET: a text file of win/ with Windows line ends.
text() { sed 's/$/\r/' "$DORMEX_ROOT/win/$1" >"$2"; }

# pack ARCH: dist/Dormex-<version>-winARCH.zip, the folder Dormex with the program,
# README-Windows.txt and a SiteLibrary.ini template, and dist/Dormex-<version>-winARCH-trial.zip,
# the same with the stand-in site library DormexSite.dll, a SiteLibrary.ini naming it and its
# demo site, and a Dormex.ini that selects some person types.
pack() {
    local arch=$1 dir="$DORMEX_ROOT/build-win$1" kind
    for kind in "" -trial; do
        local stage="$dir/package$kind" zip="$dist/Dormex-$version-win$arch$kind.zip"
        rm -rf "$stage" "$zip"
        mkdir -p "$stage/Dormex"
        cp "$dir/Dormex.exe" "$stage/Dormex/"
        text README-Windows.txt "$stage/Dormex/README-Windows.txt"
        if [ -n "$kind" ]; then
            cp "$dir/DormexSite.dll" "$stage/Dormex/"
            text trial/SiteLibrary.ini "$stage/Dormex/SiteLibrary.ini"
            text trial/Dormex.ini "$stage/Dormex/Dormex.ini"
        else
            text SiteLibrary.ini "$stage/Dormex/SiteLibrary.ini"
        fi
        (cd "$stage" && cmake -E tar cf "$zip" --format=zip Dormex)
        rm -rf "$stage"
        echo "$zip: $(stat -c %s "$zip") bytes"
    done
}

build_windows 64 toolchain-mingw-w64-x86_64.cmake "$tests"
# SQLite's single-file source is the same for both: the 32-bit build takes the 64-bit one's.
sqlite="$DORMEX_ROOT/build-win64/sqlite-amalgamation"
if [ -f "$sqlite/sqlite3.c" ]; then
    build_windows 32 toolchain-mingw-w64-i686.cmake "$tests" -DDORMEX_SQLITE_DIR="$sqlite"
else
    build_windows 32 toolchain-mingw-w64-i686.cmake "$tests"
fi
# What ships; the test build's DLLs beside them are not checked.
for arch_format_triple in 64:pei-x86-64:x86_64-w64-mingw32 32:pei-i386:i686-w64-mingw32; do
    IFS=: read -r arch format triple <<<"$arch_format_triple"
    for file in "$DORMEX_ROOT/build-win$arch"/{Dormex.exe,DormexSite.dll}; do
        [ -f "$file" ] && check_program "$file" "$format"
    done
    check_resources "$DORMEX_ROOT/build-win$arch/Dormex.exe" "$triple" \
        "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$DORMEX_ROOT/build-win$arch/CMakeCache.txt")"
    check_trial_dll "$DORMEX_ROOT/build-win$arch/DormexSite.dll" "$triple" DllCanUnloadNow \
        DllGetClassObject DllRegisterServer DllUnregisterServer
done
pack 64
pack 32
