#!/bin/sh
# Installs the build into a temporary prefix and runs the installed programs.
#   check_install.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "FAIL: $*"; exit 1; }
for f in bin/orvane bin/velmora lib/velmora/libzelt.so.1 share/doc/velmora/manual.html \
         share/man/man1/velmora.1.gz share/man/man1/orvane.1.gz share/applications/velmora.desktop \
         share/mime/packages/velmora.xml share/icons/hicolor/48x48/apps/velmora.png \
         share/icons/hicolor/256x256/apps/velmora.png; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
[ "$(readlink "$prefix/lib/velmora/libzelt.so.1")" = "libzelt.so.1.1.0" ] || fail "libzelt.so.1 is not its SONAME link"
[ "$("$prefix/bin/velmora" --version)" = "velmora 1.1.0.0" ] || fail "installed velmora --version"
[ "$("$prefix/bin/orvane" --version)" = "orvane 1.1.0.0" ] || fail "installed orvane --version"
# The installed window starts (and keeps running until it is ended).
status=0
XDG_CONFIG_HOME="$prefix/config" QT_QPA_PLATFORM=offscreen timeout 3 "$prefix/bin/orvane" >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "installed orvane did not start (status $status)"
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$prefix/share/applications/velmora.desktop" || fail "desktop entry"
fi
"$(dirname "$0")/check_search_paths.sh" "$prefix" >/dev/null || fail "search paths of the installed programs"
echo "installed and ran: $(cd "$prefix" && find . -type f | wc -l) files"
