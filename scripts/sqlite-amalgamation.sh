#!/usr/bin/env bash
# sqlite-amalgamation.sh DIR: makes DIR/sqlite3.c and DIR/sqlite3.h, SQLite's single-file
# source, from Debian's sqlite3 source package (no binary package ships it). The source package
# is fetched with an apt configuration of DIR's own (its own sources list, lists and cache), built
# from the machine's Debian mirrors; the machine's apt configuration is only read. Needs tclsh,
# dpkg-source and a C compiler. Does nothing when both files are already there.
set -euo pipefail

dir="${1:?usage: sqlite-amalgamation.sh DIR}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
if [ -s "$dir/sqlite3.c" ] && [ -s "$dir/sqlite3.h" ]; then
    exit 0
fi
for tool in tclsh dpkg-source make cc; do
    command -v "$tool" >/dev/null || {
        echo "sqlite-amalgamation.sh: $tool is missing (apt-get install tcl dpkg-dev build-essential)" >&2
        exit 1
    }
done

work="$dir/apt-work"
rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/src"

# The machine's Debian mirrors and suites, as source entries of our own.
{
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             /(^|\n)Types:[^\n]*deb/ && /debian/ {
                 for (i = 1; i <= NF; i++) if ($i !~ /^Types:/ && $i !~ /^#/) print $i
                 print "Types: deb-src"
                 print ""
             }' "$f"
    done
} >"$work/parts/debian-src.sources"
if [ ! -s "$work/parts/debian-src.sources" ] && [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list >"$work/sources.list"
else
    : >"$work/sources.list"
fi

apt_private=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
    -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
echo "sqlite-amalgamation.sh: fetching Debian's sqlite3 source package"
apt-get "${apt_private[@]}" -qq update
(cd "$work/src" && apt-get "${apt_private[@]}" -qq source --download-only sqlite3)
dsc="$(ls "$work/src"/sqlite3_*.dsc | head -n 1)"
(cd "$work/src" && dpkg-source --no-check -x "$dsc" tree >/dev/null)

echo "sqlite-amalgamation.sh: making sqlite3.c"
# The generators run here: build them with the machine's own compiler, not a cross compiler
# that a calling build (CMake configuring a Windows build) left in CC.
(cd "$work/src/tree" && env -u CC -u CFLAGS -u LDFLAGS ./configure --quiet >/dev/null &&
    env -u CC -u CFLAGS -u LDFLAGS make -s sqlite3.c >/dev/null)
cp "$work/src/tree/sqlite3.c" "$work/src/tree/sqlite3.h" "$dir/"
rm -rf "$work"
echo "sqlite-amalgamation.sh: $dir/sqlite3.c"
