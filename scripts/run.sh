#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server on the bundled
# sample music (port 15150). An existing build/vorlune.ini is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
if [ ! -e build/vorlune.ini ]; then
  printf '\r\n15150\r\n%s\r\n' "$PWD/samples/music" > build/vorlune.ini
fi
exec build/vorlune-server
