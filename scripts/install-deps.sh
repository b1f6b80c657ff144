#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demonstration need, and
# those named as arguments. Does nothing when they are all there already.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config qt6-base-dev libquazip1-qt6-dev libgl-dev libssl-dev libzstd-dev zlib1g-dev python3 zip
    openssl fonts-dejavu-core xvfb xauth xdotool x11-utils imagemagick nginx-light curl unzip time minisign procps
    "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
