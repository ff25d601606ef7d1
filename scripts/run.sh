#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server on the bundled
# sample music (port 15150). An existing build/vorlune.ini is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
if [ ! -e build/vorlune.ini ]; then
  # Every interface: reachable from the network and from this machine (127.0.0.1).
  printf '0.0.0.0\r\n15150\r\n%s\r\n' "$PWD/samples/music" > build/vorlune.ini
fi
exec build/vorlune-server
