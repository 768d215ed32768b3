#!/usr/bin/env bash
# Installs a build tree into a temporary prefix, checks the installed desktop files with the
# desktop's own validators, and starts the installed program from there under Xvfb.
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/xvfb_window.sh"
build=$1
work=$(mktemp -d)
cleanup() { stop_xvfb; rm -rf "$work"; }
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
id=io.github.yarrowfeed.Yarrowfeed
expected=(
    bin/yarrowfeed
    share/applications/$id.desktop
    share/metainfo/$id.metainfo.xml
    share/icons/hicolor/scalable/apps/$id.svg
    share/man/man1/yarrowfeed.1.gz
    share/doc/yarrowfeed/copyright
)
for size in 16 22 24 32 48 64 128 256; do expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png"); done
for f in "${expected[@]}"; do
    [ -f "$prefix/$f" ] || { echo "FAIL: $f not installed" >&2; exit 1; }
done
[ -x "$prefix/bin/yarrowfeed" ] || { echo "FAIL: bin/yarrowfeed is not executable" >&2; exit 1; }
for size in 16 48 256; do
    file "$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png" | grep -q "PNG image data, $size x $size" \
        || { echo "FAIL: the ${size}px icon is not ${size}x${size}" >&2; exit 1; }
done
# The desktop entry must start the program it names and show the installed icon.
grep -qx "Exec=yarrowfeed" "$prefix/share/applications/$id.desktop"
grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop"

desktop-file-validate "$prefix/share/applications/$id.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/yarrowfeed.1.gz" 2>"$work/man.err" >"$work/man.txt"
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; echo "FAIL: the manual page has warnings" >&2; exit 1; }
for word in --generate --watch systemctl 143; do
    grep -q -- "$word" "$work/man.txt" || { echo "FAIL: the manual page lacks $word" >&2; exit 1; }
done

# Started from the prefix, with a home of its own, as a user would from the menu.
mkdir -p "$work/home"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/home
chmod 700 "$work/home"
start_xvfb
expect_window "$prefix/bin/yarrowfeed" "Yarrowfeed v.1.0.2"
echo "install check passed"
