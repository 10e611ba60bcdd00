#!/bin/sh
# Builds the Debian package from the build tree into a scratch directory and checks its
# name, control fields, dependencies and contents: the program and its desktop files are
# in it, and nothing else (no tests, no benchmarks) is.
# Usage: deb_package.sh BUILD_DIR. Exit 77 (skip) when the Debian tools are missing.
set -u
build=${1:?usage: deb_package.sh BUILD_DIR}
for tool in cpack dpkg-deb dpkg-shlibdeps dpkg; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool not installed (Debian: dpkg-dev, cmake)"; exit 77; }
done
[ -f "$build/CPackConfig.cmake" ] || { echo "FAIL: no CPackConfig.cmake in $build"; exit 1; }
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! log=$(cd "$build" && cpack -G DEB -B "$out" 2>&1); then
    printf '%s\n' "$log"; echo "FAIL: cpack -G DEB"; exit 1
fi

arch=$(dpkg --print-architecture)
set -- "$out"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "FAIL: expected one .deb, got: $*"; exit 1; }
deb=$1
case ${deb##*/} in
    morrelcom_1.1-1_"$arch".deb) ;;
    *) fail "file name ${deb##*/} is not morrelcom_1.1-1_$arch.deb" ;;
esac

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = morrelcom ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = 1.1-1 ] || fail "Version is '$(field Version)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
echo "Depends: $depends"
for pkg in libqt6widgets6 qt6-qpa-plugins; do
    printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$pkg\( \|$\)" || fail "Depends does not name $pkg"
done

# Every regular file in the package, against the complete list of what belongs there.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort)
expected=$(sort <<'LIST'
./usr/bin/morrelcom
./usr/share/applications/morrelcom.desktop
./usr/share/icons/hicolor/16x16/apps/morrelcom.png
./usr/share/icons/hicolor/32x32/apps/morrelcom.png
./usr/share/icons/hicolor/48x48/apps/morrelcom.png
./usr/share/icons/hicolor/64x64/apps/morrelcom.png
./usr/share/icons/hicolor/128x128/apps/morrelcom.png
./usr/share/icons/hicolor/scalable/apps/morrelcom.svg
./usr/share/man/man1/morrelcom.1.gz
./usr/share/metainfo/org.morrel.morrelcom.metainfo.xml
LIST
)
if [ "$files" != "$expected" ]; then
    fail "package contents differ from the expected list"
    printf '%s\n' "$expected" >"$out/expected"; printf '%s\n' "$files" >"$out/actual"
    diff -u "$out/expected" "$out/actual" | sed -n '3,$p'
fi
dpkg-deb -c "$deb" | awk '$NF == "./usr/bin/morrelcom" && $1 != "-rwxr-xr-x" { bad = 1 } END { exit bad }' \
    || fail "usr/bin/morrelcom is not mode 0755"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "$(wc -c <"$deb") bytes: ${deb##*/}"
