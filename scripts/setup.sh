#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent and quick when everything is there already.
set -euo pipefail

packages=(
    build-essential cmake ninja-build googletest clang-format time procps
    lrzsz socat python3
    g++-mingw-w64-x86-64 wine wine64
    xvfb xauth imagemagick fonts-wqy-microhei xdotool x11-utils x11-apps
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -q >&2
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
