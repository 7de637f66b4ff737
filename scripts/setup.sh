#!/bin/sh
# Installs the Debian 12 packages that Lullwatch needs to build, run and test.
# Does nothing when all of them are present. Never installs Debian's nodejs or
# npm: the machines carry their own Node.js, and Debian's npm conflicts with it.
set -eu

packages="
cmake
ninja-build
g++
clang
libclang-rt-14-dev
clang-format
pkg-config
qt6-base-dev
qt6-base-dev-tools
qt6-svg-dev
libx11-dev
libxss-dev
libxcb1-dev
libsimdjson-dev
nlohmann-json3-dev
libbenchmark-dev
python3
busybox
dash
dbus
dbus-daemon
python3-dbusmock
tmux
desktop-file-utils
dpkg-dev
lintian
appstream
man-db
xvfb
xauth
x11-utils
trayer
openbox
xterm
xfce4-panel
xfconf
x11-apps
xdotool
"

missing=""
for package in $packages; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = "installed" ] || missing="$missing $package"
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
else
    as_root="sudo"
fi

echo "Installing:$missing" >&2
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
