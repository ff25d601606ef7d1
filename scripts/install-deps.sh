#!/usr/bin/env bash
# Installs what building and testing Vorlune Server needs on Debian 12, and
# nothing that is already there. Safe to run again. Packages named as
# arguments are installed instead of the build packages (scripts/package.sh).
set -euo pipefail
# qt6-websockets-dev: Qt HTTP Server's CMake package asks for it, though
# Debian's qt6-httpserver-dev does not depend on it.
packages=(g++ make cmake qt6-base-dev qt6-httpserver-dev qt6-websockets-dev libsystemd-dev pkg-config)
[ $# -eq 0 ] || packages=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
