#!/bin/bash
# Installs the Debian packages that building and testing need, skipping the
# package lists' update when everything is already there.
set -euo pipefail

packages=(
  ${QRV_EXTRA_PACKAGES:-}
  build-essential cmake ninja-build ccache pkg-config help2man
  libgtest-dev libgmock-dev libcli11-dev libpng-dev libsndfile1-dev libyuv-dev libzstd-dev
  clang libclang-rt-14-dev clang-tidy
  iproute2 nftables tcpdump python3 python3-zeroconf
  python3-dev python3-pybind11 python3-numpy python3-pytest python3-opencv
  libssl-dev knot dnsutils dnsperf avahi-daemon avahi-utils dbus-daemon
  doxygen
  libcpp-httplib-dev nlohmann-json3-dev libturbojpeg0-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-base-apps
  obs-studio libobs-dev qtbase5-dev xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # The daemons among these (knotd, avahi-daemon) run only inside the tests'
  # own network namespaces: keep the packages from starting them on this
  # host, where avahi would announce itself on the real interfaces.
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get install -y -qq "${missing[@]}" >/dev/null
  if [[ " ${missing[*]} " == *" avahi-daemon "* ]] && command -v systemctl >/dev/null; then
    systemctl disable avahi-daemon.service avahi-daemon.socket >/dev/null 2>&1 || true
  fi
fi
