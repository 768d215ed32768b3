#!/usr/bin/env bash
# Installs the Debian package on this machine with apt-get, checks what it installed,
# starts /usr/bin/yarrowfeed under Xvfb, removes the package and checks that none of its
# files is left. Needs root. Usage: check_package.sh PACKAGE.deb
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/xvfb_window.sh"
deb=$(realpath "$1")
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing a package needs root"
    exit 0
fi
work=$(mktemp -d)
installed=false
cleanup() {
    stop_xvfb
    if $installed; then DEBIAN_FRONTEND=noninteractive apt-get remove -y yarrowfeed >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "lintian:"
lintian "$deb" 2>/dev/null | tee "$work/lintian.txt"
if grep -q '^E:' "$work/lintian.txt"; then echo "FAIL: lintian reports errors" >&2; exit 1; fi

DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >/dev/null
installed=true
dpkg -L yarrowfeed >"$work/files"
id=io.github.yarrowfeed.Yarrowfeed
for f in /usr/bin/yarrowfeed /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/$id.svg /usr/share/icons/hicolor/256x256/apps/$id.png \
         /usr/share/icons/hicolor/16x16/apps/$id.png /usr/share/man/man1/yarrowfeed.1.gz \
         /usr/share/doc/yarrowfeed/copyright; do
    grep -qx "$f" "$work/files" || { echo "FAIL: dpkg -L does not list $f" >&2; exit 1; }
    [ -f "$f" ] || { echo "FAIL: $f is listed but missing" >&2; exit 1; }
done

# The menu entry's command, as the desktop runs it: by name, from PATH.
mkdir -p "$work/home"; chmod 700 "$work/home"
(
    export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/home
    start_xvfb
    trap stop_xvfb EXIT
    [ "$(command -v yarrowfeed)" = /usr/bin/yarrowfeed ]
    expect_window /usr/bin/yarrowfeed "Yarrowfeed v.1.0.2"
)
[ ! -e /usr/bin/config.ini ] || { echo "FAIL: the program wrote beside itself in /usr/bin" >&2; exit 1; }

DEBIAN_FRONTEND=noninteractive apt-get remove -y yarrowfeed >/dev/null
installed=false
left=0
while IFS= read -r f; do
    if [ -e "$f" ] && [ ! -d "$f" ]; then echo "left behind: $f" >&2; left=1; fi
done <"$work/files"
[ $left -eq 0 ] || { echo "FAIL: files remain after apt-get remove" >&2; exit 1; }
[ ! -e /usr/share/doc/yarrowfeed ] || { echo "FAIL: /usr/share/doc/yarrowfeed remains" >&2; exit 1; }
! dpkg-query -W -f='${Status}' yarrowfeed 2>/dev/null | grep -q "ok installed"
echo "package check passed"
