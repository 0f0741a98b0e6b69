#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the application need (only those
# that are missing). Runs apt-get as root, or through sudo.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-httpserver-dev qt6-svg-dev
    libqt6svg6 qt6-qpa-plugins
    qcoro-qt6-dev libyaml-cpp-dev libbenchmark-dev
    fonts-noto-cjk xvfb xauth util-linux procps libcap2-bin dbus-daemon dbus-bin
    lintian desktop-file-utils appstream
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
