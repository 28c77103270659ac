#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Tarnhold need.
set -euo pipefail

# The network lab of the protocol tests (tests/protocol/netlab.py) needs
# iproute2, nftables, miniupnpd's nftables build, upnpc and natpmpc. Only the
# daemon's binary package is taken: the miniupnpd package around it brings a
# system service and debconf questions about the host's own interfaces,
# which the lab never uses (it runs its own daemon inside a namespace).
packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev libminiupnpc-dev libnatpmp-dev libsodium-dev
  g++ clang libclang-rt-14-dev
  libgtest-dev googletest
  python3 curl lftp
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins libqt6svg6 libgl-dev
  xvfb xauth x11-utils xdotool fonts-liberation
  dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0
  dpkg-dev file lintian man-db systemd
  iproute2 nftables miniupnpd-nftables miniupnpc natpmpc
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get needs it)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
