#!/bin/sh
# Installs the build tree into a scratch prefix and checks what a desktop needs of it:
# the program, its menu entry, icons at every size, AppStream data and the manual page.
# Usage: install_tree.sh BUILD_DIR. Exit 77 (skip) when a validator is not installed,
# after every check that could run has passed.
set -u
build=${1:?usage: install_tree.sh BUILD_DIR}
prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
failures=0
skipped=
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $2"; skipped="$skipped $1"; }

if ! out=$(cmake --install "$build" --prefix "$prefix" 2>&1); then
    printf '%s\n' "$out"; echo "FAIL: cmake --install"; exit 1
fi

share=$prefix/share
desktop=$share/applications/morrelcom.desktop
metainfo=$(ls "$share"/metainfo/*.metainfo.xml 2>/dev/null | head -n 1)

# Which files are installed at all is the Debian package's check (deb_package.sh).
[ -x "$prefix/bin/morrelcom" ] || fail "bin/morrelcom missing or not executable"

# PNG header: width and height as 32-bit big-endian at offsets 16 and 20, bit depth at 24,
# colour type at 25 (6 = RGBA). The window icon comes from resources compiled into the
# program; a resource object left behind in a static library is silently dropped by the
# linker. rcc stores PNGs as they are.
png_field() { od -An -t u1 -j "$2" -N "$3" "$1" | awk '{ v = 0; for (i = 1; i <= NF; i++) v = v * 256 + $i; print v }'; }
hex() { od -An -v -t x1 "$1" | tr -d ' \n'; }
hex "$prefix/bin/morrelcom" >"$prefix/program.hex"
for n in 16 32 48 64 128; do
    png=$share/icons/hicolor/${n}x${n}/apps/morrelcom.png
    if [ ! -f "$png" ]; then fail "icon ${n}x${n} missing"; continue; fi
    got="$(png_field "$png" 16 4)x$(png_field "$png" 20 4) depth $(png_field "$png" 24 1) type $(png_field "$png" 25 1)"
    [ "$got" = "${n}x${n} depth 8 type 6" ] || fail "icon ${n}x${n} is $got, want ${n}x${n} depth 8 type 6 (RGBA)"
    grep -qF "$(hex "$png")" "$prefix/program.hex" \
        || fail "the program does not carry the ${n}x${n} window icon (resource not linked in)"
done

for line in "Name=Morrel COM Port Tool ver 1.1" "Exec=morrelcom" "Icon=morrelcom" "Terminal=false"; do
    grep -qx "$line" "$desktop" 2>/dev/null || fail "desktop entry lacks '$line'"
done
grep -q '<launchable type="desktop-id">morrelcom.desktop</launchable>' "$metainfo" 2>/dev/null \
    || fail "no metainfo that launches morrelcom.desktop"
grep -q '@[A-Z_]*@' "$metainfo" 2>/dev/null && fail "metainfo has an unreplaced @VARIABLE@"

man=$share/man/man1/morrelcom.1.gz
[ -f "$man" ] || man=$share/man/man1/morrelcom.1
if [ ! -f "$man" ]; then
    fail "man page missing"
else
    case $man in *.gz) page=$(gzip -dc "$man") ;; *) page=$(cat "$man") ;; esac
    for want in "COM33" "/dev/ttyUSB0" "/dev/rfcomm9" "dialout"; do
        printf '%s\n' "$page" | grep -qF -- "$want" || fail "man page does not mention $want"
    done
    printf '%s\n' "$page" | grep -q '@[A-Z_]*@' && fail "man page has an unreplaced @VARIABLE@"
    if command -v groff >/dev/null 2>&1; then
        warnings=$(printf '%s\n' "$page" | groff -t -man -ww -z -Tutf8 2>&1)
        [ -z "$warnings" ] || fail "groff warns about the man page: $warnings"
    else
        skip groff "groff not installed, man page not typeset"
    fi
fi

if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
else
    skip desktop-file-validate "desktop-file-validate not installed (Debian: desktop-file-utils)"
fi
if command -v appstreamcli >/dev/null 2>&1; then
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
else
    skip appstreamcli "appstreamcli not installed (Debian: appstream)"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
[ -z "$skipped" ] || { echo "skipped:$skipped"; exit 77; }
echo "installed tree is complete"
