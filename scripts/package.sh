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
# A compiler cache, where one is installed, makes the build cheap after the
# development build; the package is the same without it.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
fi
# Debian's build flags with every hardening feature: a server that reads the
# network gets fortified libc calls, stack protection and relocations made
# read-only at start (given on each run, since CMake keeps the first in its
# cache).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
# The package holds the server alone; the tests are not built for it.
cmake --build build-deb -j "$(nproc)" --target vorlune-server
(cd build-deb && cpack -G DEB)
ls -l build-deb/vorlune-server_*.deb
