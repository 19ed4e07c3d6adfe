#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Quick when everything is already there.
set -euo pipefail

PACKAGES=(
  cmake g++ clang ninja-build ccache pkg-config clang-format
  qt6-base-dev qt6-webengine-dev qt6-charts-dev qt6-multimedia-dev
  libcurl4-openssl-dev libboost-regex-dev libtinyxml2-dev libzip-dev zipcmp zipmerge ziptool
  libssh-dev libssl-dev libcpp-httplib-dev libgtest-dev libgmock-dev
  xvfb xauth trayer fonts-wqy-microhei
  iperf3 nginx openssh-server openssh-client iputils-ping iproute2 zip unzip aria2 curl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "Installing: ${missing[*]}"
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
