#!/usr/bin/env bash
# Builds the Debian package build-deb/vorlune-server_<version>_<arch>.deb,
# installed under /usr. Its dependencies are computed from the shared
# libraries the executable links. Install it with
#   sudo apt install ./build-deb/vorlune-server_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# dpkg-shlibdeps (dpkg-dev) computes the dependencies; CPack finds the
# executables to give it with file.
bash scripts/install-deps.sh dpkg-dev file
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
# The package holds the server alone; the tests are not built for it.
cmake --build build-deb -j "$(nproc)" --target vorlune-server
(cd build-deb && cpack -G DEB)
ls -l build-deb/vorlune-server_*.deb
