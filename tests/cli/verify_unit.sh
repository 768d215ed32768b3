#!/bin/sh
# Installs into a temporary prefix and checks the systemd user unit there with systemd's
# own checker: its ExecStart must name the installed program, and the unit must load.
#   verify_unit.sh BUILD_DIR PROGRAM
set -eu
build=$1 program=$2
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze is not installed: nothing to check the unit with"
    exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
unit=$tmp/prefix/lib/systemd/user/yarrowfeed-watch.service
[ -f "$unit" ] || { echo "not installed: $unit"; exit 1; }
grep -qx "ExecStart=$tmp/prefix/bin/yarrowfeed --watch" "$unit" || {
    echo "ExecStart does not name the installed program:"; grep ExecStart "$unit"; exit 1; }
# The unit names the program by its path, which must exist for the check; a build whose
# install rules do not yet install the program gets the built one there.
if [ ! -x "$tmp/prefix/bin/yarrowfeed" ]; then
    mkdir -p "$tmp/prefix/bin"
    cp "$program" "$tmp/prefix/bin/yarrowfeed"
fi
# --man=no: the manual page lives under the temporary prefix, where man does not look.
systemd-analyze verify --man=no "$unit"
mkdir -m 700 "$tmp/runtime"
XDG_RUNTIME_DIR=$tmp/runtime systemd-analyze --user verify --man=no "$unit"
echo "unit verified: $unit"
