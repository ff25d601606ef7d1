#!/usr/bin/env bash
# Installs what is missing, builds the server alone, and starts it on the
# bundled sample music (port 15150). An existing build/vorlune.ini is never
# touched. The server runs until Ctrl+C (or File > Exit in its window).
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Vorlune Server: starting; press Ctrl+C to end the server (its settings are saved)."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
# Only the server: scripts/test.sh builds the tests and benchmarks.
cmake --build build -j "$(nproc)" --target vorlune-server
if [ ! -e build/vorlune.ini ]; then
  # Every interface: reachable from the network and from this machine (127.0.0.1).
  printf '0.0.0.0\r\n15150\r\n%s\r\n' "$PWD/samples/music" > build/vorlune.ini
fi
echo "Starting build/vorlune-server: Ctrl+C ends it."
exec build/vorlune-server
