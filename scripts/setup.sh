#!/bin/bash
# Installs the Debian packages that building and testing need, skipping the
# package lists' update when everything is already there.
set -euo pipefail

packages=(
  ${QRV_EXTRA_PACKAGES:-}
  build-essential cmake pkg-config help2man
  libgtest-dev libgmock-dev libcli11-dev libpng-dev libsndfile1-dev libyuv-dev libzstd-dev
  clang libclang-rt-14-dev
  iproute2 python3 python3-zeroconf
  libssl-dev knot dnsutils dnsperf
  doxygen
  libcpp-httplib-dev nlohmann-json3-dev libturbojpeg0-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-base-apps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
