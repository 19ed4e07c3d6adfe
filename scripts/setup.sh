#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Quick when everything is already there.
set -euo pipefail

PACKAGES=(
  cmake g++ clang ninja-build ccache pkg-config clang-format
  qt6-base-dev qt6-webengine-dev qt6-charts-dev qt6-multimedia-dev
  libcurl4-openssl-dev libboost-regex-dev libtinyxml2-dev libzip-dev zipcmp zipmerge ziptool
  libssh-dev libssl-dev libcpp-httplib-dev libgtest-dev libgmock-dev locales
  xvfb xauth trayer xdotool fonts-wqy-microhei
  iperf3 nginx openssh-server openssh-client iputils-ping iproute2 zip unzip aria2 curl
  dpkg-dev lintian desktop-file-utils appstream
  prometheus-cpp-dev prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi

# A comma-decimal locale, so the tests can show that files and wire data do
# not follow the user's number format.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "Generating the de_DE.UTF-8 locale"
  $SUDO sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
  grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen
fi
