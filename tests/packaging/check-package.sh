#!/bin/sh
# Builds the Debian package from a built tree into a temporary folder and
# checks what a user's apt would see: the name, the dependencies that bring
# the office engine, the libraries and the fonts, and every file in place.
# Usage: check-package.sh <build folder> <source folder> <cpack>
set -u
build=$1
source=$2
cpack=${3:-cpack}

if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "dpkg-deb is missing: this check needs a Debian system"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
set -- "$work"/quillmark_*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    cat "$work/cpack.log"
    echo "FAIL: expected exactly one quillmark_*.deb, found: $*"
    exit 1
fi
deb=$1
echo "Package: $(basename "$deb")"

# --- control fields -----------------------------------------------------
[ "$(dpkg-deb -f "$deb" Package)" = quillmark ] || fail "package name is not quillmark"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Each wanted package must be a whole entry (possibly versioned or one of
# alternatives), not a prefix of another name.
for wanted in libqt6webenginecore6-bin libqt6webenginecore6 fonts-liberation2 fonts-dejavu-core \
              libqt6widgets6 libqt6network6 libqt6gui6 libqt6core6 \
              libgmime-3.0-0 libpoppler-cpp0v5 libtiff6; do
    printf '%s\n' "$depends" | tr ',|' '\n\n' | sed 's/([^)]*)//; s/^ *//; s/ *$//' \
        | grep -qx "$wanted" || fail "Depends lacks $wanted"
done

# LibreOffice serves office documents only: recommended, never required, and
# the full Writer a user may have is as good as the one without a user
# interface.
recommends=$(dpkg-deb -f "$deb" Recommends)
printf '%s\n' "$depends" | grep -q libreoffice && fail "Depends names LibreOffice: $depends"
printf '%s\n' "$recommends" | tr ',' '\n' | sed 's/([^)]*)//g; s/ //g' \
    | grep -qx 'libreoffice-writer-nogui|libreoffice-writer' \
    || fail "Recommends does not offer LibreOffice Writer: $recommends"

# --- files --------------------------------------------------------------
dpkg-deb -c "$deb" >"$work/contents" || fail "cannot list the package"
has() { # <kind: - or l> <path>
    awk -v kind="$1" -v path="$2" 'substr($1, 1, 1) == kind && $6 == path { found = 1 } END { exit !found }' \
        "$work/contents"
}
for file in ./usr/lib/quillmark/quillmark ./usr/lib/quillmark/quillmark-office ./usr/lib/quillmark/vexlo \
            ./usr/lib/quillmark/x/o.cjs ./usr/lib/quillmark/HAND-M.CUR ./usr/lib/quillmark/drag.ico \
            ./usr/share/applications/quillmark.desktop \
            ./usr/share/icons/hicolor/scalable/apps/quillmark.svg; do
    has - "$file" || fail "missing $file"
done
for size in 16 22 24 32 48 64 128 256; do
    has - "./usr/share/icons/hicolor/${size}x${size}/apps/quillmark.png" || fail "missing the ${size}px icon"
done
for sample in "$source"/samples/*.eml; do
    has - "./usr/lib/quillmark/Samples/$(basename "$sample")" || fail "missing sample $(basename "$sample")"
done
# The command a user types, a relative link into the program folder.
awk '$6 == "./usr/bin/quillmark" && $7 == "->" && $8 == "../lib/quillmark/quillmark" { found = 1 } END { exit !found }' \
    "$work/contents" || fail "./usr/bin/quillmark is not a link to ../lib/quillmark/quillmark"
if [ -x "$build/program/quillmark-convert" ]; then
    has - ./usr/lib/quillmark/quillmark-convert || fail "missing quillmark-convert"
    has l ./usr/bin/quillmark-convert || fail "./usr/bin/quillmark-convert is not a link"
fi
# Everything belongs to root, whoever built the package.
awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' "$work/contents" || fail "files not owned by root"
# Nothing of the build tree leaks into the package.
grep -q -e '/build' -e '_CPack_Packages' "$work/contents" && fail "build paths in the package"

# --- the packaged binaries --------------------------------------------------
# (Library search paths are checked on the installed tree by test_install.)
dpkg-deb -x "$deb" "$work/root"
for program in quillmark quillmark-office vexlo quillmark-convert; do
    binary="$work/root/usr/lib/quillmark/$program"
    [ -f "$binary" ] || continue
    if command -v readelf >/dev/null 2>&1; then
        readelf -S "$binary" | grep -q '\.debug_info' && fail "$program is not stripped"
    fi
done
if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$work/root/usr/share/applications/quillmark.desktop" || fail "the menu entry is not valid"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package contents: all checks passed"
