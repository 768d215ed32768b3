# Shared by the set-up scripts: the packages each needs and how to install them.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

BUILD_PACKAGES="build-essential cmake ninja-build pkg-config qt6-base-dev libxcb1-dev tzdata libtag1-dev libqt6sql6-sqlite libsqlite3-dev"
DESKTOP_PACKAGES="xdg-utils fonts-dejavu-core"
PACKAGE_PACKAGES="dpkg-dev file"
TEST_PACKAGES="desktop-file-utils appstream lintian man-db xvfb xauth xdotool imagemagick x11-apps nginx libxml2-utils python3 python3-feedparser python3-podcastparser podget newsboat curl locales chromium lame opus-tools flac gpodder strace"

install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    # Installing a server package would start it as a system service (nginx on port 80);
    # the tests run their own instances, so keep services from starting during the install.
    local guard=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        guard=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$guard" >/dev/null
        $sudo chmod 755 "$guard"
    fi
    local status=0
    { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends "${missing[@]}"; } || status=$?
    [ -n "$guard" ] && $sudo rm -f "$guard"
    return $status
}

# build <dir> [cmake options...]
build() {
    local dir=$1; shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$(nproc)"
}
