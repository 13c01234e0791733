#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent and
# non-interactive: packages already present are not touched.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-qpa-plugins
  libplist-dev libplist++-dev libplist-utils libminizip-dev zlib1g-dev libssl-dev openssl
  libsecret-1-dev gnome-keyring dbus dbus-x11 libglib2.0-bin
  pkexec polkitd xvfb x11-apps x11-utils openbox xdotool desktop-file-utils weston qt6-wayland libxcb1-dev
  libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev
  clang libclang-rt-14-dev clang-tidy clang-format
  zip unzip procps
  ansible-core python3-jsonschema python3-gi
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
