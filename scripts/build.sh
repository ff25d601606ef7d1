#!/usr/bin/env bash
# Configures and builds (Release) into build/. With --sanitize: the core and
# its tests only, with AddressSanitizer and UndefinedBehaviorSanitizer and
# with Qt's assertions on (Debug), into build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
options=(-DCMAKE_BUILD_TYPE=Release -DVORLUNE_SANITIZE=OFF -DVORLUNE_CORE_ONLY=OFF)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  options=(-DCMAKE_BUILD_TYPE=Debug -DVORLUNE_SANITIZE=ON -DVORLUNE_CORE_ONLY=ON)
fi
# A compiler cache, where one is installed, makes a rebuild after a small
# change cheap; the build is the same without it.
if command -v ccache >/dev/null 2>&1; then
  options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
fi
cmake -S . -B "$dir" "${options[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
